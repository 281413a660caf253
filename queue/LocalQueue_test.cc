#include "queue/LocalQueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "collect/NFeValidator.h"
#include "common/Text.h"
#include "queue/HashService.h"
#include "queue/SqliteApi.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

using testing::ConfigScope;
using ::testing::ElementsAre;
using testing::LogCapture;
using testing::TempDir;

constexpr const char* kCnpj = "11222333000181";

// A 44-digit access key numbered n.
std::string Chave(int n) {
  std::string digits = std::to_string(n);
  return "3524" + std::string(40 - digits.size(), '0') + digits;
}

std::string NFe(const std::string& chave, const std::string& extra = "") {
  return "<NFe xmlns=\"http://www.portalfiscal.inf.br/nfe\"><infNFe Id=\"NFe" + chave +
         "\" versao=\"4.00\"><ide><mod>55</mod></ide>" + extra + "</infNFe></NFe>";
}

std::string Cancelamento(const std::string& chave) {
  return "<procEventoNFe versao=\"1.00\"><evento><infEvento Id=\"ID110111" + chave +
         "01\"><chNFe>" + chave +
         "</chNFe><tpEvento>110111</tpEvento>"
         "</infEvento></evento></procEventoNFe>";
}

TQueueItem Item(const std::string& cnpj, const std::string& chave) {
  TQueueItem item;
  item.CNPJ = cnpj;
  item.ChaveUnica = chave;
  return item;
}

TSincConfig ConfigWith(int32_t max_tentativas) {
  TSincConfig c;
  c.CNPJ = kCnpj;
  c.MaxTentativas = max_tentativas;
  return c;
}

// Every column of one row, NULL kept apart from "".
struct Row {
  int64_t id = 0;
  std::string cnpj, chave, xml, hash, status;
  int64_t sincronizado = 0, tentativas = 0;
  std::optional<std::string> ultimo_erro, created_at, updated_at, last_try_at;
  bool operator==(const Row&) const = default;
};

std::optional<std::string> Nullable(TSqliteStatement& s, int col) {
  if (s.ColumnIsNull(col)) return std::nullopt;
  return s.ColumnText(col);
}

std::optional<Row> ReadRow(TLocalQueue& q, const std::string& cnpj, const std::string& chave) {
  TSqliteStatement s = q.Connection().Prepare(
      "SELECT id, cnpj, chave_unica, xml, xml_hash, status_envio, sincronizado, tentativas, "
      "ultimo_erro, created_at, updated_at, last_try_at FROM sync_xml "
      "WHERE cnpj = :cnpj AND chave_unica = :chave");
  s.BindText(":cnpj", cnpj);
  s.BindText(":chave", chave);
  if (!s.Step()) return std::nullopt;
  Row r;
  r.id = s.ColumnInt(0);
  r.cnpj = s.ColumnText(1);
  r.chave = s.ColumnText(2);
  r.xml = s.ColumnText(3);
  r.hash = s.ColumnText(4);
  r.status = s.ColumnText(5);
  r.sincronizado = s.ColumnInt(6);
  r.tentativas = s.ColumnInt(7);
  r.ultimo_erro = Nullable(s, 8);
  r.created_at = Nullable(s, 9);
  r.updated_at = Nullable(s, 10);
  r.last_try_at = Nullable(s, 11);
  return r;
}

std::string Scalar(TSqliteConnection& conn, const std::string& sql) {
  TSqliteStatement s = conn.Prepare(sql);
  EXPECT_TRUE(s.Step()) << sql;
  return s.ColumnText(0);
}

// Marks every row's times with values no statement writes, so a test can
// see which ones a later statement touched.
void AgeTimestamps(TLocalQueue& q) {
  q.Connection().Exec(
      "UPDATE sync_xml SET created_at = '2001-01-01 00:00:00', "
      "updated_at = '2002-02-02 00:00:00', "
      "last_try_at = CASE WHEN last_try_at IS NULL THEN NULL ELSE '2003-03-03 00:00:00' END");
}

// The one listed item; fails the test when there is not exactly one.
TQueueItem Unico(TLocalQueue& q) {
  std::vector<TQueueItem> items = q.ListarPendentes();
  EXPECT_EQ(items.size(), 1u);
  return items.empty() ? TQueueItem() : items[0];
}

std::vector<int32_t> Ids(const std::vector<TQueueItem>& items) {
  std::vector<int32_t> ids;
  for (const auto& i : items) ids.push_back(i.ID);
  return ids;
}

class LocalQueueTest : public ::testing::Test {
 protected:
  TempDir dir_;
  ConfigScope config_{ConfigWith(5)};
  std::string path_ = dir_.Path("dados/fila/fila.db");
};

TEST_F(LocalQueueTest, CreatesFolderSchemaAndConnectionSettings) {
  TLocalQueue q(path_);
  EXPECT_EQ(q.SQLitePath(), path_);
  auto& c = q.Connection();
  struct {
    const char* pragma;
    const char* value;
  } pragmas[] = {
      {"encoding", "UTF-8"}, {"cache_size", "10000"},        {"locking_mode", "exclusive"},
      {"synchronous", "2"},  {"journal_mode", "delete"},     {"foreign_keys", "1"},
      {"busy_timeout", "0"}, {"soft_heap_limit", "8388608"},
  };
  for (const auto& p : pragmas) {
    EXPECT_EQ(Scalar(c, std::string("PRAGMA ") + p.pragma), p.value) << p.pragma;
  }

  // name|type|notnull|default|pk of every column.
  std::vector<std::string> columns;
  TSqliteStatement info = c.Prepare("PRAGMA table_info(sync_xml)");
  while (info.Step()) {
    columns.push_back(info.ColumnText(1) + "|" + info.ColumnText(2) + "|" + info.ColumnText(3) +
                      "|" + info.ColumnText(4) + "|" + info.ColumnText(5));
  }
  EXPECT_THAT(
      columns,
      ElementsAre("id|INTEGER|0||1", "cnpj|TEXT|1||0", "chave_unica|TEXT|1||0", "xml|TEXT|1||0",
                  "xml_hash|TEXT|1||0", "sincronizado|INTEGER|1|0|0",
                  "status_envio|TEXT|1|'pendente'|0", "tentativas|INTEGER|1|0|0",
                  "ultimo_erro|TEXT|0||0", "created_at|DATETIME|0|CURRENT_TIMESTAMP|0",
                  "updated_at|DATETIME|0|CURRENT_TIMESTAMP|0", "last_try_at|DATETIME|0||0"));
  EXPECT_EQ(Scalar(c, "SELECT group_concat(name, ',') FROM pragma_index_info('idx_sync_pendente')"),
            "status_envio,tentativas");
  EXPECT_EQ(
      Scalar(c, "SELECT group_concat(name, ',') FROM pragma_index_info('idx_sync_ordem_envio')"),
      "status_envio,last_try_at");
  // The pending list is read in index order, never sorted whole.
  std::string plano;
  TSqliteStatement explain = c.Prepare(
      "EXPLAIN QUERY PLAN SELECT id, cnpj, chave_unica, xml, xml_hash, tentativas, ultimo_erro "
      "FROM sync_xml WHERE sincronizado = 0 AND status_envio = 'pendente' "
      "ORDER BY last_try_at ASC, id ASC LIMIT 100");
  while (explain.Step()) plano += explain.ColumnText(3) + "\n";
  EXPECT_NE(plano.find("idx_sync_ordem_envio"), std::string::npos) << plano;
  EXPECT_EQ(plano.find("TEMP B-TREE"), std::string::npos) << plano;
  EXPECT_EQ(Scalar(c,
                   "SELECT group_concat(ii.name, ',') FROM pragma_index_list('sync_xml') il, "
                   "pragma_index_info(il.name) ii WHERE il.origin = 'u'"),
            "cnpj,chave_unica");
  EXPECT_EQ(Scalar(c, "SELECT count(*) FROM sqlite_master WHERE name = 'sqlite_sequence'"), "1");
  // A row's fingerprint and state come from an index that holds them: in
  // the table they lie past the text, whose pages every cycle would read.
  EXPECT_EQ(Scalar(c, "SELECT group_concat(name, ',') FROM pragma_index_info('idx_sync_estado')"),
            "cnpj,chave_unica,xml_hash,status_envio");
  // The status page's oldest pending time, likewise, from an index alone.
  plano.clear();
  TSqliteStatement mais_antigo = c.Prepare(
      "EXPLAIN QUERY PLAN SELECT MIN(created_at) FROM sync_xml WHERE status_envio = 'pendente'");
  while (mais_antigo.Step()) plano += mais_antigo.ColumnText(3) + "\n";
  EXPECT_NE(plano.find("COVERING INDEX idx_sync_pendente_entrada"), std::string::npos) << plano;
}

// A file made before the status indexes existed gains them on its first
// open, rows and answers unchanged.
TEST_F(LocalQueueTest, OlderFileGainsTheIndexesOnFirstOpen) {
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
  {
    TSqliteConnection antiga =
        TSqliteConnection::Open(path_, kSqliteOpenReadWrite | kSqliteOpenCreate);
    antiga.Exec(
        "CREATE TABLE sync_xml (id INTEGER PRIMARY KEY AUTOINCREMENT, cnpj TEXT NOT NULL, "
        "chave_unica TEXT NOT NULL, xml TEXT NOT NULL, xml_hash TEXT NOT NULL, "
        "sincronizado INTEGER NOT NULL DEFAULT 0, status_envio TEXT NOT NULL DEFAULT 'pendente', "
        "tentativas INTEGER NOT NULL DEFAULT 0, ultimo_erro TEXT, "
        "created_at DATETIME DEFAULT CURRENT_TIMESTAMP, "
        "updated_at DATETIME DEFAULT CURRENT_TIMESTAMP, last_try_at DATETIME, "
        "UNIQUE(cnpj, chave_unica))");
    antiga.Exec("CREATE INDEX idx_sync_pendente ON sync_xml(status_envio, tentativas)");
    for (int i = 1; i <= 3; ++i) {
      antiga.Exec("INSERT INTO sync_xml (cnpj, chave_unica, xml, xml_hash, created_at) VALUES ('" +
                  std::string(kCnpj) + "', '" + Chave(i) + "', '" + NFe(Chave(i)) + "', 'h" +
                  std::to_string(i) + "', '2026-05-0" + std::to_string(4 - i) + " 10:00:00')");
    }
  }
  TLocalQueue q(path_);
  EXPECT_EQ(
      Scalar(q.Connection(),
             "SELECT group_concat(name, ',') FROM pragma_index_info('idx_sync_pendente_entrada')"),
      "status_envio,created_at");
  EXPECT_EQ(q.Resumo().PendenteMaisAntigo, "2026-05-01 10:00:00");
  EXPECT_EQ(q.UltimoID(), 3);
  EXPECT_EQ(Scalar(q.Connection(), "PRAGMA integrity_check"), "ok");
}

TEST_F(LocalQueueTest, KeepsWhatTheScansLearnedPerFile) {
  TArquivoConhecido a;
  a.Caminho = "C:\\ERP\\xml\\nota\xC3\xA7\xC3\xA3o.xml";
  a.Tamanho = 12345;
  a.MtimeSegundos = 1779285909;
  a.MtimeNanos = 999999999;
  a.CtimeSegundos = 1779285910;
  a.CtimeNanos = 1;
  // Volume serials and inodes use all 64 bits.
  a.Dispositivo = 0xFFFFFFFFFFFFFFFFull;
  a.Inode = 0x8000000000000001ull;
  a.Resultado = TArquivoConhecido::arDocumento;
  a.Chave = "35260512345678000190550010000000011000000011";
  a.Hash = std::string(64, 'a');
  a.Prioridade = 2;
  a.Forca = TNFeValidator::kCopiaAutorizada;
  a.Homologacao = true;
  a.Tipo = TArquivoConhecido::atCancelamento;
  TArquivoConhecido b;
  b.Caminho = "/srv/xml/pedido.xml";
  b.Resultado = TArquivoConhecido::arNaoFiscal;
  std::vector<int64_t> ids;
  {
    TLocalQueue q(path_);
    EXPECT_EQ(q.LerDono(), "");
    ids = q.GravarArquivos({q.GuardarLido(a), q.GuardarLido(b)}, {}, "12345678000190");
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_NE(ids[0], ids[1]);
    // A file read again keeps its record's id; an unknown id is no error.
    TArquivoConhecido changed = b;
    changed.Tamanho = 7;
    EXPECT_EQ(q.GravarArquivos({q.GuardarLido(changed)}, {ids[1] + 1000}, "12345678000190"),
              std::vector<int64_t>{ids[1]});
    // What was kept aside goes with the write, or with DescartarLidos;
    // naming a record no longer kept rolls everything back (checked below:
    // both records and the CNPJ stand).
    TArquivoConhecido lost = a;
    lost.Tamanho = 99;
    const int64_t kept = q.GuardarLido(lost);
    q.DescartarLidos();
    EXPECT_THROW(q.GravarArquivos({kept}, {ids[0]}, "98765432000100"), SqliteError);
    b = changed;
  }
  TLocalQueue q(path_);
  std::vector<std::pair<int64_t, TArquivoConhecido>> known;
  q.ParaCadaArquivo([&](int64_t id, const TArquivoConhecido& r) { known.emplace_back(id, r); });
  std::sort(known.begin(), known.end(),
            [](const auto& x, const auto& y) { return x.second.Caminho < y.second.Caminho; });
  ASSERT_EQ(known.size(), 2u);
  EXPECT_EQ(known[0].first, ids[1]);
  EXPECT_TRUE(known[0].second == b);
  EXPECT_EQ(known[1].first, ids[0]);
  EXPECT_TRUE(known[1].second == a);
  ASSERT_TRUE(q.LerArquivo(ids[0]).has_value());
  EXPECT_TRUE(*q.LerArquivo(ids[0]) == a);
  EXPECT_EQ(q.LerDono(), "12345678000190");
  EXPECT_EQ(q.GravarArquivos({}, ids, "98765432000100"), std::vector<int64_t>{});
  known.clear();
  q.ParaCadaArquivo([&](int64_t id, const TArquivoConhecido& r) { known.emplace_back(id, r); });
  EXPECT_TRUE(known.empty());
  EXPECT_FALSE(q.LerArquivo(ids[0]).has_value());
  EXPECT_EQ(q.LerDono(), "98765432000100");
  // The documents' table is not touched.
  EXPECT_EQ(Scalar(q.Connection(), "SELECT count(*) FROM sync_xml"), "0");
}

TEST_F(LocalQueueTest, ReopensAnExistingFileKeepingItsRows) {
  {
    TLocalQueue q(path_);
    q.UpsertXML(kCnpj, Chave(1), NFe(Chave(1)), THashService::SHA256(NFe(Chave(1))));
  }
  TLocalQueue q(path_);
  auto items = q.ListarPendentes();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].XML, NFe(Chave(1)));
}

TEST_F(LocalQueueTest, CreateFailures) {
  std::string file = dir_.Write("arquivo.txt", "x");
  EXPECT_THROW(TLocalQueue("fila.db"), PlatformError);  // no folder part
  EXPECT_THROW(TLocalQueue(""), PlatformError);
  EXPECT_THROW(TLocalQueue(file + "/sub/fila.db"), PlatformError);  // folder under a file
  std::string garbage = dir_.Write("lixo.db", std::string(4096, 'x'));
  try {
    TLocalQueue q(garbage);
    FAIL() << "a file that is not a database opened";
  } catch (const SqliteError& e) {
    EXPECT_STREQ(e.what(), "file is not a database");
  }
}

TEST_F(LocalQueueTest, UpsertDecisionTable) {
  enum Estado { kNenhum, kPendente, kEnviado, kFalha };
  struct Case {
    const char* name;
    Estado estado;
    bool mesmo_texto;
    bool resultado;
  } cases[] = {
      {"novo", kNenhum, false, true},
      {"pendente alterado", kPendente, false, true},
      {"enviado alterado", kEnviado, false, true},
      {"falha alterado", kFalha, false, true},
      {"pendente igual", kPendente, true, true},
      {"enviado igual", kEnviado, true, false},
      {"falha igual", kFalha, true, true},
  };
  TLocalQueue q(path_);
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string chave = Chave(++n);
    const std::string antigo = NFe(chave), novo = NFe(chave, "<obs>corrigida</obs>");
    if (c.estado != kNenhum) {
      ASSERT_TRUE(q.UpsertXML(kCnpj, chave, antigo, THashService::SHA256(antigo)));
      // One counted failure first, so a reset of the count shows.
      q.MarcarErro(Item(kCnpj, chave), "recusada", /*Transitorio=*/false);
      if (c.estado == kEnviado) q.MarcarEnviado(Item(kCnpj, chave));
      ConfigScope max1(ConfigWith(1));
      if (c.estado == kFalha) q.MarcarErro(Item(kCnpj, chave), "rejeitada", false);
      AgeTimestamps(q);
    }
    std::optional<Row> antes = ReadRow(q, kCnpj, chave);
    const std::string& texto = c.mesmo_texto ? antigo : novo;

    EXPECT_EQ(q.UpsertXML(kCnpj, chave, texto, THashService::SHA256(texto)), c.resultado);

    std::optional<Row> depois = ReadRow(q, kCnpj, chave);
    ASSERT_TRUE(depois.has_value());
    if (c.mesmo_texto) {
      EXPECT_EQ(*depois, *antes);
      continue;
    }
    EXPECT_EQ(depois->xml, texto);
    EXPECT_EQ(depois->hash, THashService::SHA256(texto));
    EXPECT_EQ(depois->status, "pendente");
    EXPECT_EQ(depois->sincronizado, 0);
    EXPECT_EQ(depois->tentativas, 0);
    ASSERT_TRUE(depois->updated_at.has_value());
    if (antes) {
      EXPECT_EQ(depois->id, antes->id);
      EXPECT_EQ(depois->created_at, antes->created_at);
      EXPECT_EQ(depois->ultimo_erro, antes->ultimo_erro);
      EXPECT_EQ(depois->last_try_at, antes->last_try_at);
      EXPECT_NE(depois->updated_at, antes->updated_at);
    } else {
      EXPECT_EQ(depois->ultimo_erro, std::nullopt);
      EXPECT_EQ(depois->last_try_at, std::nullopt);
      EXPECT_TRUE(depois->created_at.has_value());
    }
  }
}

TEST_F(LocalQueueTest, SentAndFailedMarks) {
  TLocalQueue q(path_);
  const std::string chave = Chave(1);
  q.UpsertXML(kCnpj, chave, NFe(chave), THashService::SHA256(NFe(chave)));
  q.MarcarErro(Item(kCnpj, chave), "primeira", false);
  AgeTimestamps(q);
  Row antes = *ReadRow(q, kCnpj, chave);

  q.MarcarEnviado(Unico(q));
  Row r = *ReadRow(q, kCnpj, chave);
  EXPECT_EQ(r.status, "enviado");
  EXPECT_EQ(r.sincronizado, 1);
  EXPECT_EQ(r.ultimo_erro, std::nullopt);
  EXPECT_EQ(r.tentativas, 1);
  EXPECT_EQ(r.last_try_at, antes.last_try_at);
  EXPECT_NE(r.updated_at, antes.updated_at);
  EXPECT_TRUE(q.ListarPendentes().empty());
}

TEST_F(LocalQueueTest, DefinitiveFailuresEndRetriesAtMaxTentativas) {
  struct Case {
    int32_t max;
    int falhas_ate_definitiva;
  } cases[] = {{5, 5}, {1, 1}, {0, 1}, {-3, 1}};
  TLocalQueue q(path_);
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.max);
    ConfigScope config(ConfigWith(c.max));
    const std::string chave = Chave(++n);
    q.UpsertXML(kCnpj, chave, NFe(chave), THashService::SHA256(NFe(chave)));
    for (int i = 1; i <= c.falhas_ate_definitiva; ++i) {
      TQueueItem item = Unico(q);
      EXPECT_EQ(item.Tentativas, i - 1);
      q.MarcarErro(item, "HTTP 400 falha " + std::to_string(i), false);
    }
    Row r = *ReadRow(q, kCnpj, chave);
    EXPECT_EQ(r.status, "falha_definitiva");
    EXPECT_EQ(r.tentativas, c.falhas_ate_definitiva);
    EXPECT_EQ(r.ultimo_erro, "HTTP 400 falha " + std::to_string(c.falhas_ate_definitiva));
    EXPECT_TRUE(r.last_try_at.has_value());
    EXPECT_TRUE(q.ListarPendentes().empty());
  }
}

TEST_F(LocalQueueTest, TransientFailuresAreRecordedButNotCounted) {
  // Stored whole, accents and all.
  const std::string erro = "Exce\xC3\xA7\xC3\xA3o HTTP ao enviar: " + std::string(5000, 'e');
  TLocalQueue q(path_);
  int n = 0;
  for (int32_t max : {1, 5}) {
    SCOPED_TRACE(max);
    ConfigScope config(ConfigWith(max));
    const std::string chave = Chave(++n);
    q.UpsertXML(kCnpj, chave, NFe(chave), THashService::SHA256(NFe(chave)));
    AgeTimestamps(q);
    for (int i = 0; i < 7; ++i) q.MarcarErro(Unico(q), erro, true);
    Row r = *ReadRow(q, kCnpj, chave);
    EXPECT_EQ(r.status, "pendente");
    EXPECT_EQ(r.tentativas, 0);
    EXPECT_EQ(r.ultimo_erro, erro);
    EXPECT_TRUE(r.last_try_at.has_value());
    EXPECT_NE(r.last_try_at, "2003-03-03 00:00:00");
    EXPECT_NE(r.updated_at, "2002-02-02 00:00:00");
    TQueueItem item = Unico(q);
    EXPECT_EQ(item.UltimoErro, erro);
    // An outage before a rejection leaves the rejection its full count.
    q.MarcarErro(item, "HTTP 422", false);
    r = *ReadRow(q, kCnpj, chave);
    EXPECT_EQ(r.tentativas, 1);
    EXPECT_EQ(r.status, max == 1 ? "falha_definitiva" : "pendente");
  }
}

TEST_F(LocalQueueTest, ListsAtMostHundredNeverTriedThenLeastRecentlyTried) {
  TLocalQueue q(path_);
  TXmlRowArray lote;
  for (int i = 1; i <= 150; ++i) lote.push_back({Chave(i), NFe(Chave(i))});
  q.UpsertEmLote(lote, kCnpj);

  std::vector<TQueueItem> items = q.ListarPendentes();
  ASSERT_EQ(items.size(), 100u);
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].ChaveUnica, Chave(static_cast<int>(i) + 1));
    if (i > 0) {
      EXPECT_GT(items[i].ID, items[i - 1].ID);
    }
  }
  const TQueueItem& primeiro = items[0];
  EXPECT_EQ(primeiro.CNPJ, kCnpj);
  EXPECT_EQ(primeiro.XML, NFe(Chave(1)));
  EXPECT_EQ(primeiro.XMLHash, THashService::SHA256(NFe(Chave(1))));
  EXPECT_EQ(primeiro.Tentativas, 0);
  EXPECT_EQ(primeiro.UltimoErro, "");
  EXPECT_EQ(primeiro.Status, "");

  // Rows that failed go behind those never tried, least recently tried
  // first, whatever their count; equal times keep the id order.
  int32_t id1 = items[0].ID, id2 = items[1].ID, id3 = items[2].ID, id4 = items[3].ID;
  q.MarcarErro(items[0], "x", true);
  q.MarcarErro(items[1], "x", false);
  q.MarcarErro(items[2], "x", true);
  q.MarcarErro(items[3], "x", true);
  auto tried_at = [&](int32_t id, const char* when) {
    q.Connection().Exec("UPDATE sync_xml SET last_try_at = '" + std::string(when) +
                        "' WHERE id = " + std::to_string(id));
  };
  tried_at(id1, "2026-05-20 10:00:03");
  tried_at(id2, "2026-05-20 10:00:02");
  tried_at(id3, "2026-05-20 10:00:01");
  tried_at(id4, "2026-05-20 10:00:02");
  q.Connection().Exec(
      "UPDATE sync_xml SET status_envio = 'enviado', sincronizado = 1 "
      "WHERE id > " +
      std::to_string(id4) + " AND id <= " + std::to_string(id4 + 140));
  EXPECT_THAT(Ids(q.ListarPendentes()), ElementsAre(id4 + 141, id4 + 142, id4 + 143, id4 + 144,
                                                    id4 + 145, id4 + 146, id3, id2, id4, id1));
}

TEST_F(LocalQueueTest, FailedBatchLeavesNothing) {
  TLocalQueue q(path_);
  q.UpsertEmLote({{Chave(1), NFe(Chave(1))}}, kCnpj);
  AgeTimestamps(q);
  Row anterior = *ReadRow(q, kCnpj, Chave(1));

  TXmlRowArray lote;
  // Collection order is not the order applied: the 40th applied is Chave(40).
  for (int i = 60; i >= 1; --i) lote.push_back({Chave(i), NFe(Chave(i), "<v>2</v>")});
  struct Case {
    const char* raise;
    const char* message;
  } cases[] = {
      {"RAISE(ABORT, 'documento recusado')", "documento recusado"},
      // SQLite ends the transaction itself; the batch's own error still shows.
      {"RAISE(ROLLBACK, 'transacao desfeita')", "transacao desfeita"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raise);
    q.Connection().Exec(
        "CREATE TRIGGER falha40 BEFORE INSERT ON sync_xml WHEN NEW.chave_unica = '" + Chave(40) +
        "' BEGIN SELECT " + c.raise + "; END");
    try {
      q.UpsertEmLote(lote, kCnpj);
      FAIL() << "the batch did not fail";
    } catch (const SqliteError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_TRUE(q.Connection().AutoCommit());
    EXPECT_EQ(Scalar(q.Connection(), "SELECT count(*) FROM sync_xml"), "1");
    EXPECT_EQ(*ReadRow(q, kCnpj, Chave(1)), anterior);
    q.Connection().Exec("DROP TRIGGER falha40");
  }

  // The queue stays usable.
  q.UpsertEmLote(lote, kCnpj);
  EXPECT_EQ(Scalar(q.Connection(), "SELECT count(*) FROM sync_xml"), "60");
  EXPECT_EQ(ReadRow(q, kCnpj, Chave(1))->xml, NFe(Chave(1), "<v>2</v>"));
}

// A batch far larger than SQLite's heap limit keeps the heap near it, its
// pages written to the file before the commit; a late failure must still
// undo all of them.
TEST_F(LocalQueueTest, BatchLargerThanTheHeapLimitRollsBackWhole) {
  TLocalQueue q(path_);
  q.UpsertEmLote({{Chave(1), NFe(Chave(1))}}, kCnpj);
  Row anterior = *ReadRow(q, kCnpj, Chave(1));
  // 1,500 texts of 12 KB: 18 MB, more than twice the limit.
  const std::string recheio = "<obs>" + std::string(12000, 'x') + "</obs>";
  TXmlRowArray lote;
  for (int i = 1; i <= 1500; ++i) lote.push_back({Chave(i), NFe(Chave(i), recheio)});
  q.Connection().Exec("CREATE TRIGGER falha BEFORE INSERT ON sync_xml WHEN NEW.chave_unica = '" +
                      Chave(1500) + "' BEGIN SELECT RAISE(ABORT, 'documento recusado'); END");
  SqliteApi().memory_highwater(1);
  EXPECT_THROW(q.UpsertEmLote(lote, kCnpj), SqliteError);
  // The cache alone could hold 40 MB; the heap stays near its limit.
  EXPECT_LT(SqliteApi().memory_highwater(0), 10 * 1024 * 1024);
  EXPECT_EQ(Scalar(q.Connection(), "SELECT count(*) FROM sync_xml"), "1");
  EXPECT_EQ(*ReadRow(q, kCnpj, Chave(1)), anterior);
  EXPECT_EQ(Scalar(q.Connection(), "PRAGMA integrity_check"), "ok");

  q.Connection().Exec("DROP TRIGGER falha");
  q.UpsertEmLote(lote, kCnpj);
  EXPECT_LT(SqliteApi().memory_highwater(0), 10 * 1024 * 1024);
  EXPECT_EQ(Scalar(q.Connection(), "SELECT count(*) FROM sync_xml"), "1500");
  for (int i : {1, 750, 1500}) {
    EXPECT_EQ(ReadRow(q, kCnpj, Chave(i))->xml, NFe(Chave(i), recheio)) << i;
  }
  EXPECT_EQ(Scalar(q.Connection(), "PRAGMA integrity_check"), "ok");
}

TEST_F(LocalQueueTest, EmptyBatchChangesNothing) {
  TLocalQueue q(path_);
  q.UpsertEmLote({{Chave(1), NFe(Chave(1))}}, kCnpj);
  AgeTimestamps(q);
  Row antes = *ReadRow(q, kCnpj, Chave(1));
  q.UpsertEmLote({}, kCnpj);
  EXPECT_TRUE(q.Connection().AutoCommit());
  EXPECT_EQ(*ReadRow(q, kCnpj, Chave(1)), antes);
  EXPECT_EQ(Scalar(q.Connection(), "SELECT count(*) FROM sync_xml"), "1");
}

TEST_F(LocalQueueTest, MarksTheListedRowWhateverTheConfiguredCnpj) {
  const std::string outro = "99888777000100";
  TLocalQueue q(path_);
  const std::string chave = Chave(7);
  q.UpsertEmLote({{chave, NFe(chave)}}, outro);
  q.UpsertEmLote({{chave, NFe(chave)}}, kCnpj);

  std::vector<TQueueItem> items = q.ListarPendentes();
  ASSERT_EQ(items.size(), 2u);
  ASSERT_EQ(items[0].CNPJ, outro);
  q.MarcarErro(items[0], "HTTP 422", false);
  EXPECT_EQ(ReadRow(q, outro, chave)->tentativas, 1);
  EXPECT_EQ(ReadRow(q, kCnpj, chave)->tentativas, 0);

  q.MarcarEnviado(items[0]);
  EXPECT_EQ(ReadRow(q, outro, chave)->status, "enviado");
  EXPECT_EQ(ReadRow(q, kCnpj, chave)->status, "pendente");
  EXPECT_EQ(Unico(q).CNPJ, kCnpj);
}

TEST_F(LocalQueueTest, DocumentAndItsCancellationAreDeliveredInTurn) {
  LogCapture log;
  TLocalQueue q(path_);
  const std::string a = Chave(5), b = Chave(3), c = Chave(4);
  // As a folder may return them: the event first, and one file twice.
  TXmlRowArray lote = {{a, Cancelamento(a)}, {c, NFe(c)}, {a, NFe(a)}, {b, NFe(b)}, {c, NFe(c)}};
  auto cycle = [&] {
    std::reverse(lote.begin(), lote.end());  // collection order does not matter
    q.UpsertEmLote(lote, kCnpj);
  };

  // First the NF-e, which the accountant needs as much as the event.
  cycle();
  EXPECT_EQ(Scalar(q.Connection(), "SELECT count(*) FROM sync_xml"), "3");
  std::vector<TQueueItem> items = q.ListarPendentes();
  ASSERT_EQ(items.size(), 3u);
  // New rows take their ids in identifier order.
  EXPECT_EQ(items[0].ChaveUnica, b);
  EXPECT_EQ(items[1].ChaveUnica, c);
  EXPECT_EQ(items[2].ChaveUnica, a);
  EXPECT_EQ(items[2].XML, NFe(a));

  // Not yet sent: the next batch leaves it to be sent.
  cycle();
  EXPECT_EQ(ReadRow(q, kCnpj, a)->xml, NFe(a));
  for (const auto& item : q.ListarPendentes()) q.MarcarEnviado(item);

  // Once it is sent, the event follows, with a fresh count.
  cycle();
  TQueueItem evento = Unico(q);
  EXPECT_EQ(evento.ChaveUnica, a);
  EXPECT_EQ(evento.XML, Cancelamento(a));
  EXPECT_EQ(evento.ID, items[2].ID);
  q.MarcarEnviado(evento);
  AgeTimestamps(q);
  Row enviado = *ReadRow(q, kCnpj, a);

  // The row holds the last text: later batches leave it alone.
  for (int ciclo = 0; ciclo < 3; ++ciclo) {
    cycle();
    EXPECT_TRUE(q.ListarPendentes().empty());
    EXPECT_EQ(*ReadRow(q, kCnpj, a), enviado);
  }
  // The event alone, once the NF-e file is gone, is still the same text.
  q.UpsertEmLote({{a, Cancelamento(a)}}, kCnpj);
  EXPECT_TRUE(q.ListarPendentes().empty());
  EXPECT_TRUE(log.Lines().empty());
}

// Three copies of one NF-e as ERPs keep them: the unsigned draft, the
// signed file and the authorised nfeProc.
const char kAssinatura[] = "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"/>";
std::string Rascunho(const std::string& chave) { return NFe(chave); }
std::string Assinada(const std::string& chave) { return NFe(chave, kAssinatura); }
std::string Autorizada(const std::string& chave, const std::string& extra = "") {
  return "<nfeProc>" + NFe(chave, extra + kAssinatura) + "<protNFe><infProt><chNFe>" + chave +
         "</chNFe><cStat>100</cStat></infProt></protNFe></nfeProc>";
}
std::string EventoAssinado(const std::string& chave) {
  return "<evento><infEvento Id=\"ID110111" + chave + "01\"><tpEvento>110111</tpEvento>" +
         "</infEvento>" + kAssinatura + "</evento>";
}
std::string EventoRegistrado(const std::string& chave) {
  return "<procEventoNFe>" + EventoAssinado(chave) + "<retEvento><infEvento><cStat>135</cStat>" +
         "</infEvento></retEvento></procEventoNFe>";
}

TEST_F(LocalQueueTest, AuthorisedCopyWinsInAnyListingOrder) {
  TLocalQueue q(path_);
  const std::string k = Chave(1);
  std::vector<std::string> copias = {Rascunho(k), Assinada(k), Autorizada(k)};
  std::sort(copias.begin(), copias.end());
  int n = 0;
  do {
    SCOPED_TRACE(++n);
    TXmlRowArray lote;
    for (const auto& c : copias) lote.push_back({k, c});
    q.UpsertEmLote(lote, kCnpj);
    EXPECT_EQ(ReadRow(q, kCnpj, k)->xml, Autorizada(k));
  } while (std::next_permutation(copias.begin(), copias.end()));

  // Without the authorised copy the signed one wins over the draft.
  const std::string k2 = Chave(2);
  for (bool rascunho_primeiro : {true, false}) {
    TXmlRowArray lote = {{k2, Rascunho(k2)}, {k2, Assinada(k2)}};
    if (!rascunho_primeiro) std::swap(lote[0], lote[1]);
    q.UpsertEmLote(lote, kCnpj);
    EXPECT_EQ(ReadRow(q, kCnpj, k2)->xml, Assinada(k2));
  }

  // Priority still comes first: the strongest NF-e goes out, then the
  // cancellation ends the row, however weak its copy.
  const std::string k3 = Chave(3);
  TXmlRowArray trio = {{k3, EventoAssinado(k3)}, {k3, Autorizada(k3)}, {k3, Rascunho(k3)}};
  q.UpsertEmLote(trio, kCnpj);
  EXPECT_EQ(ReadRow(q, kCnpj, k3)->xml, Autorizada(k3));
  q.MarcarEnviado(Item(kCnpj, k3));
  q.UpsertEmLote(trio, kCnpj);
  EXPECT_EQ(ReadRow(q, kCnpj, k3)->xml, EventoAssinado(k3));

  // A stored authorised NF-e stands for the signed copy beside its
  // cancellation, so the cancellation still gets through.
  const std::string k5 = Chave(5);
  q.UpsertEmLote({{k5, Autorizada(k5)}}, kCnpj);
  q.MarcarEnviado(Item(kCnpj, k5));
  q.UpsertEmLote({{k5, Assinada(k5)}, {k5, EventoAssinado(k5)}}, kCnpj);
  EXPECT_EQ(ReadRow(q, kCnpj, k5)->xml, EventoAssinado(k5));
  EXPECT_EQ(ReadRow(q, kCnpj, k5)->status, "pendente");

  // An authorised copy that turns up after the signed one was sent goes out.
  const std::string k4 = Chave(4);
  q.UpsertEmLote({{k4, Assinada(k4)}}, kCnpj);
  q.MarcarEnviado(Item(kCnpj, k4));
  q.UpsertEmLote({{k4, Autorizada(k4)}, {k4, Assinada(k4)}}, kCnpj);
  EXPECT_EQ(ReadRow(q, kCnpj, k4)->xml, Autorizada(k4));
  EXPECT_EQ(ReadRow(q, kCnpj, k4)->status, "pendente");
}

TEST_F(LocalQueueTest, StoredAuthorisedCopyIsNotReplacedByAWeakerOne) {
  struct Case {
    const char* name;
    std::string guardado;
    std::string novo;
    bool mantido;
  };
  const std::string k = Chave(9);
  const std::vector<Case> cases = {
      {"nfe assinada", Autorizada(k), Assinada(k), true},
      {"nfe rascunho", Autorizada(k), Rascunho(k), true},
      {"evento assinado", EventoRegistrado(k), EventoAssinado(k), true},
      // A new authorised text is a real change; so is another document
      // under the same key, and a weaker copy replaces what is no stronger.
      {"outra nfe autorizada", Autorizada(k), Autorizada(k, "<obs>corrigida</obs>"), false},
      {"cancelamento", Autorizada(k), EventoAssinado(k), false},
      {"assinada sobre rascunho", Rascunho(k), Assinada(k), false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string cnpj = std::to_string(++n);
    TLocalQueue q(dir_.Path("fila" + cnpj + ".db"));
    q.UpsertEmLote({{k, c.guardado}}, cnpj);
    q.MarcarEnviado(Item(cnpj, k));
    AgeTimestamps(q);
    const Row antes = *ReadRow(q, cnpj, k);

    // Alone, as when the authorised file was moved away, and beside it.
    EXPECT_EQ(q.UpsertXML(cnpj, k, c.novo, THashService::SHA256(c.novo)), !c.mantido);
    if (c.mantido) {
      EXPECT_EQ(*ReadRow(q, cnpj, k), antes);
      q.UpsertEmLote({{k, c.novo}, {k, c.guardado}}, cnpj);
      EXPECT_EQ(*ReadRow(q, cnpj, k), antes);
      EXPECT_TRUE(q.ListarPendentes().empty());
    } else {
      EXPECT_EQ(ReadRow(q, cnpj, k)->xml, c.novo);
      EXPECT_EQ(ReadRow(q, cnpj, k)->status, "pendente");
    }
  }
}

TEST_F(LocalQueueTest, AnNFeThatFailedForGoodStillLetsItsEventThrough) {
  TLocalQueue q(path_);
  const std::string a = Chave(8);
  TXmlRowArray lote = {{a, NFe(a)}, {a, Cancelamento(a)}};
  q.UpsertEmLote(lote, kCnpj);
  ConfigScope max1(ConfigWith(1));
  q.MarcarErro(Unico(q), "HTTP 422 rejeitada", false);
  EXPECT_TRUE(q.ListarPendentes().empty());
  q.UpsertEmLote(lote, kCnpj);
  TQueueItem evento = Unico(q);
  EXPECT_EQ(evento.XML, Cancelamento(a));
  EXPECT_EQ(evento.Tentativas, 0);
}

TEST(ProximoTextoTest, ChoosesTheTextToStoreNow) {
  const std::vector<std::string> par = {"nfe", "evento"};
  const std::vector<std::string> tres = {"nfe", "evento", "outro"};
  struct Case {
    const char* name;
    const std::vector<std::string>* hashes;
    std::optional<std::string> hash;
    std::string status;
    int esperado;
  } cases[] = {
      {"no row: the document first", &par, std::nullopt, "", 0},
      {"document waiting to be sent", &par, "nfe", "pendente", -1},
      {"document sent: the event", &par, "nfe", "enviado", 1},
      {"document failed for good: the event", &par, "nfe", "falha_definitiva", 1},
      {"event stored, pending", &par, "evento", "pendente", -1},
      {"event stored and sent", &par, "evento", "enviado", -1},
      {"an older text: start over", &par, "antigo", "enviado", 0},
      {"middle of three, sent", &tres, "evento", "enviado", 2},
      {"middle of three, pending", &tres, "evento", "pendente", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ProximoTexto(*c.hashes, c.hash ? &*c.hash : nullptr, c.hash ? &c.status : nullptr),
              c.esperado);
  }
}

TEST_F(LocalQueueTest, DeliveredMarkOnlyForTheDeliveredText) {
  TLocalQueue q(path_);
  const std::string a = Chave(9);
  q.UpsertEmLote({{a, NFe(a)}}, kCnpj);
  TQueueItem antigo = Unico(q);
  EXPECT_TRUE(q.MarcarEnviadoSeInalterado(antigo));
  EXPECT_EQ(ReadRow(q, kCnpj, a)->status, "enviado");

  q.UpsertEmLote({{a, NFe(a, "<v>2</v>")}}, kCnpj);
  EXPECT_FALSE(q.MarcarEnviadoSeInalterado(antigo));
  EXPECT_EQ(ReadRow(q, kCnpj, a)->status, "pendente");
  EXPECT_FALSE(q.MarcarEnviadoSeInalterado(Item(kCnpj, Chave(10))));  // no row at all
}

TEST_F(LocalQueueTest, FileHeldByAnotherConnectionFailsAtOnce) {
  { TLocalQueue criar(path_); }

  auto expect_busy = [](auto&& action) {
    try {
      action();
      ADD_FAILURE() << "no busy error";
    } catch (const SqliteError& e) {
      EXPECT_EQ(e.code(), kSqliteBusy);
      EXPECT_STREQ(e.what(), "database is locked");
    }
  };

  {
    // Another process writing the file keeps the queue from opening it.
    TSqliteConnection outra = TSqliteConnection::Open(path_, kSqliteOpenReadWrite);
    outra.Exec("PRAGMA locking_mode = EXCLUSIVE");
    outra.Exec("BEGIN EXCLUSIVE");
    expect_busy([&] { TLocalQueue q(path_); });
  }

  // From its opening on, before any write of its own, the queue keeps every
  // other connection out: that is how /status and /reenviar tell that an
  // agent runs.
  TLocalQueue q(path_);
  {
    TSqliteConnection outra = TSqliteConnection::Open(path_, kSqliteOpenReadWrite);
    expect_busy([&] { outra.Exec("SELECT count(*) FROM sync_xml"); });
    expect_busy([&] { TLocalQueue segunda(path_); });
  }
  q.UpsertEmLote({{Chave(1), NFe(Chave(1))}}, kCnpj);
  TSqliteConnection outra = TSqliteConnection::Open(path_, kSqliteOpenReadWrite);
  expect_busy([&] { outra.Exec("SELECT count(*) FROM sync_xml"); });
}

// Rows in every state under two CNPJs, with known times.
class QueueSummaryTest : public LocalQueueTest {
 protected:
  void Add(TLocalQueue& q, const std::string& cnpj, int n, const std::string& status,
           const std::string& when) {
    std::string chave = Chave(n);
    q.UpsertXML(cnpj, chave, NFe(chave), THashService::SHA256(NFe(chave)));
    TSqliteStatement st = q.Connection().Prepare(
        "UPDATE sync_xml SET status_envio = :s, sincronizado = (:s = 'enviado'), "
        "tentativas = CASE WHEN :s = 'falha_definitiva' THEN 5 ELSE 0 END, "
        "ultimo_erro = CASE WHEN :s = 'falha_definitiva' THEN 'HTTP 422 ' || chave_unica END, "
        "created_at = :w, updated_at = :w WHERE chave_unica = :c");
    st.BindText(":s", status);
    st.BindText(":w", when);
    st.BindText(":c", chave);
    st.Step();
  }
};

TEST_F(QueueSummaryTest, CountsEveryRowByStateAndCnpjBeyondTheListingCap) {
  TLocalQueue q(path_);
  const std::string outro = "99888777000166";
  // 130 pending for one CNPJ: more than ListarPendentes hands out.
  for (int i = 1; i <= 130; ++i) {
    Add(q, kCnpj, i, "pendente", Format("2026-05-%02d 10:00:00", 1 + i % 20));
  }
  Add(q, kCnpj, 200, "enviado", "2026-05-19 08:00:00");
  Add(q, outro, 201, "enviado", "2026-05-20 09:30:00");
  Add(q, outro, 202, "falha_definitiva", "2026-05-18 07:00:00");
  Add(q, outro, 203, "pendente", "2026-04-30 23:59:59");

  TResumoFila r = q.Resumo();
  EXPECT_EQ(r.Total.Pendentes, 131);
  EXPECT_EQ(r.Total.Enviados, 2);
  EXPECT_EQ(r.Total.FalhasDefinitivas, 1);
  ASSERT_EQ(r.PorCNPJ.size(), 2u);
  EXPECT_EQ(r.PorCNPJ[0].first, kCnpj);
  EXPECT_EQ(r.PorCNPJ[0].second.Pendentes, 130);
  EXPECT_EQ(r.PorCNPJ[0].second.Enviados, 1);
  EXPECT_EQ(r.PorCNPJ[0].second.FalhasDefinitivas, 0);
  EXPECT_EQ(r.PorCNPJ[1].first, outro);
  EXPECT_EQ(r.PorCNPJ[1].second.Pendentes, 1);
  EXPECT_EQ(r.PorCNPJ[1].second.Enviados, 1);
  EXPECT_EQ(r.PorCNPJ[1].second.FalhasDefinitivas, 1);
  EXPECT_EQ(r.PendenteMaisAntigo, "2026-04-30 23:59:59");
  EXPECT_EQ(r.UltimoEnvio, "2026-05-20 09:30:00");
  ASSERT_EQ(r.Falhas.size(), 1u);
  EXPECT_EQ(r.Falhas[0].CNPJ, outro);
  EXPECT_EQ(r.Falhas[0].ChaveUnica, Chave(202));
  EXPECT_EQ(r.Falhas[0].UltimoErro, "HTTP 422 " + Chave(202));
  EXPECT_EQ(r.Falhas[0].Quando, "2026-05-18 07:00:00");
}

TEST_F(QueueSummaryTest, EmptyQueueAndTheLatestFiftyFailures) {
  TLocalQueue q(path_);
  TResumoFila vazio = q.Resumo();
  EXPECT_EQ(vazio.Total.Pendentes + vazio.Total.Enviados + vazio.Total.FalhasDefinitivas, 0);
  EXPECT_TRUE(vazio.PorCNPJ.empty());
  EXPECT_EQ(vazio.PendenteMaisAntigo, "");
  EXPECT_EQ(vazio.UltimoEnvio, "");

  for (int i = 1; i <= 60; ++i) {
    Add(q, kCnpj, i, "falha_definitiva", Format("2026-05-01 10:%02d:00", i - 1));
  }
  TResumoFila r = q.Resumo();
  EXPECT_EQ(r.Total.FalhasDefinitivas, 60);
  ASSERT_EQ(r.Falhas.size(), static_cast<size_t>(kMaxFalhasNoResumo));
  EXPECT_EQ(r.Falhas.front().ChaveUnica, Chave(60));  // the latest first
  EXPECT_EQ(r.Falhas.back().ChaveUnica, Chave(11));
}

TEST_F(QueueSummaryTest, RequeuesOnlyDefinitiveFailures) {
  struct Case {
    const char* nome;
    std::vector<int> chaves;  // empty: all
    int reenfileirados;
    std::vector<std::string> estados;  // rows 1..4 afterwards
  } cases[] = {
      {"todas", {}, 2, {"pendente/0", "pendente/0", "pendente/0", "enviado/0"}},
      {"uma", {2}, 1, {"falha_definitiva/5", "pendente/0", "pendente/0", "enviado/0"}},
      {"pendente, enviada e desconhecida ficam",
       {3, 4, 99},
       0,
       {"falha_definitiva/5", "falha_definitiva/5", "pendente/0", "enviado/0"}},
      {"repetida conta uma vez",
       {1, 1},
       1,
       {"pendente/0", "falha_definitiva/5", "pendente/0", "enviado/0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nome);
    TempDir dir;
    TLocalQueue q(dir.Path("fila.db"));
    Add(q, kCnpj, 1, "falha_definitiva", "2026-05-01 10:00:00");
    Add(q, "99888777000166", 2, "falha_definitiva", "2026-05-01 10:00:00");
    Add(q, kCnpj, 3, "pendente", "2026-05-01 10:00:00");
    Add(q, kCnpj, 4, "enviado", "2026-05-01 10:00:00");
    std::vector<std::string> chaves;
    for (int n : c.chaves) chaves.push_back(Chave(n));
    EXPECT_EQ(q.Reenfileirar(chaves), c.reenfileirados);
    std::vector<std::string> estados;
    for (int n = 1; n <= 4; ++n) {
      TSqliteStatement st = q.Connection().Prepare(
          "SELECT status_envio || '/' || tentativas, sincronizado FROM sync_xml "
          "WHERE chave_unica = :c");
      std::string chave = Chave(n);  // bound, not copied: must outlive the step
      st.BindText(":c", chave);
      ASSERT_TRUE(st.Step()) << n;
      estados.push_back(st.ColumnText(0));
      EXPECT_EQ(st.ColumnInt(1), n == 4 ? 1 : 0);
    }
    EXPECT_EQ(estados, c.estados);
    // A re-queued row is listed again, with its last error kept.
    for (const TQueueItem& item : q.ListarPendentes()) {
      if (item.ChaveUnica == Chave(1)) {
        EXPECT_EQ(item.UltimoErro, "HTTP 422 " + Chave(1));
      }
    }
  }
}

TEST_F(LocalQueueTest, KeepsTheConfigurationFingerprintAcrossRuns) {
  {
    TLocalQueue q(path_);
    EXPECT_EQ(q.LerImpressaoConfig(), std::nullopt);
    q.GravarImpressaoConfig("a");
    q.GravarImpressaoConfig("b");
  }
  TLocalQueue q(path_);
  EXPECT_EQ(q.LerImpressaoConfig(), "b");
  EXPECT_EQ(Scalar(q.Connection(), "SELECT count(*) FROM config_envio"), "1");
}

}  // namespace
}  // namespace lumacor
