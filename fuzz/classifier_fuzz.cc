// The fiscal document classifier over arbitrary text: no crash, the
// answers agree with each other and with the plain patterns they are
// defined by.
#include <cstdint>
#include <string>
#include <string_view>

#include "collect/NFeValidator.h"
#include "collect/NFeValidatorReferencia.h"
#include "fuzz/FuzzCheck.h"

using lumacor::TClassificacao;
using lumacor::TNFeValidator;
using lumacor::TNFeValidatorReferencia;

namespace {

bool AllDigits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// An access key: digits, but the twelve characters of the CNPJ root that
// may be upper-case letters since the alphanumeric CNPJ.
bool ChaveValida(std::string_view s) {
  if (s.size() != 44) return false;
  for (size_t i = 0; i < s.size(); i++) {
    const bool letra = i >= 6 && i < 18 && s[i] >= 'A' && s[i] <= 'Z';
    if (!letra && (s[i] < '0' || s[i] > '9')) return false;
  }
  return true;
}

// A voiding's identifier after "INUT-": cUF and year, the CNPJ (letters
// in its root), model, series and the range; at least 20 characters.
bool IdentificadorDeInutilizacaoValido(std::string_view s) {
  if (s.size() < 20) return false;
  for (size_t i = 0; i < s.size(); i++) {
    const bool letra = i >= 4 && i < 16 && s[i] >= 'A' && s[i] <= 'Z';
    if (!letra && (s[i] < '0' || s[i] > '9')) return false;
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
    FUZZ_CHECK(IdentificadorDeInutilizacaoValido(std::string_view(chave).substr(5)));
  } else {
    FUZZ_CHECK(chave.empty() || ChaveValida(chave));
  }
  std::string mod = TNFeValidator::ExtractMod(xml);
  FUZZ_CHECK(AllDigits(mod));
  std::string tipo = TNFeValidator::ExtractTipoEvento(xml);
  FUZZ_CHECK(AllDigits(tipo));

  using R = TNFeValidatorReferencia;
  FUZZ_CHECK(mod == R::ExtractMod(xml));
  FUZZ_CHECK(tipo == R::ExtractTipoEvento(xml));
  FUZZ_CHECK(nfe == R::IsNFeOuNFCe(xml));
  FUZZ_CHECK(cancelamento == R::IsEventoCancelamento(xml));
  FUZZ_CHECK(inutilizacao == R::IsInutilizacao(xml));
  FUZZ_CHECK(fiscal == R::IsDocumentoFiscalOuEvento(xml));
  FUZZ_CHECK(chave == R::ExtractChaveAcesso(xml));
  FUZZ_CHECK(prioridade == R::GetPrioridadeFila(xml));
  const bool homologacao = TNFeValidator::IsHomologacao(xml);
  FUZZ_CHECK(homologacao == R::IsHomologacao(xml));
  const int forca = TNFeValidator::GetForcaCopia(xml);
  FUZZ_CHECK(forca == R::GetForcaCopia(xml));

  const TClassificacao c = TNFeValidator::Classificar(xml);
  FUZZ_CHECK(c.Mod == mod && c.TipoEvento == tipo && c.NFeOuNFCe == nfe);
  FUZZ_CHECK(c.EventoCancelamento == cancelamento && c.Inutilizacao == inutilizacao);
  FUZZ_CHECK(c.DocumentoFiscalOuEvento == fiscal && c.ChaveAcesso == chave);
  FUZZ_CHECK(c.PrioridadeFila == prioridade && c.Homologacao == homologacao);
  FUZZ_CHECK(c.ForcaCopia == forca);
  return 0;
}
