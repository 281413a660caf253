#ifndef LUMACOR_COLLECT_XMLROW_H_
#define LUMACOR_COLLECT_XMLROW_H_

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumacor {

// One collected document.
struct TXmlRow {
  TXmlRow() = default;
  TXmlRow(std::string AChaveUnica, std::string AXML)
      : ChaveUnica(std::move(AChaveUnica)), XML(std::move(AXML)) {}

  std::string ChaveUnica;  // the identifier; never empty
  std::string XML;         // the whole document, UTF-8; see Arquivo
  // Set by a collector that already classified and fingerprinted the text
  // (the folder collector): then Hash, Prioridade and Forca hold what the
  // classifier and the fingerprint gave, and an empty XML means the text
  // was left in the file Arquivo, to be read again only if the queue must
  // write it. Empty Hash: everything is taken from XML.
  std::string Hash;
  int Prioridade = 0;
  int Forca = 0;
  std::string Arquivo;
};

using TXmlRowArray = std::vector<TXmlRow>;

// Where a collector learns what the queue holds (the queue itself).
class TEstadoGravado {
 public:
  virtual ~TEstadoGravado() = default;
  // The fingerprint stored for (CNPJ, ChaveUnica); nullopt when there is
  // no such row. Raises on failure.
  virtual std::optional<std::string> HashGravado(std::string_view CNPJ,
                                                 std::string_view ChaveUnica) = 0;
  // Keeps a collected text aside, out of the process's memory, until the
  // cycle's batch is written; TextoGuardado gives it back by its
  // fingerprint, and DescartarTextos drops every text kept. Raise on
  // failure.
  virtual void GuardarTexto(const std::string& Hash, std::string_view XML) = 0;
  virtual std::optional<std::string> TextoGuardado(const std::string& Hash) = 0;
  virtual void DescartarTextos() = 0;
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_XMLROW_H_
