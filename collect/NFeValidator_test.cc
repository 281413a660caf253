#include "collect/NFeValidator.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/Text.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

const std::string kChave = "35240111222333000181550010000001231123456789";
const std::string kOutra = "41240199888777000166550010000000071000000071";

// `n` digits, cycling from `first`, so that keys of different lengths stay
// easy to tell apart in a failure message.
std::string Digits(size_t n, char first = '1') {
  std::string out;
  for (size_t i = 0; i < n; i++) out += static_cast<char>('0' + (first - '0' + i) % 10);
  return out;
}

struct Expected {
  std::string mod;
  std::string tipo_evento;
  bool nfe;
  bool cancelamento;
  bool inutilizacao;
  bool fiscal;
  std::string chave;
  int prioridade;
};

void ExpectClassified(const std::string& xml, const Expected& e) {
  EXPECT_EQ(TNFeValidator::ExtractMod(xml), e.mod);
  EXPECT_EQ(TNFeValidator::ExtractTipoEvento(xml), e.tipo_evento);
  EXPECT_EQ(TNFeValidator::IsNFeOuNFCe(xml), e.nfe);
  EXPECT_EQ(TNFeValidator::IsEventoCancelamento(xml), e.cancelamento);
  EXPECT_EQ(TNFeValidator::IsInutilizacao(xml), e.inutilizacao);
  EXPECT_EQ(TNFeValidator::IsDocumentoFiscalOuEvento(xml), e.fiscal);
  EXPECT_EQ(TNFeValidator::ExtractChaveAcesso(xml), e.chave);
  EXPECT_EQ(TNFeValidator::GetPrioridadeFila(xml), e.prioridade);
}

struct Case {
  const char* name;
  std::string xml;
  Expected expected;
};

// Shorthands for the common outcomes.
Expected NFe(const std::string& mod, const std::string& chave) {
  return {mod, "", true, false, false, true, chave, 1};
}
Expected Nenhum(const std::string& mod = "", const std::string& chave = "") {
  return {mod, "", false, false, false, false, chave, 1};
}
Expected Cancelamento(const std::string& chave) {
  return {"", "110111", false, true, false, true, chave, 2};
}
Expected Inutilizacao(const std::string& chave) {
  return {"", "", false, false, true, true, chave, 2};
}

std::vector<Case> Cases() {
  const std::string id = "<infNFe Id=\"NFe" + kChave + "\">";
  const std::string ch = "<chNFe>" + kChave + "</chNFe>";
  const std::string canc = "<tpEvento>110111</tpEvento>";
  return {
      // The model element.
      {"mod_simples", id + "<mod>55</mod>", NFe("55", kChave)},
      {"mod_nfce", id + "<mod>65</mod>", NFe("65", kChave)},
      {"mod_prefixo", id + "<nfe:mod>55</nfe:mod>", NFe("55", kChave)},
      {"mod_espacos", id + "< ns_1:mod >\r\n\t 55 \n\v\f</ ns_1:mod\n>", NFe("55", kChave)},
      {"mod_maiusculas", id + "<MoD>65</mOd>", NFe("65", kChave)},
      {"mod_com_atributo", id + "<mod tipo=\"x\">55</mod>", Nenhum("", kChave)},
      {"mod_zero_a_esquerda", id + "<mod>055</mod>", Nenhum("055", kChave)},
      {"mod_outro", id + "<mod>57</mod>", Nenhum("57", kChave)},
      {"so_o_primeiro_mod", id + "<mod>01</mod><NFref><mod>55</mod></NFref>", Nenhum("01", kChave)},
      {"mod_vazio", id + "<mod></mod>", Nenhum("", kChave)},
      {"mod_sem_chave", "<NFe><mod>55</mod></NFe>", NFe("55", "")},
      {"mod_nome_maior", id + "<modFrete>55</modFrete>", Nenhum("", kChave)},

      // Events.
      {"cancelamento", "<procEventoNFe><evento>" + ch + canc + "</evento></procEventoNFe>",
       Cancelamento(kChave)},
      {"cancelamento_so_evento_e_id_de_evento",
       "<nfe:evento versao=\"1.00\"><infEvento Id=\"ID110111" + kChave + "01\">" + canc,
       Cancelamento(kChave)},
      {"cancelamento_sequencia_de_um_digito",
       "<evento><infEvento Id='ID110111" + kChave + "1'>" + canc, Cancelamento(kChave)},
      {"cancelamento_sem_chave",
       "<procEventoNFe><evento>" + canc + "</evento></procEventoNFe>",
       {"", "110111", false, false, false, false, "", 1}},
      {"cancelamento_sem_tag_de_evento",
       "<envEvento><eventos><retEvento>" + ch + canc,
       {"", "110111", false, false, false, false, kChave, 1}},
      {"cancelamento_so_tag_de_fechamento",
       "</evento></procEventoNFe>" + ch + canc,
       {"", "110111", false, false, false, false, kChave, 1}},
      {"carta_de_correcao",
       "<procEventoNFe><evento>" + ch + "<tpEvento>110110</tpEvento></evento></procEventoNFe>",
       {"", "110110", false, false, false, false, kChave, 1}},
      {"evento_com_mod",
       "<evento>" + ch + "<tpEvento>110110</tpEvento><mod>55</mod>",
       {"55", "110110", true, false, false, true, kChave, 1}},
      {"tpEvento_com_espacos", "<procEventoNFe>" + ch + "<e:tpEvento>\n110111\n</e:tpEvento>",
       Cancelamento(kChave)},

      // Key forms and their precedence.
      {"chNFe_com_espacos", "<mod>55</mod><chNFe>\n  " + kChave + "  \n</chNFe>",
       NFe("55", kChave)},
      // A chNFe outside a protocol or an event names another document (an
      // export NF-e names the NF-e it exports): the document's own Id wins.
      {"chNFe_antes_do_id",
       "<mod>55</mod><chNFe>" + kOutra + "</chNFe><infNFe Id=\"NFe" + kChave + "\">",
       NFe("55", kChave)},
      {"chNFe_depois_do_id", "<mod>55</mod>" + id + "<chNFe>" + kOutra + "</chNFe>",
       NFe("55", kChave)},
      {"chNFe_43_digitos_cai_no_id", "<mod>55</mod><chNFe>" + Digits(43) + "</chNFe>" + id,
       NFe("55", kChave)},
      {"chNFe_45_digitos", "<mod>55</mod><chNFe>" + Digits(45) + "</chNFe>", NFe("55", "")},
      {"id_aspas_simples_e_espacos", "<mod>55</mod><infNFe Id = 'NFe" + kChave + "'>",
       NFe("55", kChave)},
      {"id_maiusculo", "<mod>55</mod><INFNFE ID=\"nfe" + kChave + "\">", NFe("55", kChave)},
      {"atributo_terminado_em_id", "<mod>55</mod><x refId=\"NFe" + kChave + "\">",
       NFe("55", kChave)},
      {"id_nfe_43_digitos", "<mod>55</mod><infNFe Id=\"NFe" + Digits(43) + "\">", NFe("55", "")},
      {"id_evento_51_digitos", "<mod>55</mod><x Id=\"ID" + Digits(51, '0') + "\">",
       NFe("55", Digits(51, '0').substr(6, 44))},
      {"id_evento_52_digitos", "<mod>55</mod><x Id=\"ID" + Digits(52, '0') + "\">",
       NFe("55", Digits(52, '0').substr(6, 44))},
      {"id_50_digitos_e_inutilizacao", "<mod>55</mod><x Id=\"ID" + Digits(50) + "\">",
       NFe("55", "INUT-" + Digits(50))},
      {"id_53_digitos_e_inutilizacao", "<mod>55</mod><x Id=\"ID" + Digits(53) + "\">",
       NFe("55", "INUT-" + Digits(53))},
      {"id_19_digitos", "<mod>55</mod><x Id=\"ID" + Digits(19) + "\">", NFe("55", "")},
      {"id_evento_antes_do_id_nfe", "<mod>55</mod><x Id=\"ID110111" + kOutra + "01\"/>" + id,
       NFe("55", kChave)},

      // Voidings and the tag test.
      {"inutilizacao_41_digitos", "<inutNFe versao=\"4.00\"><infInut Id=\"ID" + Digits(41) + "\">",
       Inutilizacao("INUT-" + Digits(41))},
      {"inutilizacao_sem_id", "<inutNFe><infInut>", Inutilizacao("")},
      {"procInutNFe", "<procInutNFe>", Inutilizacao("")},
      {"retInutNFe_com_prefixo", "< ns:retInutNFe xmlns:ns=\"x\">", Inutilizacao("")},
      {"inutNFe_vazio", "<inutNFe/>", Inutilizacao("")},
      {"inutNFe_so_fechamento", "</inutNFe></procInutNFe>", Nenhum()},
      {"inutNFe_nome_maior", "<inutNFeX><procInutNFe2><retInutNFe_v>", Nenhum()},
      {"inutNFe_prefixo_invalido", "<a-b:inutNFe>", Nenhum()},
      {"inutilizacao_com_mod",
       "<procInutNFe><inutNFe><infInut Id=\"ID" + Digits(41) + "\"><mod>55</mod>",
       {"55", "", true, false, true, true, "INUT-" + Digits(41), 2}},

      // Text the matcher must survive.
      {"vazio", "", Nenhum()},
      {"bytes_invalidos",
       "\xFF\xFE<mod>55\xC3</mod><mod>\xFF"
       "55</mod>",
       Nenhum()},
      {"bytes_invalidos_fora_das_tags", "\xC3\x28<mod>65</mod>\xFF" + id, NFe("65", kChave)},
  };
}

// Keys of a company with an alphanumeric CNPJ (check digits computed with
// each character's ASCII code minus 48).
const std::string kCnpjAlfa = "12ABC34501DE35";
const std::string kChaveAlfa = "35260812ABC34501DE35550010000001231100001230";
const std::string kOutraAlfa = "35260898XYZ76501AB46550030000090011100090015";
// cUF, year, CNPJ, model, series, first and last number.
const std::string kInutAlfa = "352612ABC34501DE3555001000000200000000210";

std::string RetInut(const std::string& c_stat, const std::string& cnpj = kCnpjAlfa,
                    const std::string& serie = "1") {
  return "<retInutNFe versao=\"4.00\"><infInut><tpAmb>1</tpAmb><cStat>" + c_stat +
         "</cStat><cUF>35</cUF><ano>26</ano><CNPJ>" + cnpj + "</CNPJ><mod>55</mod><serie>" + serie +
         "</serie><nNFIni>200</nNFIni><nNFFin>210</nNFFin></infInut></retInutNFe>";
}

std::vector<Case> AlphanumericAndOwnKeyCases() {
  const std::string canc = "<tpEvento>110111</tpEvento>";
  const std::string id_alfa = "<infNFe Id=\"NFe" + kChaveAlfa + "\">";
  const std::string prot_alfa =
      "<protNFe><infProt><chNFe>" + kChaveAlfa + "</chNFe></infProt></protNFe>";
  const std::string export_outra =
      "<detExport><exportInd><chNFe>" + kOutraAlfa + "</chNFe></exportInd></detExport>";
  // A letter in each place of the key where only digits may stand.
  std::string letra_no_uf = kChaveAlfa, letra_na_serie = kChaveAlfa;
  letra_no_uf[1] = 'A';
  letra_na_serie[23] = 'A';
  std::string minuscula = kChaveAlfa;
  minuscula[8] = 'a';
  return {
      // The CNPJ positions take upper-case letters in every key form.
      {"chNFe_alfa", "<mod>55</mod><chNFe>" + kChaveAlfa + "</chNFe>", NFe("55", kChaveAlfa)},
      {"id_nfe_alfa", "<mod>65</mod>" + id_alfa, NFe("65", kChaveAlfa)},
      {"id_evento_alfa", "<evento><infEvento Id=\"ID110111" + kChaveAlfa + "01\">" + canc,
       Cancelamento(kChaveAlfa)},
      {"cancelamento_chNFe_alfa", "<procEventoNFe><chNFe>" + kChaveAlfa + "</chNFe>" + canc,
       Cancelamento(kChaveAlfa)},
      {"inutilizacao_id_alfa", "<inutNFe><infInut Id=\"ID" + kInutAlfa + "\">",
       Inutilizacao("INUT-" + kInutAlfa)},
      {"inutilizacao_id_alfa_20_caracteres", "<inutNFe><infInut Id=\"ID3526" + kCnpjAlfa + "55\">",
       Inutilizacao("INUT-3526" + kCnpjAlfa + "55")},
      {"inutilizacao_id_alfa_19_caracteres", "<inutNFe><infInut Id=\"ID3526" + kCnpjAlfa + "5\">",
       Inutilizacao("")},
      {"inutilizacao_letra_fora_do_cnpj", "<inutNFe><infInut Id=\"ID3A26" + kCnpjAlfa + "55\">",
       Inutilizacao("")},
      {"letra_no_uf",
       "<mod>55</mod><chNFe>" + letra_no_uf + "</chNFe><x Id=\"NFe" + letra_no_uf + "\">",
       NFe("55", "")},
      {"letra_na_serie", "<mod>55</mod><chNFe>" + letra_na_serie + "</chNFe>", NFe("55", "")},
      {"minuscula_no_cnpj",
       "<mod>55</mod><chNFe>" + minuscula + "</chNFe><x Id=\"NFe" + minuscula + "\">",
       NFe("55", "")},

      // The document's own key: its Id, or its protocol's chNFe.
      {"exportacao_sem_protocolo", "<mod>55</mod>" + id_alfa + export_outra, NFe("55", kChaveAlfa)},
      {"exportacao_com_protocolo",
       "<nfeProc><mod>55</mod>" + id_alfa + export_outra + "</infNFe>" + prot_alfa,
       NFe("55", kChaveAlfa)},
      {"protocolo_com_outra_chave",
       "<nfeProc><mod>55</mod><infNFe Id=\"NFe" + kOutraAlfa + "\">" + export_outra + prot_alfa,
       NFe("55", kChaveAlfa)},
      {"protocolo_com_prefixo_e_atributos",
       "<mod>55</mod>" + id_alfa + export_outra + "<p:infProt Id=\"P1\"><p:chNFe>" + kOutraAlfa +
           "</p:chNFe></p:infProt>",
       NFe("55", kOutraAlfa)},
      {"protocolo_vazio", "<mod>55</mod>" + id_alfa + "<infProt/>" + export_outra,
       NFe("55", kChaveAlfa)},
      {"protocolo_sem_fechamento",
       "<mod>55</mod>" + id_alfa + "<infProt><chNFe>" + kOutraAlfa + "</chNFe>",
       NFe("55", kChaveAlfa)},
      {"chave_so_fora_do_protocolo",
       "<mod>55</mod>" + id_alfa + export_outra + "<infProt><cStat>100</cStat></infProt>",
       NFe("55", kChaveAlfa)},

      // A voiding answer without Id: its fields give the identifier.
      {"retInutNFe_102_sem_id",
       RetInut("102"),
       {"55", "", true, false, true, true, "INUT-" + kInutAlfa, 2}},
      {"retInutNFe_102_cnpj_numerico",
       RetInut("102", "11222333000181", "12"),
       {"55", "", true, false, true, true,
        "INUT-352611222333000181550120000002000000002"
        "10",
        2}},
      {"retInutNFe_recusado", RetInut("241"), {"55", "", true, false, true, true, "", 2}},
      {"retInutNFe_sem_serie",
       "<retInutNFe><infInut><cStat>102</cStat><cUF>35</cUF><ano>26</ano><CNPJ>" + kCnpjAlfa +
           "</CNPJ><mod>55</mod><nNFIni>1</nNFIni><nNFFin>2</nNFFin></infInut></retInutNFe>",
       {"55", "", true, false, true, true, "", 2}},
      {"retInutNFe_com_id_usa_o_id",
       "<retInutNFe><infInut Id=\"ID" + kInutAlfa + "\"><cStat>102</cStat><cUF>41</cUF>",
       Inutilizacao("INUT-" + kInutAlfa)},

      // Cancellation by substitution is a cancellation.
      {"cancelamento_substituicao",
       "<procEventoNFe><evento><infEvento Id=\"ID110112" + kChaveAlfa +
           "01\"><tpEvento>110112</tpEvento><chNFeRef>" + kOutraAlfa + "</chNFeRef>",
       {"", "110112", false, true, false, true, kChaveAlfa, 2}},
      {"evento_110113_nao_e_cancelamento",
       "<procEventoNFe><chNFe>" + kChaveAlfa + "</chNFe><tpEvento>110113</tpEvento>",
       {"", "110113", false, false, false, false, kChaveAlfa, 1}},
  };
}

TEST(NFeValidatorTest, ClassifiesAlphanumericKeysAndOwnKeys) {
  for (const Case& c : AlphanumericAndOwnKeyCases()) {
    SCOPED_TRACE(c.name);
    ExpectClassified(c.xml, c.expected);
  }
}

TEST(NFeValidatorTest, TestEnvironmentAndCopyStrength) {
  struct CopyCase {
    const char* name;
    std::string xml;
    bool homologacao;
    int forca;
  };
  const std::string sig = "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\">";
  const std::vector<CopyCase> cases = {
      {"rascunho", "<NFe><ide><tpAmb>1</tpAmb></ide></NFe>", false, TNFeValidator::kCopiaSimples},
      {"assinada", "<NFe><ide><tpAmb>2</tpAmb></ide>" + sig + "</NFe>", true,
       TNFeValidator::kCopiaAssinada},
      {"autorizada", "<nfeProc><NFe>" + sig + "</NFe><protNFe versao=\"4.00\">", false,
       TNFeValidator::kCopiaAutorizada},
      {"evento_registrado", "<procEventoNFe><evento/><ret:retEvento>", false,
       TNFeValidator::kCopiaAutorizada},
      {"inutilizacao_homologada", "<retInutNFe><infInut><tpAmb>\n 2 \n</tpAmb>", true,
       TNFeValidator::kCopiaAutorizada},
      {"so_fechamentos", "</protNFe></retEvento></Signature>", false, TNFeValidator::kCopiaSimples},
      {"nomes_maiores", "<protNFeX><retEventoY><SignatureValue>", false,
       TNFeValidator::kCopiaSimples},
      {"homologacao_com_prefixo", "<nfe:tpAmb>2</nfe:tpAmb>", true, TNFeValidator::kCopiaSimples},
      {"so_o_primeiro_tpAmb", "<tpAmb>1</tpAmb><tpAmb>2</tpAmb>", false,
       TNFeValidator::kCopiaSimples},
      {"tpAmb_invalido", "<tpAmb>02</tpAmb><tpAmb x=\"1\">2</tpAmb>", false,
       TNFeValidator::kCopiaSimples},
      {"vazio", "", false, TNFeValidator::kCopiaSimples},
  };
  for (const CopyCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TNFeValidator::IsHomologacao(c.xml), c.homologacao);
    EXPECT_EQ(TNFeValidator::GetForcaCopia(c.xml), c.forca);
  }
}

TEST(NFeValidatorTest, ClassifiesTableOfCases) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    ExpectClassified(c.xml, c.expected);
  }
}

std::string Fixture(const std::string& name) {
  return testing::ReadFileBytes(std::string(LUMACOR_SOURCE_DIR) + "/collect/testdata/" + name);
}

struct FixtureCase {
  const char* file;
  Expected expected;
};

const char kInut41[] = "INUT-35241122233300018155001000000100000000110";

std::vector<FixtureCase> FixtureCases() {
  return {
      {"nfe_proc.xml", NFe("55", kChave)},
      {"nfe_bare.xml", NFe("55", kChave)},
      {"nfce.xml", NFe("65", "35240111222333000181650020000004561876543210")},
      {"nfe_prefixo.xml", NFe("55", kOutra)},
      {"nfe_maiusculas.xml", NFe("55", "31240144555666000177550030000009991555555557")},
      {"nfe_bom.xml", NFe("55", "35240111222333000181550010000002001200000003")},
      {"nfe_cp1252.xml", NFe("55", "35240111222333000181550010000002011200000014")},
      {"cancelamento.xml", Cancelamento(kChave)},
      {"carta_correcao.xml", {"", "110110", false, false, false, false, kChave, 1}},
      // A voiding carries a model too, so it also passes as an NF-e.
      {"inutilizacao_proc.xml", {"55", "", true, false, true, true, kInut41, 2}},
      {"inutilizacao_ret.xml", {"55", "", true, false, true, true, kInut41, 2}},
      {"nao_fiscal.xml", Nenhum()},
      {"alfa_nfe_proc.xml", NFe("55", kChaveAlfa)},
      {"alfa_nfe_assinada.xml", NFe("55", kChaveAlfa)},
      {"alfa_nfe_rascunho.xml", NFe("55", kChaveAlfa)},
      {"alfa_nfe_bare.xml", NFe("55", "35260812ABC34501DE35550010000001241100001245")},
      {"alfa_nfce.xml", NFe("65", "35260812ABC34501DE35650020000000451100000455")},
      {"alfa_cancelamento.xml", Cancelamento("35260812ABC34501DE35550010000001251100001250")},
      {"alfa_cancelamento_substituicao.xml",
       {"", "110112", false, true, false, true, "35260812ABC34501DE35650020000000441100000440", 2}},
      {"alfa_inutilizacao_proc.xml", {"55", "", true, false, true, true, "INUT-" + kInutAlfa, 2}},
      {"alfa_inutilizacao_ret_sem_id.xml",
       {"55", "", true, false, true, true, "INUT-352612ABC34501DE3555001000000300000000310", 2}},
      {"alfa_nfe_exportacao.xml", NFe("55", "35260812ABC34501DE35550010000001301100001307")},
      {"alfa_nfe_exportada.xml", NFe("55", kOutraAlfa)},
      {"alfa_nfe_homologacao.xml", NFe("55", "35260812ABC34501DE35550010000001401100001400")},
  };
}

TEST(NFeValidatorTest, ClassifiesSampleDocuments) {
  for (const FixtureCase& c : FixtureCases()) {
    SCOPED_TRACE(c.file);
    ExpectClassified(Fixture(c.file), c.expected);
  }
}

TEST(NFeValidatorTest, UpperCaseDocumentClassifiesLikeMixedCase) {
  for (const FixtureCase& c : FixtureCases()) {
    SCOPED_TRACE(c.file);
    std::string upper = Fixture(c.file);
    for (char& ch : upper) {
      if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    }
    ExpectClassified(upper, c.expected);
  }
}

TEST(NFeValidatorTest, DocumentAndItsCancellationShareTheKey) {
  std::string nfe = Fixture("nfe_proc.xml");
  std::string evento = Fixture("cancelamento.xml");
  EXPECT_EQ(TNFeValidator::ExtractChaveAcesso(nfe), TNFeValidator::ExtractChaveAcesso(evento));
  EXPECT_LT(TNFeValidator::GetPrioridadeFila(nfe), TNFeValidator::GetPrioridadeFila(evento));
}

// The compiled patterns are shared and the match blocks are per thread;
// concurrent callers must see exactly the single-threaded results.
TEST(NFeValidatorTest, SameResultsFromManyThreads) {
  std::vector<std::string> docs;
  std::vector<std::string> expected;
  for (const FixtureCase& c : FixtureCases()) {
    docs.push_back(Fixture(c.file));
    expected.push_back(c.expected.chave);
  }
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; round++) {
        for (size_t i = 0; i < docs.size(); i++) {
          if (TNFeValidator::ExtractChaveAcesso(docs[i]) != expected[i]) failures[t]++;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace lumacor
