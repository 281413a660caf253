// Recognises Brazilian fiscal documents by regular expressions over their
// text and extracts the identifier they are queued under. One scan of the
// text finds where each pattern may match, so a pattern runs only there:
// the answers are those of the plain searches (collect/NFeValidatorReferencia.h)
// at a fraction of their cost.
#ifndef LUMACOR_COLLECT_NFEVALIDATOR_H_
#define LUMACOR_COLLECT_NFEVALIDATOR_H_

#include <string>
#include <string_view>

namespace lumacor {

// Every answer about one document, from one scan of its text; each field
// equals the operation of TNFeValidator of the same name.
struct TClassificacao {
  std::string Mod;
  std::string TipoEvento;
  bool NFeOuNFCe = false;
  bool EventoCancelamento = false;
  bool Inutilizacao = false;
  bool DocumentoFiscalOuEvento = false;
  std::string ChaveAcesso;
  int PrioridadeFila = 1;
  bool Homologacao = false;
  int ForcaCopia = 0;  // TNFeValidator::kCopia*
};

// Stateless; every operation may be called from any thread.
class TNFeValidator {
 public:
  TNFeValidator() = delete;

  static std::string ExtractMod(std::string_view XML);
  static std::string ExtractTipoEvento(std::string_view XML);
  static bool IsNFeOuNFCe(std::string_view XML);
  static bool IsEventoCancelamento(std::string_view XML);
  static bool IsInutilizacao(std::string_view XML);
  static bool IsDocumentoFiscalOuEvento(std::string_view XML);
  // The 44-character access key, "INUT-" + the voiding's identifier, or ""
  // when none is found. The CNPJ inside either may hold upper-case letters.
  static std::string ExtractChaveAcesso(std::string_view XML);
  // 2 for a cancellation event or a voiding, else 1.
  static int GetPrioridadeFila(std::string_view XML);

  // True for a document of SEFAZ's test environment (tpAmb 2), which has
  // no fiscal value.
  static bool IsHomologacao(std::string_view XML);

  // How much a copy of a document proves, for choosing among several texts
  // of one document: SEFAZ's answer kept with it (protNFe, retEvento,
  // retInutNFe), else a signature, else nothing.
  static constexpr int kCopiaSimples = 0;
  static constexpr int kCopiaAssinada = 1;
  static constexpr int kCopiaAutorizada = 2;
  static int GetForcaCopia(std::string_view XML);

  // All of the above at the cost of one of them: for a caller that asks
  // several questions about the same text.
  static TClassificacao Classificar(std::string_view XML);
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_NFEVALIDATOR_H_
