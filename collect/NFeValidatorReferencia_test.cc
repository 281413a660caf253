// The one-scan classifier against the plain patterns, over a generated
// corpus of fiscal and other texts written every way an ERP, SEFAZ or a
// broken disk may write them.
#include "collect/NFeValidatorReferencia.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "collect/NFeValidator.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int kDocumentos = 8000;  // the sanitizers run this several times slower
#else
constexpr int kDocumentos = 25000;
#endif

// Random choices from a fixed seed; the distributions are written here so
// that every platform draws the same corpus.
class Gerador {
 public:
  explicit Gerador(uint32_t seed) : rng_(seed) {}

  uint32_t Ate(uint32_t n) { return n == 0 ? 0 : rng_() % n; }  // [0, n)
  bool Chance(uint32_t percent) { return Ate(100) < percent; }
  template <typename T>
  const T& Um(const std::vector<T>& v) {
    return v[Ate(static_cast<uint32_t>(v.size()))];
  }

  std::string Digitos(size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i++) out += static_cast<char>('0' + Ate(10));
    return out;
  }

  // Blanks where the patterns allow them, now and then.
  std::string Branco() {
    if (!Chance(15)) return "";
    static const char kBrancos[] = " \t\r\n\v\f";
    std::string out;
    for (uint32_t i = 0, n = 1 + Ate(3); i < n; i++) out += kBrancos[Ate(6)];
    return out;
  }

  // A name in the letter case of any ERP, rarely one byte off.
  std::string Nome(const std::string& nome) {
    std::string out = nome;
    uint32_t modo = Ate(100);
    for (char& c : out) {
      bool letra = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      if (!letra) continue;
      if (modo < 5 || (modo < 10 && Chance(50))) c = static_cast<char>(c ^ 0x20);
    }
    if (Chance(1))
      out[Ate(static_cast<uint32_t>(out.size()))] = Um(std::vector<char>{'_', '1', 'x'});
    if (Chance(1)) out += Um(std::vector<std::string>{"X", "_v", "2"});
    return out;
  }

  std::string Prefixo() {
    if (prefixo_fixo_ && Chance(90)) return prefixo_;
    return Um(std::vector<std::string>{"", "", "", "nfe:", "ns2:", "A_b9:", "a-b:", ":", "x:y:"});
  }

  // Each document uses mostly one prefix, as real ones do.
  void NovoDocumento() {
    prefixo_fixo_ = Chance(30);
    prefixo_ = Um(std::vector<std::string>{"nfe:", "ns0:", "NFe:", "p:"});
  }

  std::string Abre(const std::string& nome, const std::string& atributos = "") {
    std::string out = "<" + Branco() + Prefixo() + Nome(nome) + atributos + Branco();
    return out + (Chance(3) ? "/>" : ">");
  }
  std::string Fecha(const std::string& nome) {
    return "</" + Branco() + Prefixo() + Nome(nome) + Branco() + ">";
  }
  std::string Elemento(const std::string& nome, const std::string& valor) {
    std::string atributo = Chance(3) ? " tipo=\"x\"" : "";
    return Abre(nome, atributo) + Branco() + valor + Branco() + Fecha(nome);
  }

  std::string Aspas() { return Chance(50) ? "\"" : "'"; }
  // An Id attribute; now and then with quotes that do not pair.
  std::string Id(const std::string& valor) {
    std::string abre = Aspas();
    std::string fecha = Chance(3) ? Aspas() : abre;
    std::string nome = Um(std::vector<std::string>{"Id", "Id", "Id", "ID", "id", "refId", "Idx"});
    return " " + nome + Branco() + "=" + Branco() + abre + valor + fecha;
  }

  // A CNPJ, numeric or alphanumeric, sometimes with a character no key takes.
  std::string Cnpj() {
    std::string out = Digitos(14);
    if (Chance(40)) {
      for (size_t i = 0; i < 12; i++) {
        if (Chance(30)) out[i] = static_cast<char>('A' + Ate(26));
      }
    }
    if (Chance(3)) out[Ate(14)] = Um(std::vector<char>{'a', 'z', 'Q', '-'});
    return out;
  }

  // An access key; one in ten is of the wrong length or has a letter
  // outside the CNPJ.
  std::string Chave() {
    std::string out = Digitos(6) + Cnpj() + Digitos(24);
    switch (Ate(30)) {
      case 0:
        out.pop_back();
        break;
      case 1:
        out += Digitos(1);
        break;
      case 2:
        out[Ate(6)] = 'A';
        break;
      case 3:
        out[20 + Ate(24)] = 'B';
        break;
      default:
        break;
    }
    return out;
  }

  std::string Texto() {
    return Um(std::vector<std::string>{"Produto", "modelo 55", "evento", "mod=55", "Id=\"NFe\"",
                                       "&lt;mod&gt;55&lt;/mod&gt;", "x < y", "a=b",
                                       "\xC3\xA7\xC3\xA3o", "\xFF\xFE", "Signature"});
  }

  std::string Declaracao() {
    if (Chance(30)) return "";
    std::string out = Chance(10) ? "\xEF\xBB\xBF" : "";
    return out + "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  }

  std::string Signature() {
    return Abre("Signature", " xmlns=\"http://www.w3.org/2000/09/xmldsig#\"") +
           "<SignedInfo><Reference URI=\"#NFe" + Digitos(44) +
           "\"/></SignedInfo><SignatureValue>ZmFrZQ==</SignatureValue>" + Fecha("Signature");
  }

  std::string Protocolo(const std::string& chave, const std::string& nome = "protNFe") {
    std::string inf = Chance(30) ? Id("ID" + Digitos(15)) : "";
    return Abre(nome, " versao=\"4.00\"") + Abre("infProt", inf) + Elemento("tpAmb", "1") +
           Elemento("chNFe", chave) +
           Elemento("cStat", Um(std::vector<std::string>{"100", "150"})) + Fecha("infProt") +
           Fecha(nome);
  }

  std::string NFe() {
    const std::string chave = Chave();
    std::string mod = Um(std::vector<std::string>{"55", "55", "65", "65", "57", "01", "055", ""});
    std::string corpo = Abre("NFe") + Abre("infNFe", Id("NFe" + chave) + " versao=\"4.00\"") +
                        Abre("ide") + Elemento("cUF", "35") + Elemento("mod", mod) +
                        Elemento("serie", "1") + Elemento("nNF", Digitos(1 + Ate(9))) +
                        Elemento("tpAmb", Um(std::vector<std::string>{"1", "2", "02"})) +
                        Fecha("ide") + Abre("emit") + Elemento("CNPJ", Cnpj()) + Fecha("emit");
    if (Chance(10)) {
      corpo += Abre("NFref") + Elemento("refNFe", Chave()) + Elemento("mod", "01") + Fecha("NFref");
    }
    for (uint32_t i = 0, n = 1 + Ate(12); i < n; i++) {
      corpo += "\n  " + Abre("det", " nItem=\"" + std::to_string(i + 1) + "\"") + Abre("prod") +
               Elemento("cProd", Digitos(5)) + Elemento("xProd", Texto()) + Elemento("modBC", "3") +
               Fecha("prod") + Fecha("det");
    }
    if (Chance(15)) {
      corpo += Abre("detExport") + Abre("exportInd") + Elemento("chNFe", Chave()) +
               Fecha("exportInd") + Fecha("detExport");
    }
    corpo += Fecha("infNFe");
    if (Chance(70)) corpo += Signature();
    corpo += Fecha("NFe");
    if (Chance(60)) {
      corpo = Abre("nfeProc", " versao=\"4.00\"") + corpo +
              Protocolo(Chance(85) ? chave : Chave()) + Fecha("nfeProc");
    }
    return Declaracao() + corpo;
  }

  std::string Evento() {
    const std::string chave = Chave();
    std::string tipo =
        Um(std::vector<std::string>{"110111", "110111", "110112", "110110", "110113", "11011"});
    std::string seq = Digitos(Um(std::vector<size_t>{1, 2, 2, 3}));
    std::string evento =
        Abre(Chance(90) ? "evento" : "eventoX", " versao=\"1.00\"") +
        Abre("infEvento", Id("ID" + tipo + chave + seq)) + Elemento("cOrgao", "35") +
        Elemento("tpAmb", "1") + Elemento("CNPJ", Cnpj()) +
        Elemento(Chance(80) ? "chNFe" : "chNFeRef", chave) + Elemento("tpEvento", tipo) +
        Elemento("nSeqEvento", "1") + Fecha("infEvento");
    if (Chance(70)) evento += Signature();
    evento += Fecha("evento");
    if (Chance(60)) {
      evento = Abre("procEventoNFe", " versao=\"1.00\"") + evento + Abre("retEvento") +
               Abre("infEvento") + Elemento("cStat", "135") + Elemento("chNFe", chave) +
               Elemento("tpEvento", tipo) + Fecha("infEvento") + Fecha("retEvento") +
               Fecha("procEventoNFe");
    }
    return Declaracao() + evento;
  }

  std::string Inutilizacao() {
    const std::string cnpj = Cnpj();
    std::string serie = Digitos(1 + Ate(4));
    std::string ini = Digitos(1 + Ate(10)), fin = Digitos(1 + Ate(10));
    std::string id = "ID35" + Digitos(2) + cnpj + "55" + Digitos(3) + Digitos(9) + Digitos(9);
    if (Chance(20)) id.resize(Ate(static_cast<uint32_t>(id.size())) + 2);
    std::string campos =
        Elemento("tpAmb", "1") +
        Elemento("cStat", Um(std::vector<std::string>{"102", "102", "241", "1020"})) +
        Elemento("cUF", Um(std::vector<std::string>{"35", "3", "350"})) + Elemento("ano", "26") +
        Elemento("CNPJ", cnpj) + Elemento("mod", "55");
    if (Chance(90)) campos += Elemento("serie", serie);
    campos += Elemento("nNFIni", ini) + Elemento("nNFFin", fin);
    std::string ret = Abre("retInutNFe", " versao=\"4.00\"") +
                      Abre("infInut", Chance(40) ? Id(id) : "") + campos + Fecha("infInut") +
                      Fecha("retInutNFe");
    if (Chance(50)) return Declaracao() + ret;
    std::string pedido = Abre("inutNFe", " versao=\"4.00\"") + Abre("infInut", Id(id)) + campos +
                         Fecha("infInut") + (Chance(50) ? Signature() : "") + Fecha("inutNFe");
    if (Chance(50)) return Declaracao() + pedido;
    return Declaracao() + Abre("procInutNFe") + pedido + ret + Fecha("procInutNFe");
  }

  // Answers of SEFAZ's web services, kept by some ERPs beside the documents.
  std::string Resposta() {
    switch (Ate(3)) {
      case 0:
        return Abre("retConsSitNFe") + Elemento("cStat", "100") + Protocolo(Chave()) +
               Fecha("retConsSitNFe");
      case 1:
        return Abre("retEnvEvento") + Elemento("cStat", "128") + Abre("retEvento") +
               Abre("infEvento", Id("ID" + Digitos(15))) + Elemento("chNFe", Chave()) +
               Elemento("tpEvento", "110111") + Fecha("infEvento") + Fecha("retEvento") +
               Fecha("retEnvEvento");
      default:
        return Abre("retConsStatServ") + Elemento("tpAmb", "2") + Elemento("cStat", "107") +
               Fecha("retConsStatServ");
    }
  }

  std::string CTe() {
    const std::string chave = Chave();
    return Declaracao() + Abre("cteProc") + Abre("CTe") + Abre("infCte", Id("CTe" + chave)) +
           Abre("ide") + Elemento("mod", "57") + Elemento("tpAmb", "1") + Fecha("ide") +
           Fecha("infCte") + Signature() + Fecha("CTe") + Abre("protCTe") + Abre("infProt") +
           Elemento("chCTe", chave) + Fecha("infProt") + Fecha("protCTe") + Fecha("cteProc");
  }

  std::string NaoFiscal() {
    std::string out = Declaracao() + "<relatorio>\n";
    for (uint32_t i = 0, n = Ate(30); i < n; i++) {
      out += "  <linha id=\"" + std::to_string(i) + "\">" + Elemento("modelo", "55") +
             Elemento(Um(std::vector<std::string>{"evento", "eventos", "modFrete"}), "venda") +
             Elemento("valor", "10.00") + "</linha>\n";
    }
    return out + "</relatorio>\n";
  }

  // Many places where a pattern nearly matches before the one where it
  // does: more than the scan keeps positions of.
  std::string QuaseIguais() {
    const std::string nome =
        Um(std::vector<std::string>{"mod", "chNFe", "tpEvento", "tpAmb", "cStat", "infProt"});
    std::string out;
    for (uint32_t i = 0, n = Ate(20); i < n; i++) {
      out += Um(std::vector<std::string>{"<" + nome + " a=\"1\">55</" + nome + ">",
                                         "<" + nome + ">x</" + nome + ">", "<" + nome + ">",
                                         "<" + nome + "/>", " Id=\"NFe1\"", " Id='ID1'"});
    }
    if (Chance(70)) out += Elemento(nome, Chance(50) ? "55" : Chave());
    if (Chance(50)) out += Elemento("mod", "65") + Id("NFe" + Chave());
    return out;
  }

  std::string Documento(const std::vector<std::string>& amostras) {
    NovoDocumento();
    std::string doc;
    switch (Ate(20)) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4:
      case 5:
        doc = NFe();
        break;
      case 6:
      case 7:
      case 8:
        doc = Evento();
        break;
      case 9:
      case 10:
        doc = Inutilizacao();
        break;
      case 11:
        doc = Resposta();
        break;
      case 12:
        doc = CTe();
        break;
      case 13:
        doc = NaoFiscal();
        break;
      case 14:
      case 15:
        doc = QuaseIguais();
        break;
      default:
        doc = Um(amostras);
        break;
    }
    return Estraga(doc, amostras);
  }

  // What a disk, an editor or a careless ERP does to a text.
  std::string Estraga(std::string doc, const std::vector<std::string>& amostras) {
    static const std::vector<std::string> kTrechos = {"<mod>55</mod>",
                                                      "<infProt>",
                                                      "</infProt>",
                                                      "<infEvento/>",
                                                      "</infEvento >",
                                                      "Id=\"NFe",
                                                      "<evento",
                                                      "<procInutNFe>",
                                                      "<chNFe>",
                                                      "</chNFe>",
                                                      "<!--",
                                                      "-->",
                                                      "<![CDATA[",
                                                      "]]>",
                                                      "<",
                                                      ">",
                                                      "\"",
                                                      "'",
                                                      "=",
                                                      " ",
                                                      "\n",
                                                      std::string(1, '\0'),
                                                      "\x80",
                                                      "<tpEvento>110111</tpEvento>",
                                                      "<cStat>102</cStat>",
                                                      "<retEvento>",
                                                      "<Signature>"};
    uint32_t estragos = Chance(50) ? 0 : 1 + Ate(3);
    for (uint32_t i = 0; i < estragos; i++) {
      const uint32_t n = static_cast<uint32_t>(doc.size());
      switch (Ate(8)) {
        case 0:
          doc.resize(Ate(n + 1));
          break;  // truncated
        case 1:
          doc.insert(Ate(n + 1), Um(kTrechos));
          break;
        case 2:
          doc.erase(Ate(n + 1), Ate(40));
          break;
        case 3: {
          size_t pos = Ate(n + 1);
          doc.insert(pos, doc.substr(pos, Ate(400)));  // a repeated piece
          break;
        }
        case 4:
          for (size_t p = Ate(n + 1), fim = p + Ate(2000); p < fim && p < doc.size(); p++) {
            char& c = doc[p];
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c = static_cast<char>(c ^ 0x20);
          }
          break;
        case 5:
          doc += Documento(amostras);
          break;  // two documents in one file
        case 6:
          if (n > 0) doc[Ate(n)] = static_cast<char>(Ate(256));
          break;
        default:
          if (n > 0) doc[Ate(n)] = Um(std::vector<char>{' ', '\t', ':', '/', '<', '>'});
          break;
      }
    }
    return doc;
  }

 private:
  std::mt19937 rng_;
  bool prefixo_fixo_ = false;
  std::string prefixo_;
};

std::vector<std::string> Amostras() {
  std::vector<std::string> out;
  for (const char* nome :
       {"nfe_proc.xml", "nfe_bare.xml", "nfce.xml", "nfe_prefixo.xml", "nfe_maiusculas.xml",
        "nfe_bom.xml", "nfe_cp1252.xml", "cancelamento.xml", "carta_correcao.xml",
        "inutilizacao_proc.xml", "inutilizacao_ret.xml", "nao_fiscal.xml", "alfa_nfe_proc.xml",
        "alfa_cancelamento_substituicao.xml", "alfa_inutilizacao_ret_sem_id.xml",
        "alfa_nfe_exportacao.xml", "alfa_nfe_exportada.xml", "alfa_nfe_homologacao.xml"}) {
    out.push_back(
        testing::ReadFileBytes(std::string(LUMACOR_SOURCE_DIR) + "/collect/testdata/" + nome));
  }
  return out;
}

// Every answer of both classifiers, side by side; "" when they agree.
std::string Diferencas(const std::string& xml) {
  using R = TNFeValidatorReferencia;
  using F = TNFeValidator;
  std::string out;
  auto compara = [&](const char* nome, const auto& esperado, const auto& obtido) {
    if (esperado == obtido) return;
    ::testing::Message m;
    m << nome << ": referencia " << ::testing::PrintToString(esperado) << ", obtido "
      << ::testing::PrintToString(obtido) << "\n";
    out += m.GetString();
  };
  const std::string mod = R::ExtractMod(xml);
  const std::string tipo = R::ExtractTipoEvento(xml);
  const bool nfe = R::IsNFeOuNFCe(xml);
  const bool cancelamento = R::IsEventoCancelamento(xml);
  const bool inutilizacao = R::IsInutilizacao(xml);
  const bool fiscal = R::IsDocumentoFiscalOuEvento(xml);
  const std::string chave = R::ExtractChaveAcesso(xml);
  const int prioridade = R::GetPrioridadeFila(xml);
  const bool homologacao = R::IsHomologacao(xml);
  const int forca = R::GetForcaCopia(xml);
  compara("ExtractMod", mod, F::ExtractMod(xml));
  compara("ExtractTipoEvento", tipo, F::ExtractTipoEvento(xml));
  compara("IsNFeOuNFCe", nfe, F::IsNFeOuNFCe(xml));
  compara("IsEventoCancelamento", cancelamento, F::IsEventoCancelamento(xml));
  compara("IsInutilizacao", inutilizacao, F::IsInutilizacao(xml));
  compara("IsDocumentoFiscalOuEvento", fiscal, F::IsDocumentoFiscalOuEvento(xml));
  compara("ExtractChaveAcesso", chave, F::ExtractChaveAcesso(xml));
  compara("GetPrioridadeFila", prioridade, F::GetPrioridadeFila(xml));
  compara("IsHomologacao", homologacao, F::IsHomologacao(xml));
  compara("GetForcaCopia", forca, F::GetForcaCopia(xml));
  const TClassificacao c = F::Classificar(xml);
  compara("Classificar.Mod", mod, c.Mod);
  compara("Classificar.TipoEvento", tipo, c.TipoEvento);
  compara("Classificar.NFeOuNFCe", nfe, c.NFeOuNFCe);
  compara("Classificar.EventoCancelamento", cancelamento, c.EventoCancelamento);
  compara("Classificar.Inutilizacao", inutilizacao, c.Inutilizacao);
  compara("Classificar.DocumentoFiscalOuEvento", fiscal, c.DocumentoFiscalOuEvento);
  compara("Classificar.ChaveAcesso", chave, c.ChaveAcesso);
  compara("Classificar.PrioridadeFila", prioridade, c.PrioridadeFila);
  compara("Classificar.Homologacao", homologacao, c.Homologacao);
  compara("Classificar.ForcaCopia", forca, c.ForcaCopia);
  return out;
}

TEST(NFeValidatorReferenciaTest, SameAnswersAsThePlainPatternsOnGeneratedCorpus) {
  const std::vector<std::string> amostras = Amostras();
  Gerador g(20261211);
  int falhas = 0;
  // How often the corpus reaches each kind of answer, so that a generator
  // gone blind (every text rejected, say) fails here instead of passing.
  int nfe = 0, cancelamento = 0, inutilizacao = 0, chave_inut = 0, chave = 0, assinada = 0;
  for (int i = 0; i < kDocumentos; i++) {
    const std::string xml = g.Documento(amostras);
    const std::string d = Diferencas(xml);
    if (!d.empty() && ++falhas <= 5) {
      ADD_FAILURE() << "documento " << i << ":\n"
                    << d << "texto: " << ::testing::PrintToString(xml);
    }
    nfe += TNFeValidatorReferencia::IsNFeOuNFCe(xml);
    cancelamento += TNFeValidatorReferencia::IsEventoCancelamento(xml);
    inutilizacao += TNFeValidatorReferencia::IsInutilizacao(xml);
    const std::string k = TNFeValidatorReferencia::ExtractChaveAcesso(xml);
    chave += k.size() == 44;
    chave_inut += k.rfind("INUT-", 0) == 0;
    assinada += TNFeValidatorReferencia::GetForcaCopia(xml) == TNFeValidator::kCopiaAssinada;
  }
  EXPECT_EQ(falhas, 0);
  for (int visto : {nfe, cancelamento, inutilizacao, chave_inut, chave, assinada}) {
    EXPECT_GT(visto, kDocumentos / 100);
  }
}

// Texts made to reach the scan's own limits: positions beyond the ones it
// keeps, names split by the end of the text, tags inside one another.
TEST(NFeValidatorReferenciaTest, SameAnswersAtTheScansLimits) {
  const std::string chave = "35260812ABC34501DE35550010000001231100001230";
  std::string muitos_mod;
  for (int i = 0; i < 9; i++) muitos_mod += "<mod a=\"" + std::to_string(i) + "\">55</mod>";
  std::string muitos_ids;
  for (int i = 0; i < 12; i++) muitos_ids += "<x Id=\"NFe" + std::to_string(i) + "\"/>";
  std::string muitos_prot;
  for (int i = 0; i < 10; i++) muitos_prot += "<infProt><cStat>100</cStat></infProt>";
  const std::vector<std::pair<const char*, std::string>> casos = {
      {"nove_mod_antes_do_certo", muitos_mod + "<mod>65</mod>"},
      {"nove_mod_sem_certo", muitos_mod},
      {"oito_mod_e_o_certo", muitos_mod.substr(muitos_mod.find("<mod a=\"1\"")) + "<mod>65</mod>"},
      {"doze_ids_antes_do_certo", muitos_ids + "<infNFe Id=\"NFe" + chave + "\"><mod>55</mod>"},
      {"dez_protocolos_antes_da_chave", "<infNFe Id=\"NFe" + chave + "\">" + muitos_prot +
                                            "<infProt><chNFe>" + chave + "</chNFe></infProt>"},
      {"protocolo_dentro_da_abertura", "<infNFe Id='NFe" + chave + "'><infProt <infEvento><chNFe>" +
                                           chave + "</chNFe></infEvento>"},
      {"prefixo_igual_ao_nome", "<mod:mod>55</mod:mod><infProt:infEvento>"},
      {"so_o_menor_sinal", "<"},
      {"fim_no_nome", "<infInu"},
      {"fim_no_prefixo", "<nfe:"},
      {"fim_no_fechamento", "<infProt><chNFe>" + chave + "</chNFe></"},
      {"igual_no_inicio", "=\"NFe" + chave + "\""},
      {"id_no_fim", "<x Id"},
      {"id_com_brancos", "<x Id \t\n= \v'NFe" + chave + "'>"},
      {"igual_repetido", "<x Id== =\"NFe" + chave + "\">"},
      {"inutilizacao_campos_antes_do_infInut",
       "<cStat>102</cStat><cUF>35</cUF><retInutNFe><infInut><cStat>102</cStat><ano>26</ano>"
       "<CNPJ>12ABC34501DE35</CNPJ><mod>55</mod><serie>1</serie><nNFIni>1</nNFIni>"
       "<nNFFin>2</nNFFin><cUF>41</cUF>"},
      {"bytes_nulos", std::string("<mod>\0", 6) + "55</mod><mod>65</mod>"},
  };
  for (const auto& [nome, xml] : casos) {
    SCOPED_TRACE(nome);
    EXPECT_EQ(Diferencas(xml), "");
    // Every prefix too: the text cut at each byte.
    for (size_t n = 0; n < xml.size(); n++) EXPECT_EQ(Diferencas(xml.substr(0, n)), "") << n;
  }
}

}  // namespace
}  // namespace lumacor
