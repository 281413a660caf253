// The classifier as plain regular expressions, one full search per
// pattern. The agent uses TNFeValidator, which gives the same answers in
// one scan; this one stays as the definition it is checked against. A
// change to a pattern is made in both: collect/NFeValidatorReferencia_test.cc
// and the classifier fuzz target hold them to the same answers.
#ifndef LUMACOR_COLLECT_NFEVALIDATORREFERENCIA_H_
#define LUMACOR_COLLECT_NFEVALIDATORREFERENCIA_H_

#include <string>
#include <string_view>

namespace lumacor {

// Same operations and results as TNFeValidator (see collect/NFeValidator.h).
class TNFeValidatorReferencia {
 public:
  TNFeValidatorReferencia() = delete;

  static std::string ExtractMod(std::string_view XML);
  static std::string ExtractTipoEvento(std::string_view XML);
  static bool IsNFeOuNFCe(std::string_view XML);
  static bool IsEventoCancelamento(std::string_view XML);
  static bool IsInutilizacao(std::string_view XML);
  static bool IsDocumentoFiscalOuEvento(std::string_view XML);
  static std::string ExtractChaveAcesso(std::string_view XML);
  static int GetPrioridadeFila(std::string_view XML);
  static bool IsHomologacao(std::string_view XML);
  static int GetForcaCopia(std::string_view XML);
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_NFEVALIDATORREFERENCIA_H_
