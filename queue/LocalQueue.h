// The outbound queue: every collected document in a local SQLite file, one
// row per company CNPJ and identifier, with its fingerprint, delivery state
// and count of failed attempts. Writes no log lines; every database failure
// is raised (SqliteError carrying SQLite's message) for the caller to log.
#ifndef LUMACOR_QUEUE_LOCALQUEUE_H_
#define LUMACOR_QUEUE_LOCALQUEUE_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collect/ArquivoConhecido.h"
#include "collect/XmlRow.h"
#include "platform/FileSystem.h"
#include "queue/Lacunas.h"
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

// Rows of one delivery state, counted.
struct TContagemFila {
  int64_t Pendentes = 0;
  int64_t Enviados = 0;
  int64_t FalhasDefinitivas = 0;
};

// A row whose retries ended ("falha_definitiva").
struct TFalhaDefinitiva {
  std::string CNPJ;
  std::string ChaveUnica;
  std::string UltimoErro;
  std::string Quando;  // its last attempt, UTC "YYYY-MM-DD HH:MM:SS"
};

// What the operator is shown of the queue. Times are UTC
// "YYYY-MM-DD HH:MM:SS", "" when there is no such row.
struct TResumoFila {
  TContagemFila Total;
  std::vector<std::pair<std::string, TContagemFila>> PorCNPJ;  // by CNPJ
  std::string PendenteMaisAntigo;        // when the oldest pending row was queued
  std::string UltimoEnvio;               // when the latest delivery was recorded
  std::vector<TFalhaDefinitiva> Falhas;  // the latest first
};

// How many definitive failures TLocalQueue::Resumo lists at most.
inline constexpr int kMaxFalhasNoResumo = 50;

// Of the texts of one identifier in delivery order (their fingerprints),
// the index of the one to store now, given the stored row's fingerprint
// and state (null: no row); -1 leaves the row alone. The first text the
// portal has not had goes first; the next only once the stored one is
// sent (or has failed for good); a row holding the last is done.
int ProximoTexto(const std::vector<std::string>& Hashes, const std::string* HashGravado,
                 const std::string* StatusGravado);

// Rows ListarPendentes hands out at most, for one cycle.
inline constexpr int kMaxPendentesPorCiclo = 100;

// Used by one thread at a time. Holds the file exclusively from the
// constructor on, while it lives: other connections get SQLITE_BUSY at once
// (no busy time-out is set), which is how another process tells that an
// agent is running.
// Also keeps, in a table of its own, what the folder scans learned about
// each file (TMemoriaDeArquivos).
class TLocalQueue : public TMemoriaDeArquivos, public TEstadoGravado {
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
  // applied in identifier order; of several copies of one text (same
  // priority) the authorised one counts, and a stored authorised copy is
  // not replaced by a weaker one. Several texts for one identifier (a
  // document and its cancellation event or voiding) are delivered one at a
  // time, document first (see ProximoTexto): a batch stores at most one of
  // them, so each reaches the portal once and the row ends with the
  // event's text. Any failure rolls the whole batch back and is raised
  // again. Items collected without their text (see TXmlRow) get it from
  // `AFonte` only when it must be written; one whose text cannot be had is
  // left out of this batch.
  // Returns how many identifiers the batch left short of their last text
  // (an event waiting for its document's delivery).
  int UpsertEmLote(const TXmlRowArray& AItens, const std::string& CNPJ,
                   TFonteDeTextos* AFonte = nullptr);

  // Up to 100 pending rows of every CNPJ: never tried first, then the least
  // recently tried, then oldest, so documents that keep failing cannot
  // starve the others.
  std::vector<TQueueItem> ListarPendentes();

  // True when some row of any CNPJ is waiting to be sent.
  bool TemPendentes();

  // Read from an index, never the text.
  std::optional<std::string> HashGravado(std::string_view CNPJ,
                                         std::string_view ChaveUnica) override;
  // In a temporary table, which SQLite keeps in a file of its own that
  // goes when the connection closes.
  void GuardarTexto(const std::string& Hash, std::string_view XML) override;
  std::optional<std::string> TextoGuardado(const std::string& Hash) override;
  void DescartarTextos() override;

  void ParaCadaArquivo(const std::function<void(int64_t, const TArquivoConhecido&)>& Cada) override;
  std::optional<TArquivoConhecido> LerArquivo(int64_t Id) override;
  std::string LerDono() override;
  // Kept aside in a temporary table, as the collected texts are.
  int64_t GuardarLido(const TArquivoConhecido& a) override;
  void DescartarLidos() override;
  std::vector<int64_t> GravarArquivos(const std::vector<int64_t>& lidos,
                                      const std::vector<int64_t>& esquecer,
                                      const std::string& dono) override;

  // Marks the listed row (by its own CNPJ and identifier) as sent.
  void MarcarEnviado(const TQueueItem& Item);

  // Marks the row sent only while it still holds the item's text (its
  // fingerprint); false, changing nothing, when the text changed since.
  bool MarcarEnviadoSeInalterado(const TQueueItem& Item);

  // Records a failed attempt on the listed row and keeps `Erro` whole. A
  // rejection is counted, and the one that brings the count to the
  // configured MaxTentativas ends the row's retries ("falha_definitiva");
  // a transient failure (`Transitorio`) leaves the count and the row
  // pending.
  void MarcarErro(const TQueueItem& Item, const std::string& Erro, bool Transitorio);

  // Counts every row by state, overall and per CNPJ (not capped like
  // ListarPendentes), and lists the latest kMaxFalhasNoResumo definitive
  // failures.
  TResumoFila Resumo();

  // Every row's identifier and id (of every CNPJ and state), for the
  // numbering check: read from the unique index alone, never the texts.
  std::vector<TIdentificadorFila> ListarIdentificadores();
  // The same rows handed one at a time, none of them kept; `Cada` must not
  // use the queue.
  void ParaCadaIdentificador(const std::function<void(std::string_view, int64_t)>& Cada);

  // When the row `ID` entered the queue, Unix seconds; 0 for no such row.
  int64_t EntradaNaFila(int64_t ID);

  // The highest row id, 0 for an empty queue. The queue never deletes a
  // row nor changes its identifier or entry time, and ids only grow: while
  // this stands, ListarIdentificadores and EntradaNaFila answer the same.
  int64_t UltimoID();

  // Puts the definitive failures among `Chaves` (identifiers of any CNPJ;
  // all of them when empty) back to "pendente" with no attempts counted.
  // Returns how many rows changed; other rows and unknown keys are left
  // alone. One transaction.
  int Reenfileirar(const std::vector<std::string>& Chaves);

  // The fingerprint of the delivery settings recorded by the last run
  // (nullopt before the first record), and its replacement.
  std::optional<std::string> LerImpressaoConfig();
  void GravarImpressaoConfig(const std::string& Impressao);

  const std::string& SQLitePath() const { return FSQLitePath; }

  // The queue's own connection, for inspection by tests and tools: no other
  // connection can read the file while the queue holds it.
  TSqliteConnection& Connection() { return FConn; }

 private:
  // The stored fingerprint and state of a row, if there is one.
  std::optional<std::pair<std::string, std::string>> LerEstado(std::string_view CNPJ,
                                                               std::string_view ChaveUnica);
  // The stored text of a row, if there is one.
  std::optional<std::string> LerXml(std::string_view CNPJ, std::string_view ChaveUnica);
  // UpsertXML for a batch item with the given fingerprint.
  void GravarItem(std::string_view CNPJ, const TXmlRow& Item, const std::string& Hash,
                  TFonteDeTextos* Fonte);
  // Updates the row (`Existe`) or inserts it, with the text pending.
  void Escrever(bool Existe, std::string_view CNPJ, std::string_view ChaveUnica,
                std::string_view XML, std::string_view Hash);
  void Transacao(const std::function<void()>& body);
  // The temporary table of the records kept aside, and its statements.
  void PrepararLidos();

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
  TSqliteStatement FReenfileirarChave;
  TSqliteStatement FReenfileirarTodas;
  TSqliteStatement FBegin;
  TSqliteStatement FCommit;
  TSqliteStatement FRollback;
  TSqliteStatement FTemPendentes;
  TSqliteStatement FListarArquivos;
  // Prepared on first use (PrepararLidos).
  TSqliteStatement FGravarArquivo;
  TSqliteStatement FGuardarLido;
  TSqliteStatement FEsquecerArquivo;
  TSqliteStatement FLerArquivo;  // prepared on first use
  TSqliteStatement FEntrada;     // prepared on first use
  // The kept texts' statements, prepared on first use.
  TSqliteStatement FGuardarTexto;
  TSqliteStatement FTextoGuardado;
  TSqliteStatement FDescartarTextos;
};

}  // namespace lumacor

#endif  // LUMACOR_QUEUE_LOCALQUEUE_H_
