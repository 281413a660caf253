// Recognises Brazilian fiscal documents by regular expressions over their
// text and extracts the identifier they are queued under.
#ifndef LUMACOR_COLLECT_NFEVALIDATOR_H_
#define LUMACOR_COLLECT_NFEVALIDATOR_H_

#include <string>
#include <string_view>

namespace lumacor {

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
  // 44-digit key, "INUT-" + digits, or "" when none is found.
  static std::string ExtractChaveAcesso(std::string_view XML);
  // 2 for a cancellation event or a voiding, else 1.
  static int GetPrioridadeFila(std::string_view XML);
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_NFEVALIDATOR_H_
