// The fiscal document classifier over arbitrary text: no crash, and the
// answers must agree with each other.
#include <cstdint>
#include <string>
#include <string_view>

#include "collect/NFeValidator.h"
#include "fuzz/FuzzCheck.h"

using lumacor::TNFeValidator;

namespace {

bool AllDigits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Digits, except the twelve characters of an alphanumeric CNPJ that start
// at `cnpj`, which may also be upper-case letters.
bool DigitsAroundCnpj(std::string_view s, size_t cnpj) {
  if (s.size() < cnpj + 14) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    bool letter_ok = i >= cnpj && i < cnpj + 12 && c >= 'A' && c <= 'Z';
    if (!letter_ok && (c < '0' || c > '9')) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view xml(reinterpret_cast<const char*>(data), size);
  bool fiscal = TNFeValidator::IsDocumentoFiscalOuEvento(xml);
  bool cancelamento = TNFeValidator::IsEventoCancelamento(xml);
  bool inutilizacao = TNFeValidator::IsInutilizacao(xml);
  bool nfe = TNFeValidator::IsNFeOuNFCe(xml);
  FUZZ_CHECK(fiscal == (nfe || cancelamento || inutilizacao));
  int prioridade = TNFeValidator::GetPrioridadeFila(xml);
  FUZZ_CHECK(prioridade == ((cancelamento || inutilizacao) ? 2 : 1));

  std::string chave = TNFeValidator::ExtractChaveAcesso(xml);
  // The identifier is a row key and goes into the portal's JSON: only the
  // two forms the queue knows.
  if (chave.rfind("INUT-", 0) == 0) {
    // cUF and year, then the CNPJ, model, series and the range.
    FUZZ_CHECK(chave.size() >= 25 && DigitsAroundCnpj(std::string_view(chave).substr(5), 4));
  } else {
    // cUF and AAMM, then the CNPJ and the rest of the key.
    FUZZ_CHECK(chave.empty() || (chave.size() == 44 && DigitsAroundCnpj(chave, 6)));
  }
  std::string mod = TNFeValidator::ExtractMod(xml);
  FUZZ_CHECK(AllDigits(mod));
  std::string tipo = TNFeValidator::ExtractTipoEvento(xml);
  FUZZ_CHECK(AllDigits(tipo));
  return 0;
}
