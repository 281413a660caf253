#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>

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
    if (code_ == nullptr) return false;
    // A block per search rather than one kept per thread: mingw-w64 may
    // release a thread's storage before it runs thread_local destructors,
    // so a per-thread owner would free memory already gone. The block is
    // tiny next to the scan of a whole document.
    std::unique_ptr<pcre2_match_data, MatchDataFree> md(pcre2_match_data_create(2, nullptr));
    if (md == nullptr) return false;
    // PCRE2 before 10.43 rejects a null subject even when it is empty.
    PCRE2_SPTR text = reinterpret_cast<PCRE2_SPTR>(subject.data() ? subject.data() : "");
    int rc = pcre2_match(code_, text, subject.size(), 0, 0, md.get(), nullptr);
    if (rc < 0) return false;
    if (group1 != nullptr) {
      const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.get());
      if (rc < 2 || ov[2] == PCRE2_UNSET) return false;
      group1->assign(subject.data() + ov[2], ov[3] - ov[2]);
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

struct Patterns {
  Regex mod{R"(<\s*(?:[A-Za-z0-9_]+:)?mod\s*>\s*(\d+)\s*</\s*(?:[A-Za-z0-9_]+:)?mod\s*>)"};
  Regex tp_evento{
      R"(<\s*(?:[A-Za-z0-9_]+:)?tpEvento\s*>\s*(\d+)\s*</\s*(?:[A-Za-z0-9_]+:)?tpEvento\s*>)"};
  Regex chave_ch_nfe{
      R"(<\s*(?:[A-Za-z0-9_]+:)?chNFe\s*>\s*(\d{44})\s*</\s*(?:[A-Za-z0-9_]+:)?chNFe\s*>)"};
  Regex chave_id_nfe{R"(Id\s*=\s*["']NFe(\d{44})["'])"};
  Regex chave_id_evento{R"(Id\s*=\s*["']ID\d{6}(\d{44})\d{1,2}["'])"};
  Regex chave_id_inut{R"(Id\s*=\s*["']ID([0-9]{20,})["'])"};

  Regex tag_proc_evento{TagPattern("procEventoNFe")};
  Regex tag_evento{TagPattern("evento")};
  Regex tag_proc_inut{TagPattern("procInutNFe")};
  Regex tag_inut{TagPattern("inutNFe")};
  Regex tag_ret_inut{TagPattern("retInutNFe")};
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

}  // namespace

std::string TNFeValidator::ExtractMod(std::string_view XML) { return Capture(P().mod, XML); }

std::string TNFeValidator::ExtractTipoEvento(std::string_view XML) {
  return Capture(P().tp_evento, XML);
}

bool TNFeValidator::IsNFeOuNFCe(std::string_view XML) {
  std::string mod = ExtractMod(XML);
  return mod == "55" || mod == "65";
}

bool TNFeValidator::IsEventoCancelamento(std::string_view XML) {
  const Patterns& p = P();
  if (!p.tag_proc_evento.Search(XML) && !p.tag_evento.Search(XML)) return false;
  if (ExtractTipoEvento(XML) != "110111") return false;
  return !ExtractChaveAcesso(XML).empty();
}

bool TNFeValidator::IsInutilizacao(std::string_view XML) {
  const Patterns& p = P();
  return p.tag_proc_inut.Search(XML) || p.tag_inut.Search(XML) || p.tag_ret_inut.Search(XML);
}

bool TNFeValidator::IsDocumentoFiscalOuEvento(std::string_view XML) {
  return IsNFeOuNFCe(XML) || IsEventoCancelamento(XML) || IsInutilizacao(XML);
}

std::string TNFeValidator::ExtractChaveAcesso(std::string_view XML) {
  const Patterns& p = P();
  std::string key;
  if (p.chave_ch_nfe.Search(XML, &key)) return key;
  if (p.chave_id_nfe.Search(XML, &key)) return key;
  if (p.chave_id_evento.Search(XML, &key)) return key;
  if (p.chave_id_inut.Search(XML, &key)) return "INUT-" + key;
  return "";
}

int TNFeValidator::GetPrioridadeFila(std::string_view XML) {
  return IsEventoCancelamento(XML) || IsInutilizacao(XML) ? 2 : 1;
}

}  // namespace lumacor
