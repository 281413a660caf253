// Collects fiscal documents from the ERP's database with the configured
// collection query (columns CHAVE_UNICA and XML).
#ifndef LUMACOR_COLLECT_SQLEXECUTOR_H_
#define LUMACOR_COLLECT_SQLEXECUTOR_H_

#include <cstddef>
#include <optional>
#include <string>

#include "collect/ArquivoConhecido.h"
#include "collect/DBProvider.h"
#include "collect/XmlRow.h"

namespace lumacor {

// Texts a run holds in memory at most; beyond them, new and changed texts
// are kept aside by the queue until the batch is written (a first run over
// an ERP's whole archive would otherwise hold all of it).
inline constexpr size_t kTextosEmMemoria = 16 * 1024 * 1024;

class TSQLExecutor : public TFonteDeTextos {
 public:
  // Does not own `ADBProvider`, which must outlive this object.
  explicit TSQLExecutor(TDBProvider* ADBProvider) : FDBProvider(ADBProvider) {}

  // Where the stored fingerprints are read (not owned; null: nowhere).
  // With it, Executar keeps the text of a row only when it differs from
  // the stored one, as a text equal to the stored one is never written.
  void UsarEstado(TEstadoGravado* AEstado) { FEstado = AEstado; }

  // Runs the collection query, reading its rows one at a time, and
  // returns the documents the classifier recognises, in the query's order,
  // classified and fingerprinted (TXmlRow::Hash). A row whose text equals
  // the stored one comes without its text, and only where another row of
  // its identifier needs it for the order of delivery; elsewhere it is
  // left out, as storing it would change nothing. Raises on an empty
  // query, a failed connection or query, a missing column or an
  // undecodable document; no partial result is returned then.
  // REQUIRES: GConfigManager set.
  TXmlRowArray Executar();

  // How many documents the last Executar collected, the ones left out of
  // its result included.
  int Coletados() const { return FColetados; }

  // The text of a row of the last run that came without it, kept aside
  // by the queue. Raises when it is not there: the batch must not be
  // stored without it.
  std::optional<std::string> TextoDe(const TXmlRow& row) override;

  // For tests: the bytes of text held in memory before the rest is kept
  // aside.
  void LimitarTextosEmMemoria(size_t bytes) { FLimiteEmMemoria = bytes; }

 private:
  TDBProvider* FDBProvider;
  TEstadoGravado* FEstado = nullptr;
  int FColetados = 0;
  size_t FLimiteEmMemoria = kTextosEmMemoria;
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_SQLEXECUTOR_H_
