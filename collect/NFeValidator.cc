#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "collect/NFePadroes.h"
#include "collect/NFeValidator.h"

namespace lumacor {

namespace {

// One compiled pattern: caseless, byte-oriented (no UTF mode, so \d, \s and
// \b stay ASCII), JIT-compiled when the library can. Compiled twice: as
// written, and anchored at the start, since anchoring only at match time
// would turn the JIT off. Read-only after construction, so one instance
// serves every thread.
class Regex {
 public:
  explicit Regex(const std::string& pattern)
      : code_(Compila(pattern, 0)), anchored_(Compila(pattern, PCRE2_ANCHORED)) {}
  ~Regex() {
    pcre2_code_free(code_);
    pcre2_code_free(anchored_);
  }
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  struct Match {
    size_t begin = 0, end = 0;
    bool has_group1 = false;
    size_t group1_begin = 0, group1_end = 0;
  };

  // The first match at or after `start` in the first `length` bytes of
  // `text`, or only one beginning at `start` when `anchored`. The end of
  // the subject is `length`, as if the text stopped there. Any matcher
  // error counts as no match.
  bool Find(const char* text, size_t length, size_t start, bool anchored, pcre2_match_data* md,
            Match* m) const {
    pcre2_code* code = anchored ? anchored_ : code_;
    if (code == nullptr || md == nullptr || start > length) return false;
    // PCRE2 before 10.43 rejects a null subject even when it is empty.
    PCRE2_SPTR subject = reinterpret_cast<PCRE2_SPTR>(text ? text : "");
    int rc = pcre2_match(code, subject, length, start, 0, md, nullptr);
    if (rc < 0) return false;
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
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
  static pcre2_code* Compila(const std::string& pattern, uint32_t options) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                     PCRE2_CASELESS | options, &error, &offset, nullptr);
    // Without JIT the interpreter gives the same results, only slower.
    if (code != nullptr) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    return code;
  }

  pcre2_code* code_ = nullptr;
  pcre2_code* anchored_ = nullptr;
};

using padroes::ElementPattern;
using padroes::kChave;
using padroes::kCnpj;

// The patterns of the plain classifier but its tag tests ("<", blanks, an
// optional prefix, the name, a word boundary): the scan below decides
// those exactly, with no matcher.
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
};

// Compiled once, on first use; C++ makes that initialisation thread-safe.
// Never freed, so a thread still classifying at exit finds it intact.
const Patterns& P() {
  static const Patterns* patterns = new Patterns;
  return *patterns;
}

// The element names the patterns look for.
enum Nome {
  kMod,
  kTpEvento,
  kTpAmb,
  kChNFe,
  kCStat,
  kCUF,
  kAno,
  kCNPJ,
  kSerie,
  kNNFIni,
  kNNFFin,
  kInfProt,
  kInfEvento,
  kProcEventoNFe,
  kEvento,
  kProcInutNFe,
  kInutNFe,
  kRetInutNFe,
  kInfInut,
  kProtNFe,
  kRetEvento,
  kSignature,
  kNomes,
  kNenhum = kNomes
};

// PCRE2's \s and \w under its built-in tables, which the patterns use:
// ASCII only, vertical tab included.
constexpr uint8_t kEspaco = 1;
constexpr uint8_t kPalavra = 2;
constexpr std::array<uint8_t, 256> kClasses = [] {
  std::array<uint8_t, 256> t{};
  for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) t[c] = kEspaco;
  for (int c = '0'; c <= '9'; c++) t[c] = kPalavra;
  for (int c = 'A'; c <= 'Z'; c++) t[c] = t[c + 'a' - 'A'] = kPalavra;
  t['_'] = kPalavra;
  return t;
}();
bool Espaco(char c) { return kClasses[static_cast<unsigned char>(c)] == kEspaco; }
bool Palavra(char c) { return kClasses[static_cast<unsigned char>(c)] == kPalavra; }

// Whether the word `s` (letters, digits, '_') is `lower` in any letter case.
// Setting bit 0x20 lower-cases a letter and leaves a digit as it is; it
// turns '_' into DEL, which no name holds.
bool Igual(const char* s, const char* lower, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if ((static_cast<unsigned char>(s[i]) | 0x20) != static_cast<unsigned char>(lower[i])) {
      return false;
    }
  }
  return true;
}

// Which of the names the whole word `s` of `n` characters is, caselessly.
// Most words of a document are other names: the first letter and the
// length turn them away.
Nome Identifica(const char* s, size_t n) {
  auto se = [s, n]<size_t N>(const char(&lower)[N], Nome nome) {
    return n == N - 1 && Igual(s + 1, lower + 1, n - 1) ? nome : kNenhum;
  };
  Nome r = kNenhum;
  switch (static_cast<unsigned char>(s[0]) | 0x20) {
    case 'a':
      return se("ano", kAno);
    case 'c':
      if (n == 5) return (r = se("chnfe", kChNFe)) != kNenhum ? r : se("cstat", kCStat);
      return n == 3 ? se("cuf", kCUF) : se("cnpj", kCNPJ);
    case 'e':
      return se("evento", kEvento);
    case 'i':
      if (n == 7) {
        if ((r = se("infprot", kInfProt)) != kNenhum) return r;
        return (r = se("inutnfe", kInutNFe)) != kNenhum ? r : se("infinut", kInfInut);
      }
      return se("infevento", kInfEvento);
    case 'm':
      return se("mod", kMod);
    case 'n':
      return (r = se("nnfini", kNNFIni)) != kNenhum ? r : se("nnffin", kNNFFin);
    case 'p':
      if (n == 7) return se("protnfe", kProtNFe);
      return n == 11 ? se("procinutnfe", kProcInutNFe) : se("proceventonfe", kProcEventoNFe);
    case 'r':
      return n == 9 ? se("retevento", kRetEvento) : se("retinutnfe", kRetInutNFe);
    case 's':
      return n == 5 ? se("serie", kSerie) : se("signature", kSignature);
    case 't':
      return n == 5 ? se("tpamb", kTpAmb) : se("tpevento", kTpEvento);
    default:
      return kNenhum;
  }
}

// The places, in text order, where a pattern may begin to match; beyond
// the first few only their number is kept.
struct Posicoes {
  static constexpr int kGuardadas = 8;
  size_t pos[kGuardadas] = {};
  int total = 0;

  void Add(size_t p) {
    if (total < kGuardadas) pos[total] = p;
    total++;
  }
};

struct MatchDataFree {
  void operator()(pcre2_match_data* md) const { pcre2_match_data_free(md); }
};

// What a pass over a document finds: for each name, the tags that may
// open an element of it, and the places where an "Id=" attribute may begin.
// A pattern can match only where its tag or attribute begins, so it is
// tried there and nowhere else. The pass goes only as far as the questions
// asked need: the model of an NF-e comes in its first lines.
class Varredura {
 public:
  explicit Varredura(std::string_view xml) : xml_(xml) {}

  std::string_view xml() const { return xml_; }

  // Whether a tag pattern ("<", blanks, an optional prefix, the name and a
  // word boundary) matches: the scan knows it exactly.
  bool TemTag(Nome nome) {
    while (abre_[nome].total == 0 && Avanca()) {
    }
    return abre_[nome].total > 0;
  }
  // Where its first match begins; requires TemTag(nome).
  size_t PrimeiraTag(Nome nome) const { return abre_[nome].pos[0]; }

  // The first match of `re` that begins at or after `desde` within the
  // first `ate` bytes, where `onde` holds every place a match may begin
  // (the tags of a name, as far as scanned, or every Id attribute).
  bool Procura(const Regex& re, const Posicoes& onde, size_t desde, size_t ate, Regex::Match* m) {
    if (md_ == nullptr) md_.reset(pcre2_match_data_create(2, nullptr));
    int k = 0;
    do {
      for (; k < std::min(onde.total, Posicoes::kGuardadas); k++) {
        if (onde.pos[k] < desde) continue;
        if (onde.pos[k] >= ate) return false;
        if (re.Find(xml_.data(), ate, onde.pos[k], true, md_.get(), m)) return true;
      }
      if (onde.total > Posicoes::kGuardadas) {
        // Places beyond the ones kept: an ordinary search after the last
        // one tried, which none of the others could match before.
        const size_t inicio = std::max(desde, onde.pos[Posicoes::kGuardadas - 1] + 1);
        return inicio < ate && re.Find(xml_.data(), ate, inicio, false, md_.get(), m);
      }
    } while (&onde != &ids_ && Cresce(onde, ate));
    return false;
  }

  bool Procura(const Regex& re, Nome nome, size_t desde, size_t ate, Regex::Match* m) {
    return Procura(re, abre_[nome], desde, ate, m);
  }

  // Group 1 of the first match from `desde` on, or "".
  std::string Captura(const Regex& re, Nome nome, size_t desde = 0) {
    Regex::Match m;
    if (!Procura(re, nome, desde, xml_.size(), &m) || !m.has_group1) return "";
    return Grupo(m);
  }
  std::string CapturaId(const Regex& re) {
    Regex::Match m;
    if (!Procura(re, Ids(), 0, xml_.size(), &m) || !m.has_group1) return "";
    return Grupo(m);
  }

  std::string Grupo(const Regex::Match& m) const {
    return std::string(xml_.substr(m.group1_begin, m.group1_end - m.group1_begin));
  }

  const Posicoes& ProtOuEvento() const { return prot_ou_evento_; }

  // An ordinary search, for a pattern the scan does not look out for.
  bool ProcuraLivre(const Regex& re, size_t desde, Regex::Match* m) {
    if (md_ == nullptr) md_.reset(pcre2_match_data_create(2, nullptr));
    return re.Find(xml_.data(), xml_.size(), desde, false, md_.get(), m);
  }

 private:
  // Scans the next tag; false once the whole text is scanned. Every tag
  // that begins before `cursor_` has been seen.
  bool Avanca() {
    const size_t n = xml_.size();
    if (cursor_ >= n) return false;
    const char* s = xml_.data();
    const void* p = std::memchr(s + cursor_, '<', n - cursor_);
    if (p == nullptr) {
      cursor_ = n;
      return false;
    }
    cursor_ = Tag(static_cast<size_t>(static_cast<const char*>(p) - s));
    return true;
  }

  // Scans on until `onde` gains a place; false when the text ends first, or
  // when a place found could only lie at or beyond `ate`.
  bool Cresce(const Posicoes& onde, size_t ate) {
    const int antes = onde.total;
    while (onde.total == antes) {
      if (cursor_ >= ate || !Avanca()) return false;
    }
    return true;
  }

  // The tag at `b`: "<", blanks, and a name with an optional prefix.
  // Closing tags are passed over: the one of a protocol or an event is
  // looked for from its opening on, a short way. Returns where the name
  // ends; no tag begins before that.
  size_t Tag(size_t b) {
    const char* s = xml_.data();
    const size_t n = xml_.size();
    size_t i = b + 1;
    while (i < n && Espaco(s[i])) i++;
    const size_t t1 = i;
    while (i < n && Palavra(s[i])) i++;
    if (i == t1) return b + 1;
    const Nome n1 = Identifica(s + t1, i - t1);
    Nome n2 = kNenhum;
    if (i < n && s[i] == ':') {
      const size_t t2 = ++i;
      while (i < n && Palavra(s[i])) i++;
      if (i > t2) n2 = Identifica(s + t2, i - t2);
    }
    if (n1 != kNenhum) abre_[n1].Add(b);
    if (n2 != kNenhum && n2 != n1) abre_[n2].Add(b);
    if (n1 == kInfProt || n1 == kInfEvento || n2 == kInfProt || n2 == kInfEvento) {
      prot_ou_evento_.Add(b);
    }
    return i;
  }

  // Only the key looks for Id attributes: the places are found when it
  // first asks.
  const Posicoes& Ids() {
    if (ids_prontos_) return ids_;
    ids_prontos_ = true;
    const char* s = xml_.data();
    const size_t n = xml_.size();
    if (n == 0) return ids_;
    for (const char* p = static_cast<const char*>(std::memchr(s, '=', n)); p != nullptr;
         p = static_cast<const char*>(std::memchr(p + 1, '=', n - (p + 1 - s)))) {
      Igualdade(static_cast<size_t>(p - s));
    }
    return ids_;
  }

  // The "=" at `e`: an Id attribute begins at the "Id" before it, blanks
  // between them allowed.
  void Igualdade(size_t e) {
    const char* s = xml_.data();
    size_t j = e;
    while (j > 0 && Espaco(s[j - 1])) j--;
    if (j >= 2 && Igual(s + j - 2, "id", 2)) ids_.Add(j - 2);
  }

  std::string_view xml_;
  size_t cursor_ = 0;
  Posicoes abre_[kNomes];
  Posicoes prot_ou_evento_;
  bool ids_prontos_ = false;
  Posicoes ids_;
  // One block for all the searches about this document.
  std::unique_ptr<pcre2_match_data, MatchDataFree> md_;
};

// The first chNFe inside an infProt or infEvento element. Another chNFe of
// an NF-e names a different document (the received NF-e an export NF-e
// refers to), never the document itself.
std::string ChaveDeProtocoloOuEvento(Varredura& v) {
  const Patterns& p = P();
  const std::string_view xml = v.xml();
  Regex::Match abre;
  for (size_t pos = 0; v.Procura(p.abre_prot_ou_evento, v.ProtOuEvento(), pos, xml.size(), &abre);
       pos = abre.end) {
    std::string_view abertura = xml.substr(abre.begin, abre.end - abre.begin);
    if (abertura.size() >= 2 && abertura[abertura.size() - 2] == '/') continue;  // empty
    const bool prot = abre.group1_end - abre.group1_begin == 7;
    Regex::Match fim;
    if (!v.ProcuraLivre(prot ? p.fecha_prot : p.fecha_evento, abre.end, &fim)) continue;
    Regex::Match chave;
    if (v.Procura(p.chave_ch_nfe, kChNFe, abre.end, fim.begin, &chave) && chave.has_group1) {
      return v.Grupo(chave);
    }
  }
  return "";
}

std::string LeftPad(const std::string& digits, size_t width) {
  return digits.size() >= width ? digits : std::string(width - digits.size(), '0') + digits;
}

// SEFAZ's answer to a voiding may come without the Id of the request; its
// fields give the same identifier. Only a homologated voiding (102) counts:
// a refusal proves nothing about the range.
std::string IdentificadorDosCamposDeInutilizacao(Varredura& v) {
  const Patterns& p = P();
  if (!v.TemTag(kInfInut)) return "";
  const size_t corpo = v.PrimeiraTag(kInfInut);
  if (v.Captura(p.c_stat, kCStat, corpo) != "102") return "";
  const std::string c_uf = v.Captura(p.inut_c_uf, kCUF, corpo);
  const std::string ano = v.Captura(p.inut_ano, kAno, corpo);
  const std::string cnpj = v.Captura(p.inut_cnpj, kCNPJ, corpo);
  const std::string mod = v.Captura(p.inut_mod, kMod, corpo);
  const std::string serie = v.Captura(p.inut_serie, kSerie, corpo);
  const std::string ini = v.Captura(p.inut_ini, kNNFIni, corpo);
  const std::string fin = v.Captura(p.inut_fin, kNNFFin, corpo);
  // Every group holds at least one character, so "" means no match.
  if (c_uf.empty() || ano.empty() || cnpj.empty() || mod.empty() || serie.empty() || ini.empty() ||
      fin.empty()) {
    return "";
  }
  return "INUT-" + c_uf + ano + cnpj + mod + LeftPad(serie, 3) + LeftPad(ini, 9) + LeftPad(fin, 9);
}

std::string Mod(Varredura& v) { return v.Captura(P().mod, kMod); }
std::string TipoEvento(Varredura& v) { return v.Captura(P().tp_evento, kTpEvento); }

bool NFeOuNFCe(const std::string& mod) { return mod == "55" || mod == "65"; }

std::string ChaveAcesso(Varredura& v) {
  const Patterns& p = P();
  std::string key;
  // A document that names itself in its Id is filed under that key, or
  // under its protocol's, which is the same for an authorised one.
  key = v.CapturaId(p.chave_id_nfe);
  if (!key.empty()) {
    std::string protocolo = ChaveDeProtocoloOuEvento(v);
    return protocolo.empty() ? key : protocolo;
  }
  key = v.Captura(p.chave_ch_nfe, kChNFe);
  if (!key.empty()) return key;
  key = v.CapturaId(p.chave_id_evento);
  if (!key.empty()) return key;
  key = v.CapturaId(p.chave_id_inut);
  if (!key.empty()) return "INUT-" + key;
  return IdentificadorDosCamposDeInutilizacao(v);
}

bool TemTagDeEvento(Varredura& v) { return v.TemTag(kProcEventoNFe) || v.TemTag(kEvento); }

// 110112 cancels an NFC-e replaced by another one: as final as 110111.
bool TipoDeCancelamento(const std::string& tipo) { return tipo == "110111" || tipo == "110112"; }

bool EventoCancelamento(Varredura& v) {
  return TemTagDeEvento(v) && TipoDeCancelamento(TipoEvento(v)) && !ChaveAcesso(v).empty();
}

bool Inutilizacao(Varredura& v) {
  return v.TemTag(kProcInutNFe) || v.TemTag(kInutNFe) || v.TemTag(kRetInutNFe);
}

bool Homologacao(Varredura& v) { return v.Captura(P().tp_amb, kTpAmb) == "2"; }

int ForcaCopia(Varredura& v) {
  if (v.TemTag(kProtNFe) || v.TemTag(kRetEvento) || v.TemTag(kRetInutNFe)) {
    return TNFeValidator::kCopiaAutorizada;
  }
  return v.TemTag(kSignature) ? TNFeValidator::kCopiaAssinada : TNFeValidator::kCopiaSimples;
}

}  // namespace

std::string TNFeValidator::ExtractMod(std::string_view XML) {
  Varredura v(XML);
  return Mod(v);
}

std::string TNFeValidator::ExtractTipoEvento(std::string_view XML) {
  Varredura v(XML);
  return TipoEvento(v);
}

bool TNFeValidator::IsNFeOuNFCe(std::string_view XML) { return NFeOuNFCe(ExtractMod(XML)); }

bool TNFeValidator::IsEventoCancelamento(std::string_view XML) {
  Varredura v(XML);
  return EventoCancelamento(v);
}

bool TNFeValidator::IsInutilizacao(std::string_view XML) {
  Varredura v(XML);
  return Inutilizacao(v);
}

bool TNFeValidator::IsDocumentoFiscalOuEvento(std::string_view XML) {
  Varredura v(XML);
  return NFeOuNFCe(Mod(v)) || EventoCancelamento(v) || Inutilizacao(v);
}

std::string TNFeValidator::ExtractChaveAcesso(std::string_view XML) {
  Varredura v(XML);
  return ChaveAcesso(v);
}

int TNFeValidator::GetPrioridadeFila(std::string_view XML) {
  Varredura v(XML);
  return Inutilizacao(v) || EventoCancelamento(v) ? 2 : 1;
}

bool TNFeValidator::IsHomologacao(std::string_view XML) {
  Varredura v(XML);
  return Homologacao(v);
}

int TNFeValidator::GetForcaCopia(std::string_view XML) {
  Varredura v(XML);
  return ForcaCopia(v);
}

TClassificacao TNFeValidator::Classificar(std::string_view XML) {
  Varredura v(XML);
  TClassificacao c;
  c.Mod = Mod(v);
  c.TipoEvento = TipoEvento(v);
  c.NFeOuNFCe = NFeOuNFCe(c.Mod);
  c.ChaveAcesso = ChaveAcesso(v);
  c.EventoCancelamento =
      TemTagDeEvento(v) && TipoDeCancelamento(c.TipoEvento) && !c.ChaveAcesso.empty();
  c.Inutilizacao = Inutilizacao(v);
  c.DocumentoFiscalOuEvento = c.NFeOuNFCe || c.EventoCancelamento || c.Inutilizacao;
  c.PrioridadeFila = c.EventoCancelamento || c.Inutilizacao ? 2 : 1;
  c.Homologacao = Homologacao(v);
  c.ForcaCopia = ForcaCopia(v);
  return c;
}

}  // namespace lumacor
