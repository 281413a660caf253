// Collects fiscal documents from the ERP's database with the configured
// collection query (columns CHAVE_UNICA and XML).
#ifndef LUMACOR_COLLECT_SQLEXECUTOR_H_
#define LUMACOR_COLLECT_SQLEXECUTOR_H_

#include "collect/DBProvider.h"
#include "collect/XmlRow.h"

namespace lumacor {

class TSQLExecutor {
 public:
  // Does not own `ADBProvider`, which must outlive this object.
  explicit TSQLExecutor(TDBProvider* ADBProvider) : FDBProvider(ADBProvider) {}

  // Runs the collection query and returns the documents the classifier
  // recognises, in the query's order. Raises on an empty query, a failed
  // connection or query, a missing column or an undecodable document; no
  // partial result is returned then. REQUIRES: GConfigManager set.
  TXmlRowArray Executar();

 private:
  TDBProvider* FDBProvider;
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_SQLEXECUTOR_H_
