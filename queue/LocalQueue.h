// The outbound queue: every collected document in a local SQLite file, one
// row per company CNPJ and identifier, with its fingerprint, delivery state
// and count of failed attempts. Writes no log lines; every database failure
// is raised (SqliteError carrying SQLite's message) for the caller to log.
#ifndef LUMACOR_QUEUE_LOCALQUEUE_H_
#define LUMACOR_QUEUE_LOCALQUEUE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "collect/XmlRow.h"
#include "platform/FileSystem.h"
#include "queue/Sqlite.h"

namespace lumacor {

// One pending row as handed to the cycle.
struct TQueueItem {
  int32_t ID = 0;
  std::string CNPJ;
  std::string ChaveUnica;
  std::string XML;
  std::string XMLHash;
  int32_t Tentativas = 0;
  std::string UltimoErro;  // "" when the column is NULL
  std::string Status;      // not read: always "" from ListarPendentes
};

// True when a failed send says nothing against the document itself, so it
// must not use up the document's attempts: no answer (0), credentials
// refused (401, 403), request time-out (408), throttling (429), and
// server errors (5xx).
bool IsFalhaTransitoria(int32_t HTTPCode);

// Used by one thread at a time. Holds the file exclusively while it lives:
// other connections get SQLITE_BUSY at once (no busy time-out is set).
class TLocalQueue {
 public:
  // Creates the folder of `ASQLitePath` when missing, opens or creates the
  // database and its table and index. Raises PlatformError (folder, or a
  // path without a folder) or SqliteError; then nothing stays open.
  explicit TLocalQueue(const std::string& ASQLitePath, FileSystem* fs = FileSystem::Default());
  TLocalQueue(const TLocalQueue&) = delete;
  TLocalQueue& operator=(const TLocalQueue&) = delete;

  // Stores one document under (CNPJ, ChaveUnica): inserts a new one,
  // re-queues a changed one (fresh attempt count, same id), leaves an
  // unchanged one alone; keeps a stored authorised copy (with SEFAZ's
  // answer) against a weaker copy of the same document. False only for a
  // row left alone that was already sent.
  bool UpsertXML(std::string_view CNPJ, std::string_view ChaveUnica, std::string_view XML,
                 std::string_view Hash);

  // Stores a batch in one transaction, fingerprinting each text. Items are
  // applied in identifier order, a document before the cancellation event
  // or voiding that shares its identifier and, of equal priority, a weaker
  // copy before an authorised one; of several items with one identifier
  // only the last in that order is applied, so the row ends with the
  // event's text and an unchanged pair leaves it alone. Any failure
  // rolls the whole batch back and is raised again.
  void UpsertEmLote(const TXmlRowArray& AItens, const std::string& CNPJ);

  // Up to 100 pending rows of every CNPJ: fewest failed attempts first,
  // then oldest, so documents that keep failing cannot starve new ones.
  std::vector<TQueueItem> ListarPendentes();

  // Marks the listed row (by its own CNPJ and identifier) as sent.
  void MarcarEnviado(const TQueueItem& Item);

  // Counts a failed attempt on the listed row and keeps `Erro` whole. A
  // non-transient failure that brings the count to the configured
  // MaxTentativas ends the row's retries ("falha_definitiva"); a transient
  // one (see IsFalhaTransitoria) leaves it pending.
  void MarcarErro(const TQueueItem& Item, const std::string& Erro, bool Transitorio);

  const std::string& SQLitePath() const { return FSQLitePath; }

  // The queue's own connection, for inspection by tests and tools: no other
  // connection can read the file while the queue holds it.
  TSqliteConnection& Connection() { return FConn; }

 private:
  std::string FSQLitePath;
  // Declared before the statements, so they are finalized first.
  TSqliteConnection FConn;
  TSqliteStatement FSelect;
  TSqliteStatement FSelectXml;
  TSqliteStatement FInsert;
  TSqliteStatement FUpdate;
  TSqliteStatement FListar;
  TSqliteStatement FEnviado;
  TSqliteStatement FErro;
  TSqliteStatement FErroTransitorio;
  TSqliteStatement FBegin;
  TSqliteStatement FCommit;
  TSqliteStatement FRollback;
};

}  // namespace lumacor

#endif  // LUMACOR_QUEUE_LOCALQUEUE_H_
