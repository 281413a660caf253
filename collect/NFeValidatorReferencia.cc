#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>

#include "collect/NFePadroes.h"
#include "collect/NFeValidatorReferencia.h"

#include "collect/NFeValidator.h"

namespace lumacor {

namespace {

// One compiled pattern: caseless, byte-oriented (no UTF mode, so \d, \s and
// \b stay ASCII), JIT-compiled when the library can. Read-only after
// construction, so one instance serves every thread.
class Regex {
 public:
  explicit Regex(const std::string& pattern) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                          PCRE2_CASELESS, &error, &offset, nullptr);
    // Without JIT the interpreter gives the same results, only slower.
    if (code_ != nullptr) pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
  }
  ~Regex() { pcre2_code_free(code_); }
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // Searches `subject` for the first match. Stores capture group 1 in
  // `group1` when given. Any matcher error counts as no match.
  bool Search(std::string_view subject, std::string* group1 = nullptr) const {
    Match m;
    if (!Find(subject, 0, &m)) return false;
    if (group1 != nullptr) {
      if (!m.has_group1) return false;
      group1->assign(subject.substr(m.group1_begin, m.group1_end - m.group1_begin));
    }
    return true;
  }

  struct Match {
    size_t begin = 0, end = 0;
    bool has_group1 = false;
    size_t group1_begin = 0, group1_end = 0;
  };

  // The first match at or after `start`.
  bool Find(std::string_view subject, size_t start, Match* m) const {
    if (code_ == nullptr || start > subject.size()) return false;
    // A block per search rather than one kept per thread: mingw-w64 may
    // release a thread's storage before it runs thread_local destructors,
    // so a per-thread owner would free memory already gone. The block is
    // tiny next to the scan of a whole document.
    std::unique_ptr<pcre2_match_data, MatchDataFree> md(pcre2_match_data_create(2, nullptr));
    if (md == nullptr) return false;
    // PCRE2 before 10.43 rejects a null subject even when it is empty.
    PCRE2_SPTR text = reinterpret_cast<PCRE2_SPTR>(subject.data() ? subject.data() : "");
    int rc = pcre2_match(code_, text, subject.size(), start, 0, md.get(), nullptr);
    if (rc < 0) return false;
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.get());
    m->begin = ov[0];
    m->end = ov[1];
    m->has_group1 = rc >= 2 && ov[2] != PCRE2_UNSET;
    if (m->has_group1) {
      m->group1_begin = ov[2];
      m->group1_end = ov[3];
    }
    return true;
  }

 private:
  struct MatchDataFree {
    void operator()(pcre2_match_data* md) const { pcre2_match_data_free(md); }
  };

  pcre2_code* code_ = nullptr;
};

// An opening or empty-element tag with the local name `name`, under any
// namespace prefix; "\b" keeps longer names out.
std::string TagPattern(const char* name) {
  return std::string("<\\s*(?:[A-Za-z0-9_]+:)?") + name + "\\b";
}

using padroes::ElementPattern;
using padroes::kChave;
using padroes::kCnpj;

struct Patterns {
  Regex mod{ElementPattern("mod", "(\\d+)")};
  Regex tp_evento{ElementPattern("tpEvento", "(\\d+)")};
  Regex tp_amb{ElementPattern("tpAmb", "(\\d+)")};
  Regex chave_ch_nfe{ElementPattern("chNFe", "(" + kChave + ")")};
  Regex chave_id_nfe{"Id\\s*=\\s*[\"']NFe(" + kChave + ")[\"']"};
  Regex chave_id_evento{"Id\\s*=\\s*[\"']ID\\d{6}(" + kChave + ")\\d{1,2}[\"']"};
  // cUF and year, the CNPJ, then model, series and the two numbers; at
  // least 20 characters, as before the alphanumeric CNPJ.
  Regex chave_id_inut{"Id\\s*=\\s*[\"']ID(\\d{4}" + kCnpj + "\\d{2,})[\"']"};

  // Where a chNFe names the document itself: a protocol or an event.
  Regex abre_prot_ou_evento{"<\\s*(?:[A-Za-z0-9_]+:)?(infProt|infEvento)\\b[^>]*>"};
  Regex fecha_prot{"</\\s*(?:[A-Za-z0-9_]+:)?infProt\\s*>"};
  Regex fecha_evento{"</\\s*(?:[A-Za-z0-9_]+:)?infEvento\\s*>"};

  // The fields of a voiding answer that has no Id.
  Regex c_stat{ElementPattern("cStat", "(\\d+)")};
  Regex inut_c_uf{ElementPattern("cUF", "(\\d{2})")};
  Regex inut_ano{ElementPattern("ano", "(\\d{2})")};
  Regex inut_cnpj{ElementPattern("CNPJ", "(" + kCnpj + ")")};
  Regex inut_mod{ElementPattern("mod", "(\\d{2})")};
  Regex inut_serie{ElementPattern("serie", "(\\d{1,3})")};
  Regex inut_ini{ElementPattern("nNFIni", "(\\d{1,9})")};
  Regex inut_fin{ElementPattern("nNFFin", "(\\d{1,9})")};

  Regex tag_proc_evento{TagPattern("procEventoNFe")};
  Regex tag_evento{TagPattern("evento")};
  Regex tag_proc_inut{TagPattern("procInutNFe")};
  Regex tag_inut{TagPattern("inutNFe")};
  Regex tag_ret_inut{TagPattern("retInutNFe")};
  Regex tag_inf_inut{TagPattern("infInut")};

  // SEFAZ's answer kept with the document: the authorisation of an NF-e,
  // the registration of an event, the homologation of a voiding.
  Regex tag_prot_nfe{TagPattern("protNFe")};
  Regex tag_ret_evento{TagPattern("retEvento")};
  Regex tag_signature{TagPattern("Signature")};
};

// Compiled once, on first use; C++ makes that initialisation thread-safe.
// Never freed, so a thread still classifying at exit finds it intact.
const Patterns& P() {
  static const Patterns* patterns = new Patterns;
  return *patterns;
}

std::string Capture(const Regex& re, std::string_view xml) {
  std::string out;
  re.Search(xml, &out);
  return out;
}

// The first chNFe inside an infProt or infEvento element. Another chNFe of
// an NF-e names a different document (the received NF-e an export NF-e
// refers to), never the document itself.
std::string ChaveDeProtocoloOuEvento(std::string_view xml) {
  const Patterns& p = P();
  Regex::Match abre;
  for (size_t pos = 0; p.abre_prot_ou_evento.Find(xml, pos, &abre); pos = abre.end) {
    std::string_view abertura = xml.substr(abre.begin, abre.end - abre.begin);
    if (abertura.size() >= 2 && abertura[abertura.size() - 2] == '/') continue;  // empty
    std::string_view nome = xml.substr(abre.group1_begin, abre.group1_end - abre.group1_begin);
    const Regex& fecha = nome.size() == 7 ? p.fecha_prot : p.fecha_evento;
    Regex::Match fim;
    if (!fecha.Find(xml, abre.end, &fim)) continue;
    std::string chave;
    if (p.chave_ch_nfe.Search(xml.substr(abre.end, fim.begin - abre.end), &chave)) return chave;
  }
  return "";
}

std::string LeftPad(const std::string& digits, size_t width) {
  return digits.size() >= width ? digits : std::string(width - digits.size(), '0') + digits;
}

// SEFAZ's answer to a voiding may come without the Id of the request; its
// fields give the same identifier. Only a homologated voiding (102) counts:
// a refusal proves nothing about the range.
std::string IdentificadorDosCamposDeInutilizacao(std::string_view xml) {
  const Patterns& p = P();
  Regex::Match inf;
  if (!p.tag_inf_inut.Find(xml, 0, &inf)) return "";
  std::string_view corpo = xml.substr(inf.begin);
  if (Capture(p.c_stat, corpo) != "102") return "";
  std::string c_uf, ano, cnpj, mod, serie, ini, fin;
  if (!p.inut_c_uf.Search(corpo, &c_uf) || !p.inut_ano.Search(corpo, &ano) ||
      !p.inut_cnpj.Search(corpo, &cnpj) || !p.inut_mod.Search(corpo, &mod) ||
      !p.inut_serie.Search(corpo, &serie) || !p.inut_ini.Search(corpo, &ini) ||
      !p.inut_fin.Search(corpo, &fin)) {
    return "";
  }
  return "INUT-" + c_uf + ano + cnpj + mod + LeftPad(serie, 3) + LeftPad(ini, 9) + LeftPad(fin, 9);
}

}  // namespace

std::string TNFeValidatorReferencia::ExtractMod(std::string_view XML) {
  return Capture(P().mod, XML);
}

std::string TNFeValidatorReferencia::ExtractTipoEvento(std::string_view XML) {
  return Capture(P().tp_evento, XML);
}

bool TNFeValidatorReferencia::IsNFeOuNFCe(std::string_view XML) {
  std::string mod = ExtractMod(XML);
  return mod == "55" || mod == "65";
}

bool TNFeValidatorReferencia::IsEventoCancelamento(std::string_view XML) {
  const Patterns& p = P();
  if (!p.tag_proc_evento.Search(XML) && !p.tag_evento.Search(XML)) return false;
  // 110112 cancels an NFC-e replaced by another one: as final as 110111.
  const std::string tipo = ExtractTipoEvento(XML);
  if (tipo != "110111" && tipo != "110112") return false;
  return !ExtractChaveAcesso(XML).empty();
}

bool TNFeValidatorReferencia::IsInutilizacao(std::string_view XML) {
  const Patterns& p = P();
  return p.tag_proc_inut.Search(XML) || p.tag_inut.Search(XML) || p.tag_ret_inut.Search(XML);
}

bool TNFeValidatorReferencia::IsDocumentoFiscalOuEvento(std::string_view XML) {
  return IsNFeOuNFCe(XML) || IsEventoCancelamento(XML) || IsInutilizacao(XML);
}

std::string TNFeValidatorReferencia::ExtractChaveAcesso(std::string_view XML) {
  const Patterns& p = P();
  std::string key;
  // A document that names itself in its Id is filed under that key, or
  // under its protocol's, which is the same for an authorised one.
  if (p.chave_id_nfe.Search(XML, &key)) {
    std::string protocolo = ChaveDeProtocoloOuEvento(XML);
    return protocolo.empty() ? key : protocolo;
  }
  if (p.chave_ch_nfe.Search(XML, &key)) return key;
  if (p.chave_id_evento.Search(XML, &key)) return key;
  if (p.chave_id_inut.Search(XML, &key)) return "INUT-" + key;
  return IdentificadorDosCamposDeInutilizacao(XML);
}

int TNFeValidatorReferencia::GetPrioridadeFila(std::string_view XML) {
  return IsEventoCancelamento(XML) || IsInutilizacao(XML) ? 2 : 1;
}

bool TNFeValidatorReferencia::IsHomologacao(std::string_view XML) {
  return Capture(P().tp_amb, XML) == "2";
}

int TNFeValidatorReferencia::GetForcaCopia(std::string_view XML) {
  const Patterns& p = P();
  if (p.tag_prot_nfe.Search(XML) || p.tag_ret_evento.Search(XML) || p.tag_ret_inut.Search(XML)) {
    return TNFeValidator::kCopiaAutorizada;
  }
  return p.tag_signature.Search(XML) ? TNFeValidator::kCopiaAssinada : TNFeValidator::kCopiaSimples;
}

}  // namespace lumacor
