#include "queue/LocalQueue.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>

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

// The sending order (below) read straight from an index, so that listing
// 100 rows does not sort every pending document, text and all. Added to
// older files on their first open.
constexpr const char* kCreateIndexOrdem =
    "CREATE INDEX IF NOT EXISTS idx_sync_ordem_envio ON sync_xml(status_envio, last_try_at)";

// The stored fingerprint and state of a row read from an index: in the
// table they follow the text, whose overflow pages SQLite would otherwise
// walk for every document of every cycle. Added to older files on their
// first open.
constexpr const char* kCreateIndexEstado =
    "CREATE INDEX IF NOT EXISTS idx_sync_estado "
    "ON sync_xml(cnpj, chave_unica, xml_hash, status_envio)";

// The planner would take the unique index, and then the table.
constexpr const char* kSelect =
    "SELECT xml_hash, status_envio FROM sync_xml INDEXED BY idx_sync_estado "
    "WHERE cnpj = :cnpj AND chave_unica = :chave";

constexpr const char* kSelectXml =
    "SELECT xml FROM sync_xml WHERE cnpj = :cnpj AND chave_unica = :chave";

constexpr const char* kInsert =
    "INSERT INTO sync_xml (cnpj, chave_unica, xml, xml_hash, sincronizado, status_envio) "
    "VALUES (:cnpj, :chave, :xml, :hash, 0, 'pendente')";

constexpr const char* kUpdate =
    "UPDATE sync_xml SET xml = :xml, xml_hash = :hash, sincronizado = 0,     "
    "status_envio = 'pendente', tentativas = 0,     "
    "updated_at = CURRENT_TIMESTAMP WHERE cnpj = :cnpj AND chave_unica = :chave";

// Never tried first (NULL sorts first), then the least recently tried:
// rows that keep failing must not stay first in line. With no failures this
// is oldest first.
constexpr const char* kListar =
    "SELECT id, cnpj, chave_unica, xml, xml_hash, tentativas, ultimo_erro FROM sync_xml "
    "WHERE sincronizado = 0 AND status_envio = 'pendente' "
    "ORDER BY last_try_at ASC, id ASC LIMIT 100";

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

// A transient failure is recorded but not counted: an outage must not use
// up the attempts that only rejections may end.
constexpr const char* kErroTransitorio =
    "UPDATE sync_xml SET ultimo_erro  = :erro,     "
    "last_try_at  = CURRENT_TIMESTAMP,     updated_at   = CURRENT_TIMESTAMP,     "
    "status_envio = 'pendente' "
    "WHERE cnpj = :cnpj AND chave_unica = :chave";

// The status figures read from indexes alone: counts by CNPJ and state,
// and the latest delivery and failures, without reading every document's
// text each cycle. Added to older files on their first open.
constexpr const char* kCreateIndexCnpjStatus =
    "CREATE INDEX IF NOT EXISTS idx_sync_cnpj_status ON sync_xml(cnpj, status_envio)";
constexpr const char* kCreateIndexStatusData =
    "CREATE INDEX IF NOT EXISTS idx_sync_status_data ON sync_xml(status_envio, updated_at)";

// The oldest pending row's entry time read from an index: created_at lies
// after the text, so without it every pending row's overflow pages are
// walked at each status write. Added to older files on their first open.
constexpr const char* kCreateIndexPendenteEntrada =
    "CREATE INDEX IF NOT EXISTS idx_sync_pendente_entrada ON sync_xml(status_envio, created_at)";

// The delivery settings of the last run, as a fingerprint (never the token
// itself): one row. A table of its own, so older agents ignore it.
constexpr const char* kCreateConfig =
    "CREATE TABLE IF NOT EXISTS config_envio ("
    "  id         INTEGER PRIMARY KEY CHECK (id = 1),"
    "  impressao  TEXT NOT NULL,"
    "  updated_at DATETIME DEFAULT CURRENT_TIMESTAMP)";

constexpr const char* kReenfileirarChave =
    "UPDATE sync_xml SET status_envio = 'pendente', tentativas = 0, sincronizado = 0,     "
    "updated_at = CURRENT_TIMESTAMP "
    "WHERE status_envio = 'falha_definitiva' AND chave_unica = :chave";

constexpr const char* kReenfileirarTodas =
    "UPDATE sync_xml SET status_envio = 'pendente', tentativas = 0, sincronizado = 0,     "
    "updated_at = CURRENT_TIMESTAMP WHERE status_envio = 'falha_definitiva'";

// What the folder scans learned about each file, so that an unchanged file
// is not read again. A table of its own: sync_xml keeps its schema, and
// losing this one costs only one full read of the folders. The records a
// scan read wait in a temporary table of the same columns (below).
#define LUMACOR_ARQUIVO_COLUNAS_DEF \
  "  tamanho     INTEGER NOT NULL," \
  "  mtime_s     INTEGER NOT NULL," \
  "  mtime_ns    INTEGER NOT NULL," \
  "  ctime_s     INTEGER NOT NULL," \
  "  ctime_ns    INTEGER NOT NULL," \
  "  dispositivo INTEGER NOT NULL," \
  "  inode       INTEGER NOT NULL," \
  "  resultado   INTEGER NOT NULL," \
  "  chave       TEXT NOT NULL,"    \
  "  xml_hash    TEXT NOT NULL,"    \
  "  prioridade  INTEGER NOT NULL," \
  "  forca       INTEGER NOT NULL," \
  "  homologacao INTEGER NOT NULL," \
  "  tipo        INTEGER NOT NULL)"
#define LUMACOR_ARQUIVO_COLUNAS                                                             \
  "caminho, tamanho, mtime_s, mtime_ns, ctime_s, ctime_ns, dispositivo, inode, resultado, " \
  "chave, xml_hash, prioridade, forca, homologacao, tipo"

constexpr const char* kCreateArquivos =
    "CREATE TABLE IF NOT EXISTS sync_arquivo ("
    "  caminho     TEXT PRIMARY KEY," LUMACOR_ARQUIVO_COLUNAS_DEF;

constexpr const char* kListarArquivos =
    "SELECT " LUMACOR_ARQUIVO_COLUNAS ", rowid FROM sync_arquivo";

constexpr const char* kLerArquivo =
    "SELECT " LUMACOR_ARQUIVO_COLUNAS " FROM sync_arquivo WHERE rowid = :id";

// What a scan read, kept aside (out of the process's memory) until its rows
// are queued; the temporary database is a file of SQLite's own that goes
// with the connection.
constexpr const char* kCreateLidos =
    "CREATE TEMP TABLE IF NOT EXISTS arquivos_lidos ("
    "  caminho     TEXT NOT NULL," LUMACOR_ARQUIVO_COLUNAS_DEF;

constexpr const char* kGuardarLido =
    "INSERT INTO temp.arquivos_lidos (" LUMACOR_ARQUIVO_COLUNAS
    ") "
    "VALUES (:caminho, :tamanho, :mtime_s, :mtime_ns, :ctime_s, :ctime_ns, :dispositivo, "
    ":inode, :resultado, :chave, :hash, :prioridade, :forca, :homologacao, :tipo) RETURNING rowid";

// A record keeps its id when its file is read again, so the collector can
// name it by id alone.
constexpr const char* kGravarArquivo =
    "INSERT INTO sync_arquivo (" LUMACOR_ARQUIVO_COLUNAS
    ") "
    "SELECT " LUMACOR_ARQUIVO_COLUNAS
    " FROM temp.arquivos_lidos WHERE rowid = :id "
    "ON CONFLICT (caminho) DO UPDATE SET tamanho = excluded.tamanho, "
    "mtime_s = excluded.mtime_s, mtime_ns = excluded.mtime_ns, ctime_s = excluded.ctime_s, "
    "ctime_ns = excluded.ctime_ns, dispositivo = excluded.dispositivo, inode = excluded.inode, "
    "resultado = excluded.resultado, chave = excluded.chave, xml_hash = excluded.xml_hash, "
    "prioridade = excluded.prioridade, forca = excluded.forca, "
    "homologacao = excluded.homologacao, tipo = excluded.tipo RETURNING rowid";

#undef LUMACOR_ARQUIVO_COLUNAS
#undef LUMACOR_ARQUIVO_COLUNAS_DEF

// The CNPJ those records were queued under (one row).
constexpr const char* kCreateArquivosDono =
    "CREATE TABLE IF NOT EXISTS sync_arquivo_dono ("
    "  id   INTEGER PRIMARY KEY CHECK (id = 1),"
    "  cnpj TEXT NOT NULL)";

constexpr const char* kEsquecerArquivo = "DELETE FROM sync_arquivo WHERE rowid = :id";

constexpr const char* kTemPendentes =
    "SELECT 1 FROM sync_xml WHERE sincronizado = 0 AND status_envio = 'pendente' LIMIT 1";

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

// SQLite's heap for the whole process, in bytes: a first cycle over a
// large archive took no longer with it than with the cache's 40 MB.
constexpr int64_t kLimiteHeapSqlite = 8 * 1024 * 1024;

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

// A collector that classified the text already says so (TXmlRow::Hash).
bool Classificado(const TXmlRow& item) { return !item.Hash.empty(); }

OrdemDoTexto OrdemDe(const TXmlRow& item) {
  if (Classificado(item)) return {item.Prioridade, item.Forca};
  const TClassificacao c = TNFeValidator::Classificar(item.XML);
  return {c.PrioridadeFila, c.ForcaCopia};
}

std::string HashDe(const TXmlRow& item) {
  return Classificado(item) ? item.Hash : THashService::SHA256(item.XML);
}

// A stored authorised copy is kept against a weaker copy of the same
// document (same priority), such as the signed file an ERP keeps beside it.
bool MantemCopiaAutorizada(std::string_view guardado, const OrdemDoTexto& novo) {
  if (novo.forca == TNFeValidator::kCopiaAutorizada) return false;
  const TClassificacao c = TNFeValidator::Classificar(guardado);
  return c.ForcaCopia == TNFeValidator::kCopiaAutorizada && c.PrioridadeFila == novo.prioridade;
}

// The batch in application order: by identifier (ASCII case ignored), and
// within one identifier a document before the event or voiding that shares
// it and, of equal priority, a weaker copy before an authorised one. Each
// item comes with its place ({0, 0} where it was not needed).
std::vector<std::pair<OrdemDoTexto, const TXmlRow*>> OrdemDeAplicacao(const TXmlRowArray& itens) {
  // Sorted by the identifiers folded to lower case once, not by folding
  // them at every comparison: the same order, at a fraction of the cost
  // over an archive of thousands. Only identifiers with capitals are
  // copied to fold them (access keys are digits): a first run over a whole
  // archive must not hold a second copy of every one.
  std::deque<std::string> dobradas;
  std::vector<std::pair<std::string_view, const TXmlRow*>> ordem;
  ordem.reserve(itens.size());
  for (const TXmlRow& item : itens) {
    std::string_view chave = item.ChaveUnica;
    if (std::any_of(chave.begin(), chave.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
      chave = dobradas.emplace_back(AsciiLowerCopy(chave));
    }
    ordem.emplace_back(chave, &item);
  }
  std::stable_sort(ordem.begin(), ordem.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  std::vector<std::pair<OrdemDoTexto, const TXmlRow*>> resultado;
  resultado.reserve(ordem.size());
  // The priority only matters inside a run of equal identifiers; the
  // classifier is run only there.
  for (auto run = ordem.begin(); run != ordem.end();) {
    auto end =
        std::find_if(run + 1, ordem.end(), [&](const auto& r) { return r.first != run->first; });
    size_t inicio = resultado.size();
    for (auto it = run; it != end; ++it) {
      resultado.emplace_back(end - run > 1 ? OrdemDe(*it->second) : OrdemDoTexto{0, 0}, it->second);
    }
    std::stable_sort(resultado.begin() + static_cast<std::ptrdiff_t>(inicio), resultado.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    run = end;
  }
  return resultado;
}

// The texts of each identifier in the order they are to reach the portal,
// one per priority: of several texts with one identifier and one priority
// only the last in application order counts, as it is the one the row
// would end with. The row key compares identifiers exactly, so only exact
// equals share a sequence. Kept flat, sequence after sequence: a first run
// stores a whole archive, one text per identifier.
struct TSequencias {
  std::vector<const TXmlRow*> itens;
  std::vector<size_t> inicios;  // where each sequence starts in itens

  size_t size() const { return inicios.size(); }
  std::span<const TXmlRow* const> operator[](size_t i) const {
    size_t fim = i + 1 < inicios.size() ? inicios[i + 1] : itens.size();
    return std::span<const TXmlRow* const>(itens).subspan(inicios[i], fim - inicios[i]);
  }
};

TSequencias SequenciasDeEntrega(const TXmlRowArray& itens) {
  TSequencias sequencias;
  std::vector<std::pair<OrdemDoTexto, const TXmlRow*>> ordem = OrdemDeAplicacao(itens);
  sequencias.itens.reserve(ordem.size());
  sequencias.inicios.reserve(ordem.size());
  // Identifiers equal but for case fall in one run of the order, and exact
  // equals only within one: each run is grouped on its own.
  struct Grupo {
    std::vector<const TXmlRow*> textos;
    int ultima_prioridade;
  };
  std::vector<Grupo> grupos;
  for (size_t run = 0; run < ordem.size();) {
    size_t end = run + 1;
    while (end < ordem.size() &&
           EqualsIgnoreAsciiCase(ordem[end].second->ChaveUnica, ordem[run].second->ChaveUnica)) {
      ++end;
    }
    if (end - run == 1) {
      sequencias.inicios.push_back(sequencias.itens.size());
      sequencias.itens.push_back(ordem[run].second);
      run = end;
      continue;
    }
    grupos.clear();
    for (size_t k = run; k < end; ++k) {
      const OrdemDoTexto& o = ordem[k].first;
      const TXmlRow* item = ordem[k].second;
      auto g = std::find_if(grupos.begin(), grupos.end(), [&](const Grupo& x) {
        return x.textos.front()->ChaveUnica == item->ChaveUnica;
      });
      if (g == grupos.end()) {
        grupos.push_back({{item}, o.prioridade});
        continue;
      }
      if (g->ultima_prioridade == o.prioridade) {
        g->textos.back() = item;
      } else {
        g->textos.push_back(item);
      }
      g->ultima_prioridade = o.prioridade;
    }
    for (const Grupo& g : grupos) {
      sequencias.inicios.push_back(sequencias.itens.size());
      sequencias.itens.insert(sequencias.itens.end(), g.textos.begin(), g.textos.end());
    }
    run = end;
  }
  return sequencias;
}

}  // namespace

int ProximoTexto(const std::vector<std::string>& Hashes, const std::string* HashGravado,
                 const std::string* StatusGravado) {
  if (HashGravado == nullptr) return 0;
  auto it = std::find(Hashes.begin(), Hashes.end(), *HashGravado);
  if (it == Hashes.end()) return 0;  // a text the portal has not had: start over
  int i = static_cast<int>(it - Hashes.begin());
  if (i + 1 == static_cast<int>(Hashes.size())) return -1;  // already the last
  bool concluido = *StatusGravado == "enviado" || *StatusGravado == "falha_definitiva";
  return concluido ? i + 1 : -1;  // the next one once this one is done
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
  // The page cache above may hold 40 MB; past this SQLite reuses its pages
  // (and writes a batch's dirty ones early) rather than grow the heap. Only
  // memory changes: every statement gives the same results.
  FConn.Exec(std::string("PRAGMA soft_heap_limit = ") + std::to_string(kLimiteHeapSqlite));
  FConn.Exec(kCreateTable);
  FConn.Exec(kCreateIndex);
  FConn.Exec(kCreateIndexOrdem);
  FConn.Exec(kCreateIndexEstado);
  FConn.Exec(kCreateArquivos);
  FConn.Exec(kCreateArquivosDono);
  FConn.Exec(kCreateIndexCnpjStatus);
  FConn.Exec(kCreateIndexStatusData);
  FConn.Exec(kCreateIndexPendenteEntrada);
  FConn.Exec(kCreateConfig);
  // In exclusive locking mode the lock taken here is kept until close: a
  // second process (/status, /reenviar) finds the file busy at once, not
  // only after this one's first write.
  FConn.Exec("BEGIN EXCLUSIVE");
  FConn.Exec("COMMIT");

  FSelect = FConn.Prepare(kSelect);
  FSelectXml = FConn.Prepare(kSelectXml);
  FInsert = FConn.Prepare(kInsert);
  FUpdate = FConn.Prepare(kUpdate);
  FListar = FConn.Prepare(kListar);
  FEnviado = FConn.Prepare(kEnviado);
  FErro = FConn.Prepare(kErro);
  FErroTransitorio = FConn.Prepare(kErroTransitorio);
  FReenfileirarChave = FConn.Prepare(kReenfileirarChave);
  FReenfileirarTodas = FConn.Prepare(kReenfileirarTodas);
  FBegin = FConn.Prepare("BEGIN TRANSACTION");
  FCommit = FConn.Prepare("COMMIT");
  FRollback = FConn.Prepare("ROLLBACK");
  FTemPendentes = FConn.Prepare(kTemPendentes);
  FListarArquivos = FConn.Prepare(kListarArquivos);
  FEsquecerArquivo = FConn.Prepare(kEsquecerArquivo);
}

std::optional<std::pair<std::string, std::string>> TLocalQueue::LerEstado(
    std::string_view CNPJ, std::string_view ChaveUnica) {
  TSqliteStatement::Run run(FSelect);
  FSelect.BindText(":cnpj", CNPJ);
  FSelect.BindText(":chave", ChaveUnica);
  if (!FSelect.Step()) return std::nullopt;
  return std::make_pair(FSelect.ColumnText(0), FSelect.ColumnText(1));
}

std::optional<std::string> TLocalQueue::HashGravado(std::string_view CNPJ,
                                                    std::string_view ChaveUnica) {
  std::optional<std::pair<std::string, std::string>> estado = LerEstado(CNPJ, ChaveUnica);
  if (!estado) return std::nullopt;
  return std::move(estado->first);
}

void TLocalQueue::GuardarTexto(const std::string& Hash, std::string_view XML) {
  if (!FGuardarTexto.valid()) {
    FConn.Exec(
        "CREATE TEMP TABLE IF NOT EXISTS textos_coletados ("
        "  xml_hash TEXT PRIMARY KEY,"
        "  xml      TEXT NOT NULL)");
    FGuardarTexto = FConn.Prepare(
        "INSERT OR IGNORE INTO temp.textos_coletados (xml_hash, xml) VALUES (:hash, :xml)");
  }
  TSqliteStatement::Run run(FGuardarTexto);
  FGuardarTexto.BindText(":hash", Hash);
  FGuardarTexto.BindText(":xml", XML);
  FGuardarTexto.Step();
}

std::optional<std::string> TLocalQueue::TextoGuardado(const std::string& Hash) {
  if (!FGuardarTexto.valid()) return std::nullopt;
  if (!FTextoGuardado.valid()) {
    FTextoGuardado = FConn.Prepare("SELECT xml FROM temp.textos_coletados WHERE xml_hash = :hash");
  }
  TSqliteStatement::Run run(FTextoGuardado);
  FTextoGuardado.BindText(":hash", Hash);
  if (!FTextoGuardado.Step()) return std::nullopt;
  return FTextoGuardado.ColumnText(0);
}

void TLocalQueue::DescartarTextos() {
  if (!FGuardarTexto.valid()) return;
  if (!FDescartarTextos.valid()) {
    FDescartarTextos = FConn.Prepare("DELETE FROM temp.textos_coletados");
  }
  TSqliteStatement::Run run(FDescartarTextos);
  FDescartarTextos.Step();
}

std::optional<std::string> TLocalQueue::LerXml(std::string_view CNPJ, std::string_view ChaveUnica) {
  TSqliteStatement::Run run(FSelectXml);
  FSelectXml.BindText(":cnpj", CNPJ);
  FSelectXml.BindText(":chave", ChaveUnica);
  if (!FSelectXml.Step()) return std::nullopt;
  return FSelectXml.ColumnText(0);
}

bool TLocalQueue::UpsertXML(std::string_view CNPJ, std::string_view ChaveUnica,
                            std::string_view XML, std::string_view Hash) {
  std::optional<std::pair<std::string, std::string>> gravado = LerEstado(CNPJ, ChaveUnica);
  bool found = gravado.has_value();
  if (found && gravado->first == Hash) return gravado->second != "enviado";
  if (found) {
    const TClassificacao c = TNFeValidator::Classificar(XML);
    if (c.ForcaCopia != TNFeValidator::kCopiaAutorizada) {
      std::optional<std::string> xml = LerXml(CNPJ, ChaveUnica);
      if (xml && MantemCopiaAutorizada(*xml, {c.PrioridadeFila, c.ForcaCopia})) {
        return gravado->second != "enviado";
      }
    }
  }

  Escrever(found, CNPJ, ChaveUnica, XML, Hash);
  return true;
}

void TLocalQueue::Escrever(bool Existe, std::string_view CNPJ, std::string_view ChaveUnica,
                           std::string_view XML, std::string_view Hash) {
  TSqliteStatement& write = Existe ? FUpdate : FInsert;
  TSqliteStatement::Run run(write);
  write.BindText(":cnpj", CNPJ);
  write.BindText(":chave", ChaveUnica);
  write.BindText(":xml", XML);
  write.BindText(":hash", Hash);
  write.Step();
}

void TLocalQueue::GravarItem(std::string_view CNPJ, const TXmlRow& Item, const std::string& Hash,
                             TFonteDeTextos* Fonte) {
  if (!Classificado(Item)) {
    UpsertXML(CNPJ, Item.ChaveUnica, Item.XML, Hash);
    return;
  }
  // The same decisions as UpsertXML, from what the collector learned: the
  // text is fetched only for a row that is written.
  std::optional<std::pair<std::string, std::string>> gravado = LerEstado(CNPJ, Item.ChaveUnica);
  bool found = gravado.has_value();
  if (found && gravado->first == Hash) return;
  if (found && Item.Forca != TNFeValidator::kCopiaAutorizada) {
    std::optional<std::string> xml = LerXml(CNPJ, Item.ChaveUnica);
    if (xml && MantemCopiaAutorizada(*xml, OrdemDe(Item))) return;
  }
  std::string_view texto = Item.XML;
  std::optional<std::string> lido;
  if (texto.empty()) {
    if (Fonte != nullptr) lido = Fonte->TextoDe(Item);
    if (!lido) return;
    texto = *lido;
  }
  Escrever(found, CNPJ, Item.ChaveUnica, texto, Hash);
}

void TLocalQueue::Transacao(const std::function<void()>& body) {
  {
    TSqliteStatement::Run run(FBegin);
    FBegin.Step();
  }
  try {
    body();
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

int TLocalQueue::UpsertEmLote(const TXmlRowArray& AItens, const std::string& CNPJ,
                              TFonteDeTextos* AFonte) {
  const TSequencias sequencias = SequenciasDeEntrega(AItens);
  int em_espera = 0;
  Transacao([&] {
    for (size_t s = 0; s < sequencias.size(); ++s) {
      std::span<const TXmlRow* const> seq = sequencias[s];
      if (seq.size() == 1) {
        GravarItem(CNPJ, *seq[0], HashDe(*seq[0]), AFonte);
        continue;
      }
      // Several texts for one identifier (an NF-e and its cancellation):
      // the portal needs each, in order, so they are stored one at a time.
      std::vector<std::string> hashes;
      hashes.reserve(seq.size());
      for (const TXmlRow* item : seq) hashes.push_back(HashDe(*item));
      std::optional<std::pair<std::string, std::string>> gravado =
          LerEstado(CNPJ, seq[0]->ChaveUnica);
      if (gravado && std::find(hashes.begin(), hashes.end(), gravado->first) == hashes.end()) {
        // A stored authorised copy stands for a weaker copy of the same
        // text in the batch, or the sequence would never get past it.
        std::optional<std::string> xml = LerXml(CNPJ, seq[0]->ChaveUnica);
        for (size_t j = 0; xml && j < seq.size(); ++j) {
          if (MantemCopiaAutorizada(*xml, OrdemDe(*seq[j]))) hashes[j] = gravado->first;
        }
      }
      int i = ProximoTexto(hashes, gravado ? &gravado->first : nullptr,
                           gravado ? &gravado->second : nullptr);
      if (i >= 0) GravarItem(CNPJ, *seq[i], hashes[i], AFonte);
      // Where the row stands now; short of the last text, the rest follow
      // once this one is delivered.
      size_t agora =
          i >= 0 ? static_cast<size_t>(i)
                 : static_cast<size_t>(std::find(hashes.begin(), hashes.end(), gravado->first) -
                                       hashes.begin());
      if (agora + 1 < seq.size()) ++em_espera;
    }
  });
  return em_espera;
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

bool TLocalQueue::TemPendentes() {
  TSqliteStatement::Run run(FTemPendentes);
  return FTemPendentes.Step();
}

namespace {

// A record as kListarArquivos and kLerArquivo give it.
TArquivoConhecido ArquivoDe(TSqliteStatement& st) {
  TArquivoConhecido a;
  a.Caminho = st.ColumnText(0);
  a.Tamanho = st.ColumnInt(1);
  a.MtimeSegundos = st.ColumnInt(2);
  a.MtimeNanos = st.ColumnInt(3);
  a.CtimeSegundos = st.ColumnInt(4);
  a.CtimeNanos = st.ColumnInt(5);
  // Stored as the signed 64-bit integers SQLite has.
  a.Dispositivo = static_cast<uint64_t>(st.ColumnInt(6));
  a.Inode = static_cast<uint64_t>(st.ColumnInt(7));
  a.Resultado = static_cast<int>(st.ColumnInt(8));
  a.Chave = st.ColumnText(9);
  a.Hash = st.ColumnText(10);
  a.Prioridade = static_cast<int>(st.ColumnInt(11));
  a.Forca = static_cast<int>(st.ColumnInt(12));
  a.Homologacao = st.ColumnInt(13) != 0;
  a.Tipo = static_cast<int>(st.ColumnInt(14));
  return a;
}

}  // namespace

void TLocalQueue::ParaCadaArquivo(
    const std::function<void(int64_t, const TArquivoConhecido&)>& Cada) {
  TSqliteStatement::Run run(FListarArquivos);
  while (FListarArquivos.Step()) Cada(FListarArquivos.ColumnInt(15), ArquivoDe(FListarArquivos));
}

std::optional<TArquivoConhecido> TLocalQueue::LerArquivo(int64_t Id) {
  if (!FLerArquivo.valid()) FLerArquivo = FConn.Prepare(kLerArquivo);
  TSqliteStatement::Run run(FLerArquivo);
  FLerArquivo.BindInt(":id", Id);
  if (!FLerArquivo.Step()) return std::nullopt;
  return ArquivoDe(FLerArquivo);
}

std::string TLocalQueue::LerDono() {
  TSqliteStatement st = FConn.Prepare("SELECT cnpj FROM sync_arquivo_dono WHERE id = 1");
  return st.Step() ? st.ColumnText(0) : std::string();
}

void TLocalQueue::PrepararLidos() {
  if (FGuardarLido.valid()) return;
  FConn.Exec(kCreateLidos);
  FGravarArquivo = FConn.Prepare(kGravarArquivo);
  FGuardarLido = FConn.Prepare(kGuardarLido);
}

int64_t TLocalQueue::GuardarLido(const TArquivoConhecido& a) {
  PrepararLidos();
  TSqliteStatement::Run run(FGuardarLido);
  FGuardarLido.BindText(":caminho", a.Caminho);
  FGuardarLido.BindInt(":tamanho", a.Tamanho);
  FGuardarLido.BindInt(":mtime_s", a.MtimeSegundos);
  FGuardarLido.BindInt(":mtime_ns", a.MtimeNanos);
  FGuardarLido.BindInt(":ctime_s", a.CtimeSegundos);
  FGuardarLido.BindInt(":ctime_ns", a.CtimeNanos);
  FGuardarLido.BindInt(":dispositivo", static_cast<int64_t>(a.Dispositivo));
  FGuardarLido.BindInt(":inode", static_cast<int64_t>(a.Inode));
  FGuardarLido.BindInt(":resultado", a.Resultado);
  FGuardarLido.BindText(":chave", a.Chave);
  FGuardarLido.BindText(":hash", a.Hash);
  FGuardarLido.BindInt(":prioridade", a.Prioridade);
  FGuardarLido.BindInt(":forca", a.Forca);
  FGuardarLido.BindInt(":homologacao", a.Homologacao ? 1 : 0);
  FGuardarLido.BindInt(":tipo", a.Tipo);
  if (!FGuardarLido.Step()) throw SqliteError(0, "arquivos_lidos: registro guardado sem id");
  return FGuardarLido.ColumnInt(0);
}

void TLocalQueue::DescartarLidos() {
  if (!FGuardarLido.valid()) return;
  FConn.Exec("DELETE FROM temp.arquivos_lidos");
}

std::vector<int64_t> TLocalQueue::GravarArquivos(const std::vector<int64_t>& lidos,
                                                 const std::vector<int64_t>& esquecer,
                                                 const std::string& dono) {
  std::vector<int64_t> ids;
  if (lidos.empty() && esquecer.empty() && dono == LerDono()) {
    DescartarLidos();
    return ids;
  }
  PrepararLidos();
  Transacao([&] {
    ids.clear();
    ids.reserve(lidos.size());
    {
      TSqliteStatement st =
          FConn.Prepare("INSERT OR REPLACE INTO sync_arquivo_dono (id, cnpj) VALUES (1, :cnpj)");
      st.BindText(":cnpj", dono);
      st.Step();
    }
    for (int64_t id : esquecer) {
      TSqliteStatement::Run run(FEsquecerArquivo);
      FEsquecerArquivo.BindInt(":id", id);
      FEsquecerArquivo.Step();
    }
    for (int64_t lido : lidos) {
      TSqliteStatement::Run run(FGravarArquivo);
      FGravarArquivo.BindInt(":id", lido);
      if (!FGravarArquivo.Step()) {
        throw SqliteError(
            0, Format("arquivos_lidos: registro %lld ausente", static_cast<long long>(lido)));
      }
      ids.push_back(FGravarArquivo.ColumnInt(0));
    }
  });
  DescartarLidos();
  return ids;
}

void TLocalQueue::MarcarEnviado(const TQueueItem& Item) {
  TSqliteStatement::Run run(FEnviado);
  FEnviado.BindText(":cnpj", Item.CNPJ);
  FEnviado.BindText(":chave", Item.ChaveUnica);
  FEnviado.Step();
}

bool TLocalQueue::MarcarEnviadoSeInalterado(const TQueueItem& Item) {
  std::optional<std::pair<std::string, std::string>> gravado =
      LerEstado(Item.CNPJ, Item.ChaveUnica);
  if (!gravado || gravado->first != Item.XMLHash) return false;
  MarcarEnviado(Item);
  return true;
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

namespace {

void Contar(TContagemFila& c, const std::string& status, int64_t n) {
  if (status == "pendente") c.Pendentes += n;
  if (status == "enviado") c.Enviados += n;
  if (status == "falha_definitiva") c.FalhasDefinitivas += n;
}

}  // namespace

TResumoFila TLocalQueue::Resumo() {
  TResumoFila r;
  {
    TSqliteStatement st = FConn.Prepare(
        "SELECT cnpj, status_envio, COUNT(*) FROM sync_xml GROUP BY cnpj, status_envio "
        "ORDER BY cnpj");
    while (st.Step()) {
      std::string cnpj = st.ColumnText(0);
      if (r.PorCNPJ.empty() || r.PorCNPJ.back().first != cnpj) r.PorCNPJ.push_back({cnpj, {}});
      Contar(r.PorCNPJ.back().second, st.ColumnText(1), st.ColumnInt(2));
      Contar(r.Total, st.ColumnText(1), st.ColumnInt(2));
    }
  }
  {
    TSqliteStatement st = FConn.Prepare(
        "SELECT (SELECT MIN(created_at) FROM sync_xml WHERE status_envio = 'pendente'),     "
        "(SELECT MAX(updated_at) FROM sync_xml WHERE status_envio = 'enviado')");
    if (st.Step()) {
      r.PendenteMaisAntigo = st.ColumnText(0);
      r.UltimoEnvio = st.ColumnText(1);
    }
  }
  TSqliteStatement st = FConn.Prepare(
      "SELECT cnpj, chave_unica, ultimo_erro, updated_at FROM sync_xml "
      "WHERE status_envio = 'falha_definitiva' ORDER BY updated_at DESC, id DESC LIMIT :max");
  st.BindInt(":max", kMaxFalhasNoResumo);
  while (st.Step()) {
    r.Falhas.push_back({st.ColumnText(0), st.ColumnText(1), st.ColumnText(2), st.ColumnText(3)});
  }
  return r;
}

int TLocalQueue::Reenfileirar(const std::vector<std::string>& Chaves) {
  auto falhas = [this] {
    TSqliteStatement st =
        FConn.Prepare("SELECT COUNT(*) FROM sync_xml WHERE status_envio = 'falha_definitiva'");
    st.Step();
    return st.ColumnInt(0);
  };
  int64_t reenfileiradas = 0;
  Transacao([&] {
    int64_t antes = falhas();
    if (Chaves.empty()) {
      TSqliteStatement::Run run(FReenfileirarTodas);
      FReenfileirarTodas.Step();
    }
    for (const std::string& chave : Chaves) {
      TSqliteStatement::Run run(FReenfileirarChave);
      FReenfileirarChave.BindText(":chave", chave);
      FReenfileirarChave.Step();
    }
    reenfileiradas = antes - falhas();
  });
  return static_cast<int>(reenfileiradas);
}

std::optional<std::string> TLocalQueue::LerImpressaoConfig() {
  TSqliteStatement st = FConn.Prepare("SELECT impressao FROM config_envio WHERE id = 1");
  if (!st.Step()) return std::nullopt;
  return st.ColumnText(0);
}

void TLocalQueue::GravarImpressaoConfig(const std::string& Impressao) {
  TSqliteStatement st = FConn.Prepare(
      "INSERT OR REPLACE INTO config_envio (id, impressao, updated_at) "
      "VALUES (1, :impressao, CURRENT_TIMESTAMP)");
  st.BindText(":impressao", Impressao);
  st.Step();
}

std::vector<TIdentificadorFila> TLocalQueue::ListarIdentificadores() {
  std::vector<TIdentificadorFila> ids;
  ParaCadaIdentificador([&ids](std::string_view chave, int64_t id) {
    ids.push_back({std::string(chave), id});
  });
  return ids;
}

void TLocalQueue::ParaCadaIdentificador(
    const std::function<void(std::string_view, int64_t)>& Cada) {
  // cnpj is named so that SQLite scans the (cnpj, chave_unica) index, which
  // holds the id too: the table's pages, with every text, stay unread.
  TSqliteStatement st = FConn.Prepare("SELECT chave_unica, id, cnpj FROM sync_xml");
  while (st.Step()) Cada(st.ColumnText(0), st.ColumnInt(1));
}

int64_t TLocalQueue::EntradaNaFila(int64_t ID) {
  if (!FEntrada.valid()) {
    FEntrada = FConn.Prepare(
        "SELECT CAST(strftime('%s', created_at) AS INTEGER) FROM sync_xml WHERE id = :id");
  }
  TSqliteStatement::Run run(FEntrada);
  FEntrada.BindInt(":id", ID);
  return FEntrada.Step() ? FEntrada.ColumnInt(0) : 0;
}

int64_t TLocalQueue::UltimoID() {
  TSqliteStatement st = FConn.Prepare("SELECT MAX(id) FROM sync_xml");
  return st.Step() ? st.ColumnInt(0) : 0;
}

}  // namespace lumacor
