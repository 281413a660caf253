#include "queue/LocalQueue.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_set>

#include "collect/NFeValidator.h"
#include "common/Text.h"
#include "config/Config.h"
#include "platform/Process.h"
#include "queue/HashService.h"

namespace lumacor {

namespace {

// Queue files already in use were made and are read by these texts: keep
// the schema, the states and the statements as they are.
constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS sync_xml ("
    "  id           INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  cnpj         TEXT NOT NULL,"
    "  chave_unica  TEXT NOT NULL,"
    "  xml          TEXT NOT NULL,"
    "  xml_hash     TEXT NOT NULL,"
    "  sincronizado INTEGER NOT NULL DEFAULT 0,"
    "  status_envio TEXT NOT NULL DEFAULT 'pendente',"
    "  tentativas   INTEGER NOT NULL DEFAULT 0,"
    "  ultimo_erro  TEXT,"
    "  created_at   DATETIME DEFAULT CURRENT_TIMESTAMP,"
    "  updated_at   DATETIME DEFAULT CURRENT_TIMESTAMP,"
    "  last_try_at  DATETIME,"
    "  UNIQUE(cnpj, chave_unica))";

constexpr const char* kCreateIndex =
    "CREATE INDEX IF NOT EXISTS idx_sync_pendente ON sync_xml(status_envio, tentativas)";

constexpr const char* kSelect =
    "SELECT xml_hash, status_envio FROM sync_xml WHERE cnpj = :cnpj AND chave_unica = :chave";

constexpr const char* kSelectXml =
    "SELECT xml FROM sync_xml WHERE cnpj = :cnpj AND chave_unica = :chave";

constexpr const char* kInsert =
    "INSERT INTO sync_xml (cnpj, chave_unica, xml, xml_hash, sincronizado, status_envio) "
    "VALUES (:cnpj, :chave, :xml, :hash, 0, 'pendente')";

constexpr const char* kUpdate =
    "UPDATE sync_xml SET xml = :xml, xml_hash = :hash, sincronizado = 0,     "
    "status_envio = 'pendente', tentativas = 0,     "
    "updated_at = CURRENT_TIMESTAMP WHERE cnpj = :cnpj AND chave_unica = :chave";

// Fewest attempts first: rows that keep failing transiently must not take
// every one of the 100 slots. With no failures this is oldest first.
constexpr const char* kListar =
    "SELECT id, cnpj, chave_unica, xml, xml_hash, tentativas, ultimo_erro FROM sync_xml "
    "WHERE sincronizado = 0 AND status_envio = 'pendente' "
    "ORDER BY tentativas ASC, id ASC LIMIT 100";

constexpr const char* kEnviado =
    "UPDATE sync_xml SET sincronizado = 1, status_envio = 'enviado',     "
    "ultimo_erro = NULL, updated_at = CURRENT_TIMESTAMP "
    "WHERE cnpj = :cnpj AND chave_unica = :chave";

constexpr const char* kErro =
    "UPDATE sync_xml SET tentativas   = tentativas + 1,     ultimo_erro  = :erro,     "
    "last_try_at  = CURRENT_TIMESTAMP,     updated_at   = CURRENT_TIMESTAMP,     "
    "status_envio = CASE WHEN tentativas + 1 >= :max                    "
    "THEN 'falha_definitiva' ELSE 'pendente' END "
    "WHERE cnpj = :cnpj AND chave_unica = :chave";

// A transient failure is counted like any other but never ends retries.
constexpr const char* kErroTransitorio =
    "UPDATE sync_xml SET tentativas   = tentativas + 1,     ultimo_erro  = :erro,     "
    "last_try_at  = CURRENT_TIMESTAMP,     updated_at   = CURRENT_TIMESTAMP,     "
    "status_envio = 'pendente' "
    "WHERE cnpj = :cnpj AND chave_unica = :chave";

struct Pragma {
  const char* name;
  const char* value;
};

// Full sync: this agent runs unattended on office machines, where a power
// cut with synchronous off can corrupt the whole file.
constexpr Pragma kPragmas[] = {
    {"cache_size", "10000"},    {"locking_mode", "Exclusive"}, {"synchronous", "Full"},
    {"journal_mode", "Delete"}, {"foreign_keys", "On"},
};

int32_t ConfiguredMaxTentativas() {
  if (GConfigManager == nullptr) throw std::logic_error("configuracao nao carregada");
  return GConfigManager->Config().MaxTentativas;
}

// Where a text goes among the texts of its identifier: by priority (a
// document before its event or voiding), then, of equal priority, the copy
// that proves more comes later, so that the authorised copy wins over the
// signed one and the signed one over a draft, whatever the listing order.
struct OrdemDoTexto {
  int prioridade;
  int forca;
  bool operator<(const OrdemDoTexto& o) const {
    return prioridade != o.prioridade ? prioridade < o.prioridade : forca < o.forca;
  }
};

OrdemDoTexto OrdemDe(std::string_view xml) {
  return {TNFeValidator::GetPrioridadeFila(xml), TNFeValidator::GetForcaCopia(xml)};
}

// A stored authorised copy is kept against a weaker copy of the same
// document (same priority), such as the signed file an ERP keeps beside it.
bool MantemCopiaAutorizada(std::string_view guardado, std::string_view novo) {
  if (TNFeValidator::GetForcaCopia(novo) == TNFeValidator::kCopiaAutorizada) return false;
  if (TNFeValidator::GetForcaCopia(guardado) != TNFeValidator::kCopiaAutorizada) return false;
  return TNFeValidator::GetPrioridadeFila(guardado) == TNFeValidator::GetPrioridadeFila(novo);
}

// The batch in application order: by identifier (ASCII case ignored), a
// document before the event or voiding with its identifier, and of equal
// identifiers only the last, which is the text the row would end with
// anyway. Applying each of them in turn would rewrite the row twice per
// batch and re-queue it at every cycle.
std::vector<const TXmlRow*> OrdemDeAplicacao(const TXmlRowArray& itens) {
  std::vector<const TXmlRow*> ordem;
  ordem.reserve(itens.size());
  for (const TXmlRow& item : itens) ordem.push_back(&item);
  std::stable_sort(ordem.begin(), ordem.end(), [](const TXmlRow* a, const TXmlRow* b) {
    return CompareIgnoreAsciiCase(a->ChaveUnica, b->ChaveUnica) < 0;
  });

  // The priority only matters inside a run of equal identifiers; the
  // classifier is run only there.
  for (auto run = ordem.begin(); run != ordem.end();) {
    auto end = std::find_if(run + 1, ordem.end(), [&](const TXmlRow* r) {
      return CompareIgnoreAsciiCase(r->ChaveUnica, (*run)->ChaveUnica) != 0;
    });
    if (end - run > 1) {
      std::vector<std::pair<OrdemDoTexto, const TXmlRow*>> prioridades;
      for (auto it = run; it != end; ++it) prioridades.emplace_back(OrdemDe((*it)->XML), *it);
      std::stable_sort(prioridades.begin(), prioridades.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      for (size_t i = 0; i < prioridades.size(); ++i) run[i] = prioridades[i].second;
    }
    run = end;
  }

  // The row key compares identifiers exactly, so only exact equals collapse.
  std::vector<const TXmlRow*> ultimos;
  ultimos.reserve(ordem.size());
  std::unordered_set<std::string_view> vistos;
  for (auto it = ordem.rbegin(); it != ordem.rend(); ++it) {
    if (vistos.insert((*it)->ChaveUnica).second) ultimos.push_back(*it);
  }
  std::reverse(ultimos.begin(), ultimos.end());
  return ultimos;
}

}  // namespace

bool IsFalhaTransitoria(int32_t HTTPCode) {
  return HTTPCode == 0 || HTTPCode == 401 || HTTPCode == 403 || HTTPCode == 408 ||
         HTTPCode == 429 || (HTTPCode >= 500 && HTTPCode <= 599);
}

TLocalQueue::TLocalQueue(const std::string& ASQLitePath, FileSystem* fs)
    : FSQLitePath(ASQLitePath) {
  std::string folder = FolderOf(FSQLitePath);
  if (folder.empty()) {
    throw PlatformError("caminho do banco local sem pasta: '" + FSQLitePath + "'");
  }
  if (!fs->DirectoryExists(folder)) fs->CreateDirectories(folder);
  // SQLite would create it, and later its journal, readable by everyone.
  fs->CreatePrivateFile(FSQLitePath);

  FConn = TSqliteConnection::Open(FSQLitePath, kSqliteOpenReadWrite | kSqliteOpenCreate);
  // Only takes effect on a new file.
  FConn.Exec("PRAGMA encoding = \"UTF-8\"");
  for (const Pragma& p : kPragmas) {
    FConn.Exec(std::string("PRAGMA ") + p.name + " = " + p.value);
  }
  FConn.Exec(kCreateTable);
  FConn.Exec(kCreateIndex);

  FSelect = FConn.Prepare(kSelect);
  FSelectXml = FConn.Prepare(kSelectXml);
  FInsert = FConn.Prepare(kInsert);
  FUpdate = FConn.Prepare(kUpdate);
  FListar = FConn.Prepare(kListar);
  FEnviado = FConn.Prepare(kEnviado);
  FErro = FConn.Prepare(kErro);
  FErroTransitorio = FConn.Prepare(kErroTransitorio);
  FBegin = FConn.Prepare("BEGIN TRANSACTION");
  FCommit = FConn.Prepare("COMMIT");
  FRollback = FConn.Prepare("ROLLBACK");
}

bool TLocalQueue::UpsertXML(std::string_view CNPJ, std::string_view ChaveUnica,
                            std::string_view XML, std::string_view Hash) {
  bool found = false;
  bool sameHash = false;
  bool enviado = false;
  {
    TSqliteStatement::Run run(FSelect);
    FSelect.BindText(":cnpj", CNPJ);
    FSelect.BindText(":chave", ChaveUnica);
    if (FSelect.Step()) {
      found = true;
      sameHash = FSelect.ColumnText(0) == Hash;
      enviado = FSelect.ColumnText(1) == "enviado";
    }
  }
  if (found && sameHash) return !enviado;
  if (found && TNFeValidator::GetForcaCopia(XML) != TNFeValidator::kCopiaAutorizada) {
    TSqliteStatement::Run run(FSelectXml);
    FSelectXml.BindText(":cnpj", CNPJ);
    FSelectXml.BindText(":chave", ChaveUnica);
    if (FSelectXml.Step() && MantemCopiaAutorizada(FSelectXml.ColumnText(0), XML)) return !enviado;
  }

  TSqliteStatement& write = found ? FUpdate : FInsert;
  TSqliteStatement::Run run(write);
  write.BindText(":cnpj", CNPJ);
  write.BindText(":chave", ChaveUnica);
  write.BindText(":xml", XML);
  write.BindText(":hash", Hash);
  write.Step();
  return true;
}

void TLocalQueue::UpsertEmLote(const TXmlRowArray& AItens, const std::string& CNPJ) {
  std::vector<const TXmlRow*> ordem = OrdemDeAplicacao(AItens);
  {
    TSqliteStatement::Run run(FBegin);
    FBegin.Step();
  }
  try {
    for (const TXmlRow* item : ordem) {
      UpsertXML(CNPJ, item->ChaveUnica, item->XML, THashService::SHA256(item->XML));
    }
    TSqliteStatement::Run run(FCommit);
    FCommit.Step();
  } catch (...) {
    // SQLite may have rolled back already (a trigger's RAISE(ROLLBACK), a
    // full disk); a second rollback would only hide the real error.
    if (!FConn.AutoCommit()) {
      TSqliteStatement::Run run(FRollback);
      FRollback.Step();  // its own failure replaces the first
    }
    throw;
  }
}

std::vector<TQueueItem> TLocalQueue::ListarPendentes() {
  std::vector<TQueueItem> itens;
  TSqliteStatement::Run run(FListar);
  while (FListar.Step()) {
    TQueueItem item;
    item.ID = static_cast<int32_t>(FListar.ColumnInt(0));
    item.CNPJ = FListar.ColumnText(1);
    item.ChaveUnica = FListar.ColumnText(2);
    item.XML = FListar.ColumnText(3);
    item.XMLHash = FListar.ColumnText(4);
    item.Tentativas = static_cast<int32_t>(FListar.ColumnInt(5));
    item.UltimoErro = FListar.ColumnText(6);
    itens.push_back(std::move(item));
  }
  return itens;
}

void TLocalQueue::MarcarEnviado(const TQueueItem& Item) {
  TSqliteStatement::Run run(FEnviado);
  FEnviado.BindText(":cnpj", Item.CNPJ);
  FEnviado.BindText(":chave", Item.ChaveUnica);
  FEnviado.Step();
}

void TLocalQueue::MarcarErro(const TQueueItem& Item, const std::string& Erro, bool Transitorio) {
  TSqliteStatement& stmt = Transitorio ? FErroTransitorio : FErro;
  TSqliteStatement::Run run(stmt);
  stmt.BindText(":erro", Erro);
  if (!Transitorio) stmt.BindInt(":max", ConfiguredMaxTentativas());
  stmt.BindText(":cnpj", Item.CNPJ);
  stmt.BindText(":chave", Item.ChaveUnica);
  stmt.Step();
}

}  // namespace lumacor
