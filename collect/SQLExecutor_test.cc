// The database collector end to end against the real servers scripts/test
// starts: one suite, run over every client driver.
#include "collect/SQLExecutor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <set>

#include "common/Text.h"
#include "queue/LocalQueue.h"
#include "testsupport/DBServers.h"
#include "testsupport/FiscalFixtures.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

using testing::ConfigScope;
using testing::DBBackend;
using testing::LogCapture;
using testing::SqlText;

const std::string kKey1 = "35230112345678000199550010000001231000001234";
const std::string kKey2 = "41230198765432000155650020000004561000004567";
const std::string kInutDigits = "35231234567800019955001000000100000001000";  // 41 digits

std::string NFe(const std::string& key) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><nfeProc versao=\"4.00\" "
         "xmlns=\"http://www.portalfiscal.inf.br/nfe\"><NFe><infNFe Id=\"NFe" +
         key +
         "\" versao=\"4.00\"><ide><mod>55</mod><natOp>Venda de produção — "
         "ação</natOp></ide></infNFe></NFe></nfeProc>";
}
const std::string kNFCeWithoutKey =
    "<?xml version=\"1.0\"?><NFe><infNFe><ide><mod>65</mod></ide></infNFe></NFe>";
std::string Cancel(const std::string& key) {
  return "<procEventoNFe><evento><infEvento Id=\"ID110111" + key + "01\"><chNFe>" + key +
         "</chNFe><tpEvento>110111</tpEvento></infEvento></evento></procEventoNFe>";
}
const std::string kInut = "<procInutNFe><inutNFe><infInut Id=\"ID" + kInutDigits +
                          "\"><xJust>Numeração não utilizada</xJust></infInut></inutNFe>"
                          "</procInutNFe>";
const std::string kPedido = "<?xml version=\"1.0\"?><pedido><numero>1</numero></pedido>";
const std::string kBom = "\xEF\xBB\xBF";  // U+FEFF in UTF-8

std::string Utf16Le(const std::string& utf8) {
  std::string out;
  for (char16_t u : Utf8ToUtf16(utf8)) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  }
  return out;
}

// UTF-8 text with Portuguese letters only, as Windows-1252 bytes.
std::string Windows1252(const std::string& utf8) {
  std::string out;
  for (char16_t u : Utf8ToUtf16(utf8)) out += static_cast<char>(u);
  return out;
}

class CollectorOnServer : public ::testing::TestWithParam<const DBBackend*> {
 protected:
  void SetUp() override {
    LUMACOR_REQUIRE_SERVER(backend(), config_);
    static std::atomic<int> counter{0};
    table_ = "lumacor_docs_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    // Fixtures go in through the driver under test, so that they need no
    // other client (on Windows only the ODBC one is at hand).
    ConfigScope scope(config_);
    testing::OdbcRedirect odbc(backend(), config_);
    setup_ = std::make_unique<TDBProvider>();
    setup_->GetConnection();
    Exec("CREATE TABLE " + table_ + " (ID INTEGER NOT NULL, CHAVE VARCHAR(100), TXT " +
         backend().text_type + ", BIN " + backend().blob_type + ")");
  }

  void TearDown() override {
    if (setup_ == nullptr) return;
    if (!procedure_drop_.empty()) Exec(procedure_drop_);
    Exec("DROP TABLE " + table_);
  }

  // The procedure of the backend over this test's table; dropped at the end.
  std::string CreateProcedure() {
    const auto proc = backend().procedure(table_);
    Exec(proc.create);
    procedure_drop_ = proc.drop;
    return proc.query;
  }

  // The collector of one agent run: one provider and one connection for
  // all the cycles it runs.
  struct Agent {
    Agent(const DBBackend& backend, TSincConfig config)
        : scope(config), odbc(backend, config), executor(&provider) {}
    ConfigScope scope;
    testing::OdbcRedirect odbc;
    TDBProvider provider;
    TSQLExecutor executor;
  };
  std::unique_ptr<Agent> NewAgent(const std::string& sql) {
    TSincConfig c = config_;
    c.SQLColeta = sql;
    return std::make_unique<Agent>(backend(), c);
  }

  // The server's id for the connection of `agent`.
  std::string SessionId(Agent& agent) {
    auto cursor = agent.provider.GetConnection()->Query(backend().session_id_query);
    EXPECT_TRUE(cursor->Next());
    return cursor->AsText(0);
  }

  const DBBackend& backend() const { return *GetParam(); }

  void Exec(const std::string& sql) { setup_->GetConnection()->Query(sql); }

  // NULL where a value is absent; `bin` goes in as bytes.
  void Insert(int id, std::optional<std::string> chave, std::optional<std::string> txt,
              std::optional<std::string> bin = std::nullopt) {
    auto lit = [](const std::optional<std::string>& v) { return v ? SqlText(*v) : "NULL"; };
    Exec("INSERT INTO " + table_ + " (ID, CHAVE, TXT, BIN) VALUES (" + std::to_string(id) + ", " +
         lit(chave) + ", " + lit(txt) + ", " +
         (bin ? backend().blob_literal(*bin) : std::string("NULL")) + ")");
  }

  TXmlRowArray Collect(const std::string& sql, bool log_ignorados = true,
                       bool enviar_homologacao = false) {
    TSincConfig c = config_;
    c.SQLColeta = sql;
    c.LogIgnorados = log_ignorados;
    c.EnviarHomologacao = enviar_homologacao;
    ConfigScope scope(c);
    testing::OdbcRedirect odbc(backend(), config_);
    TDBProvider provider;
    TSQLExecutor executor(&provider);
    return executor.Executar();
  }

  std::string TextQuery() const {
    return "SELECT chave AS chave_unica, txt AS xml FROM " + table_ + " ORDER BY id";
  }
  std::string BlobQuery() const {
    return "SELECT CHAVE AS CHAVE_UNICA, BIN AS XML FROM " + table_ + " ORDER BY ID";
  }

  TSincConfig config_;
  std::string table_;
  std::string procedure_drop_;
  std::unique_ptr<TDBProvider> setup_;
};

TEST_P(CollectorOnServer, TextRowsFollowTheIdentifierRules) {
  Insert(1, "  PED-1 \t", "\r\n\r\n" + NFe(kKey1));
  Insert(2, "PED-2", kBom + kNFCeWithoutKey);
  Insert(3, "PED-3", Cancel(kKey1));
  Insert(4, "PED-4", "\n" + kInut);
  Insert(5, "", kPedido);
  Insert(6, std::nullopt, std::nullopt);
  Insert(7, "PED-7", std::nullopt);
  Insert(8, "PED-8", kPedido);
  Insert(9, "", "\r\n" + NFe(kKey2) + "\r\n");

  for (bool log_ignorados : {true, false}) {
    SCOPED_TRACE(log_ignorados ? "LogIgnorados" : "sem LogIgnorados");
    LogCapture log;
    const TXmlRowArray rows = Collect(TextQuery(), log_ignorados);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].ChaveUnica, kKey1);
    EXPECT_EQ(rows[0].XML, NFe(kKey1));
    EXPECT_EQ(rows[1].ChaveUnica, "PED-2");
    EXPECT_EQ(rows[1].XML, kNFCeWithoutKey);
    EXPECT_EQ(rows[2].ChaveUnica, kKey1);
    EXPECT_EQ(rows[2].XML, Cancel(kKey1));
    EXPECT_EQ(rows[3].ChaveUnica, "INUT-" + kInutDigits);
    EXPECT_EQ(rows[3].XML, kInut);
    EXPECT_EQ(rows[4].ChaveUnica, kKey2);  // the key stands in for an empty CHAVE_UNICA
    EXPECT_EQ(rows[4].XML, NFe(kKey2));

    std::vector<std::string> expected = {
        "INFO |Evento de cancelamento detectado no banco: " + kKey1,
        "INFO |Inutilizacao detectada no banco: INUT-" + kInutDigits};
    if (log_ignorados) {
      // Rows 7 (NULL XML) and 8; rows 5 and 6 have no identifier and go silently.
      expected.push_back("WARN |XML ignorado, nao e documento fiscal/evento.");
      expected.push_back("WARN |XML ignorado, nao e documento fiscal/evento.");
    }
    EXPECT_EQ(log.Messages(), expected);
  }
}

std::string SampleDocument(const std::string& name) {
  return testing::ReadFileBytes(std::string(LUMACOR_SOURCE_DIR) + "/collect/testdata/" + name);
}

TEST_P(CollectorOnServer, AlphanumericDocumentsAndTestEnvironment) {
  using testing::FiscalFixture;
  const auto& fixtures = testing::FiscalFixtures();
  for (size_t i = 0; i < fixtures.size(); ++i) {
    Insert(static_cast<int>(i), "ERP-" + std::to_string(i), SampleDocument(fixtures[i].arquivo));
  }
  // An ERP's own identifier with letters stands for a document without key.
  const std::string pedido = std::string(testing::kCnpjAlfa) + "-PED-9";
  Insert(100, pedido, kNFCeWithoutKey);

  for (bool enviar_homologacao : {false, true}) {
    SCOPED_TRACE(enviar_homologacao ? "enviar homologacao" : "ignorar homologacao");
    LogCapture log;
    const TXmlRowArray rows = Collect(TextQuery(), true, enviar_homologacao);
    std::vector<std::string> got, want, lines;
    for (const auto& row : rows) got.push_back(row.ChaveUnica + "|" + row.XML);
    for (const FiscalFixture& f : fixtures) {
      if (f.homologacao && !enviar_homologacao) {
        lines.push_back("WARN |XML de homologacao ignorado: " + f.chave);
        continue;
      }
      // The normalised text: the samples end in a line break.
      want.push_back(f.chave + "|" + TrimControlCopy(SampleDocument(f.arquivo)));
      if (f.tipo == FiscalFixture::kCancelamento) {
        lines.push_back("INFO |Evento de cancelamento detectado no banco: " + f.chave);
      } else if (f.tipo == FiscalFixture::kInutilizacao) {
        lines.push_back("INFO |Inutilizacao detectada no banco: " + f.chave);
      }
    }
    want.push_back(pedido + "|" + kNFCeWithoutKey);
    EXPECT_EQ(got, want);
    EXPECT_EQ(log.Messages(), lines);
  }
}

TEST_P(CollectorOnServer, BlobRowsAreDecodedByTheirByteOrderMark) {
  Insert(1, "B1", std::nullopt, kBom + "\r\n" + NFe(kKey1));
  Insert(2, "B2", std::nullopt, NFe(kKey2));  // UTF-8 with accents, no mark
  Insert(3, "B3", std::nullopt, "\xFF\xFE" + Utf16Le(Cancel(kKey2)));
  Insert(4, "B4", std::nullopt, std::nullopt);
  Insert(5, "B5", std::nullopt, "\xFE\xFF" + std::string("\0<\0p\0/\0>", 8));

  LogCapture log;
  const TXmlRowArray rows = Collect(BlobQuery());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].ChaveUnica, kKey1);
  EXPECT_EQ(rows[0].XML, NFe(kKey1));
  EXPECT_EQ(rows[1].ChaveUnica, kKey2);
  EXPECT_EQ(rows[1].XML, NFe(kKey2));
  EXPECT_EQ(rows[2].ChaveUnica, kKey2);
  EXPECT_EQ(rows[2].XML, Cancel(kKey2));
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{"INFO |Evento de cancelamento detectado no banco: " + kKey2,
                                      "WARN |XML ignorado, nao e documento fiscal/evento.",
                                      "WARN |XML ignorado, nao e documento fiscal/evento."}));
}

TEST_P(CollectorOnServer, LegacyEncodedBlobFailsTheWholeRun) {
  Insert(1, "B1", std::nullopt, NFe(kKey1));
  Insert(2, "B2", std::nullopt, "<?xml version=\"1.0\"?><NFe><mod>55</mod><x>a\xE7\xE3o</x></NFe>");
  Insert(3, "B3", std::nullopt, NFe(kKey2));
  try {
    Collect(BlobQuery());
    FAIL() << "a BLOB em Windows-1252 deveria falhar a coleta";
  } catch (const EncodingError& e) {
    EXPECT_STREQ(e.what(), kNoMappingMessage);
  }
  // The failure leaves the database usable for the next cycle.
  Exec("DELETE FROM " + table_ + " WHERE ID = 2");
  EXPECT_EQ(Collect(BlobQuery()).size(), 2u);
}

TEST_P(CollectorOnServer, LargeDocumentsAreReadWhole) {
  const std::string chunk = "<item>Produção ação</item>";
  const int times = 9000;  // ~250 KB: several client segments and chunks
  const std::string body = backend().repeat(SqlText(chunk), times);
  const std::string head =
      "<?xml version=\"1.0\"?><NFe><infNFe Id=\"NFe" + kKey1 + "\"><ide><mod>55</mod></ide>";
  Insert(1, "L1", std::nullopt);
  Exec("UPDATE " + table_ + " SET TXT = " +
       backend().concat(backend().concat(SqlText(head), body), SqlText("</infNFe></NFe>")) +
       " WHERE ID = 1");
  std::string expected = head;
  for (int i = 0; i < times; ++i) expected += chunk;
  expected += "</infNFe></NFe>";

  const TXmlRowArray rows = Collect(TextQuery());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].ChaveUnica, kKey1);
  EXPECT_EQ(rows[0].XML.size(), expected.size());
  EXPECT_TRUE(rows[0].XML == expected);
}

TEST_P(CollectorOnServer, MissingColumnsAreReported) {
  Insert(1, "A", NFe(kKey1));
  struct Case {
    std::string select;
    const char* message;
  } cases[] = {
      {"SELECT txt AS xml FROM ", "SQL nao retornou coluna CHAVE_UNICA."},
      {"SELECT chave AS chave_unica, txt AS xml_doc FROM ",
       "SQL nao retornou coluna XML. Use alias: XML_COLUNA AS XML."},
      {"SELECT chave, txt FROM ", "SQL nao retornou coluna CHAVE_UNICA."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.select);
    try {
      Collect(c.select + table_);
      FAIL() << "deveria falhar";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST_P(CollectorOnServer, NoRowsGiveAnEmptyArrayAndNoMessage) {
  LogCapture log;
  EXPECT_TRUE(Collect(TextQuery()).empty());
  EXPECT_TRUE(log.Messages().empty());
}

TEST_P(CollectorOnServer, QueryErrorCarriesTheClientMessage) {
  try {
    Collect("SELECT chave AS chave_unica, txt AS xml FROM tabela_que_nao_existe_" + table_);
    FAIL() << "deveria falhar";
  } catch (const DBError& e) {
    EXPECT_NE(std::string(e.what()), "");
    EXPECT_EQ(std::string(e.what()).find("DBProvider"), std::string::npos) << e.what();
  }
  Insert(1, "A", NFe(kKey1));
  EXPECT_EQ(Collect(TextQuery()).size(), 1u);
}

std::vector<std::string> Keys(const TXmlRowArray& rows) {
  std::vector<std::string> keys;
  for (const auto& r : rows) keys.push_back(r.ChaveUnica);
  return keys;
}

TEST_P(CollectorOnServer, StoredProcedureRunsCycleAfterCycleOnOneConnection) {
  const std::string call = CreateProcedure();
  Insert(1, "P1", NFe(kKey1));
  auto agent = NewAgent(call);
  TDBConnection* connection = agent->provider.GetConnection();
  // A result the client left unread would fail the second cycle, or the
  // third, with "Commands out of sync" and the like.
  for (int cycle = 1; cycle <= 3; ++cycle) {
    SCOPED_TRACE("ciclo " + std::to_string(cycle));
    if (cycle == 2) Insert(2, "P2", Cancel(kKey2));
    const TXmlRowArray rows = agent->executor.Executar();
    const std::vector<std::string> expected =
        cycle == 1 ? std::vector<std::string>{kKey1} : std::vector<std::string>{kKey1, kKey2};
    EXPECT_EQ(Keys(rows), expected);
    EXPECT_EQ(agent->provider.GetConnection(), connection);
    EXPECT_TRUE(connection->Connected());
  }
  // The connection still takes plain queries after the procedure.
  auto plain = connection->Query(TextQuery());
  EXPECT_TRUE(plain->Next());
}

TEST_P(CollectorOnServer, ConnectionDroppedByTheServerIsReopenedAtTheNextCycle) {
  Insert(1, "D1", NFe(kKey1));
  auto agent = NewAgent(TextQuery());
  ASSERT_EQ(agent->executor.Executar().size(), 1u);
  const std::string id = SessionId(*agent);
  Exec(backend().drop_session(id));
  // The cycle that meets the dropped connection may fail with the client's
  // message; the one after it must connect again and collect.
  int failed = 0;
  for (int cycle = 2; cycle <= 4; ++cycle) {
    SCOPED_TRACE("ciclo " + std::to_string(cycle));
    try {
      EXPECT_EQ(Keys(agent->executor.Executar()), std::vector<std::string>{kKey1});
    } catch (const DBError& e) {
      ++failed;
      EXPECT_EQ(cycle, 2) << e.what();
    }
  }
  EXPECT_LE(failed, 1);
  EXPECT_NE(SessionId(*agent), id);
}

TEST_P(CollectorOnServer, BatchReadsItsFirstResultSet) {
  if (!backend().batches) {
    GTEST_SKIP() << "o cliente do " << backend().name << " roda um comando por consulta";
  }
  Insert(1, "B1", NFe(kKey1));
  // Statements without rows before the query: no row touched, some rows
  // touched, a setting.
  for (const std::string& before :
       {"UPDATE " + table_ + " SET id = id WHERE id < 0; ",
        "UPDATE " + table_ + " SET chave = chave; SET search_path TO public; "}) {
    SCOPED_TRACE(before);
    auto agent = NewAgent(before + TextQuery());
    for (int cycle = 1; cycle <= 2; ++cycle) {
      EXPECT_EQ(Keys(agent->executor.Executar()), std::vector<std::string>{kKey1});
    }
  }
}

TEST_P(CollectorOnServer, LegacyTextColumnsAreReadAsAnsi) {
  const std::string doc = "<?xml version=\"1.0\"?><NFe><infNFe Id=\"NFe" + kKey1 +
                          "\"><ide><mod>55</mod><natOp>Venda de produ\xC3\xA7\xC3\xA3o</natOp>"
                          "</ide></infNFe></NFe>";
  std::string column, value;
  if (&backend() == &testing::FirebirdBackend()) {
    // CHARACTER SET NONE: the client hands out the bytes as stored, here
    // Windows-1252 as an ERP on Windows writes them.
    column = "VARCHAR(300) CHARACTER SET NONE";
    value =
        "CAST(" + backend().blob_literal(Windows1252(doc)) + " AS VARCHAR(300) CHARACTER SET NONE)";
  } else if (&backend() == &testing::MariaDBBackend()) {
    // Latin-1: the server converts it to the connection's UTF-8.
    column = "VARCHAR(300) CHARACTER SET latin1";
    value = SqlText(doc);
  } else {
    GTEST_SKIP() << "o PostgreSQL guarda todo texto na codificacao do banco";
  }
  Exec("ALTER TABLE " + table_ + " ADD LEGADO " + column);
  Insert(1, "L1", std::nullopt);
  Exec("UPDATE " + table_ + " SET LEGADO = " + value + " WHERE ID = 1");
  const TXmlRowArray rows =
      Collect("SELECT CHAVE AS CHAVE_UNICA, LEGADO AS XML FROM " + table_ + " ORDER BY ID");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].ChaveUnica, kKey1);
  EXPECT_EQ(rows[0].XML, doc);
}

// Key number `n` of one issuer, for tests that need many documents.
std::string KeyN(int n) {
  return "352301123456780001995500100000" + Format("%04d", n) + "1000001234";
}
std::string NFeV(const std::string& key, const std::string& natop) {
  return "<nfeProc versao=\"4.00\"><NFe><infNFe Id=\"NFe" + key + "\"><ide><mod>55</mod><natOp>" +
         natop + "</natOp></ide></infNFe></NFe></nfeProc>";
}

// Every row of a queue, ids, texts and states included.
std::vector<std::string> DumpQueue(TLocalQueue& q) {
  TSqliteStatement st = q.Connection().Prepare(
      "SELECT id, cnpj, chave_unica, xml, xml_hash, sincronizado, status_envio, tentativas, "
      "COALESCE(ultimo_erro, '-') FROM sync_xml ORDER BY id");
  std::vector<std::string> rows;
  while (st.Step()) {
    std::string r;
    for (int i = 0; i < 9; ++i) r += st.ColumnText(i) + "|";
    rows.push_back(r);
  }
  return rows;
}

std::vector<std::string> Pending(TLocalQueue& q) {
  std::vector<std::string> out;
  for (const TQueueItem& i : q.ListarPendentes()) {
    out.push_back(std::to_string(i.ID) + "|" + i.ChaveUnica + "|" + i.XML + "|" + i.XMLHash);
  }
  return out;
}

// The collector that reads the stored fingerprints against the one that
// hands every text to the queue (what the cycle did before): over cycles of
// a mixed query the queue must end each cycle with the same rows, the same
// texts to send in the same order, and the log must say the same.
TEST_P(CollectorOnServer, UnchangedRowsWithoutTextStoreAndSendAsTheirTexts) {
  const std::string kA = KeyN(1), kB = KeyN(2), kC = KeyN(3), kD = KeyN(4), kE = KeyN(5);
  const auto& fixtures = testing::FiscalFixtures();
  Insert(1, "P1", NFe(kA));
  Insert(3, "P3", NFeV(kB, "v1"));
  Insert(5, "P5", NFe(kD));
  Insert(6, "P6", Cancel(kD));  // the NF-e is not delivered until cycle 3
  Insert(7, "P7", Cancel(kE));  // the event listed before its NF-e
  Insert(8, "P8", NFe(kE));
  Insert(9, "P9", kInut);
  Insert(10, "P10", kPedido);
  // Three copies of one NF-e: the authorised one must stay.
  for (int i = 0; i < 3; ++i) Insert(11 + i, "F", SampleDocument(fixtures[i].arquivo));

  testing::TempDir dir;
  TSincConfig c = config_;
  c.SQLColeta = TextQuery();
  c.CNPJ = "12345678000190";
  c.MaxTentativas = 5;
  c.LogIgnorados = true;
  ConfigScope scope(c);
  testing::OdbcRedirect odbc(backend(), config_);
  TDBProvider provider;
  TSQLExecutor antigo(&provider);
  TSQLExecutor novo(&provider);
  TLocalQueue fila_antiga(dir.Path("antiga/queue.db"));
  TLocalQueue fila_nova(dir.Path("nova/queue.db"));
  novo.UsarEstado(&fila_nova);
  // And one that holds no text at all: every text it needs kept aside by
  // its queue, as a first run over a large archive does.
  TSQLExecutor aparte(&provider);
  TLocalQueue fila_aparte(dir.Path("aparte/queue.db"));
  aparte.UsarEstado(&fila_aparte);
  aparte.LimitarTextosEmMemoria(0);

  for (int cycle = 1; cycle <= 5; ++cycle) {
    SCOPED_TRACE("ciclo " + std::to_string(cycle));
    if (cycle == 2) {
      Insert(2, "P2", Cancel(kA));
      Insert(4, "P4", NFe(kC));
    }
    if (cycle == 3)
      Exec("UPDATE " + table_ + " SET TXT = " + SqlText(NFeV(kB, "v2")) + " WHERE ID = 3");

    LogCapture log_antigo;
    TXmlRowArray todas = antigo.Executar();
    for (TXmlRow& r : todas) r.Hash.clear();  // the queue takes everything from the text
    const auto linhas_antigas = log_antigo.Messages();
    LogCapture log_novo;
    const TXmlRowArray rows = novo.Executar();
    EXPECT_EQ(log_novo.Messages(), linhas_antigas);
    for (const TXmlRow& r : rows) {
      // A text equal to the stored one is never held.
      if (!r.XML.empty()) {
        EXPECT_NE(fila_nova.HashGravado(c.CNPJ, r.ChaveUnica), r.Hash);
      }
    }
    EXPECT_EQ(novo.Coletados(), static_cast<int>(todas.size()));
    EXPECT_EQ(antigo.Coletados(), static_cast<int>(todas.size()));

    LogCapture log_aparte;
    const TXmlRowArray sem_textos = aparte.Executar();
    EXPECT_EQ(log_aparte.Messages(), linhas_antigas);
    ASSERT_EQ(sem_textos.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_TRUE(sem_textos[i].XML.empty());
      EXPECT_EQ(sem_textos[i].Hash, rows[i].Hash);
      // Kept aside exactly when the other one holds it.
      if (!rows[i].XML.empty()) {
        EXPECT_EQ(aparte.TextoDe(sem_textos[i]), rows[i].XML);
      }
    }

    fila_antiga.UpsertEmLote(todas, c.CNPJ);
    fila_nova.UpsertEmLote(rows, c.CNPJ);
    fila_aparte.UpsertEmLote(sem_textos, c.CNPJ, &aparte);
    EXPECT_EQ(DumpQueue(fila_nova), DumpQueue(fila_antiga));
    EXPECT_EQ(DumpQueue(fila_aparte), DumpQueue(fila_antiga));
    const std::vector<std::string> pendentes = Pending(fila_antiga);
    EXPECT_EQ(Pending(fila_nova), pendentes);
    EXPECT_EQ(Pending(fila_aparte), pendentes);

    // What was handed over without its text: unchanged rows, and only
    // beside a row of their identifier that has one.
    size_t sem_texto = 0;
    for (const TXmlRow& r : rows) {
      EXPECT_FALSE(r.Hash.empty());
      if (!r.XML.empty()) continue;
      ++sem_texto;
      EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](const TXmlRow& o) {
        return o.ChaveUnica == r.ChaveUnica && !o.XML.empty();
      })) << r.ChaveUnica;
    }
    if (cycle == 2) {
      EXPECT_GE(sem_texto, 1u);  // kA's NF-e beside its new cancellation
    }
    if (cycle == 5) {
      // Nothing changed: what still comes is the NF-e copies that differ
      // from their stored row (its cancellation, an authorised copy) and,
      // without text, what they sit beside.
      std::set<std::string> keys;
      for (const TXmlRow& r : rows) keys.insert(r.ChaveUnica);
      EXPECT_EQ(keys, (std::set<std::string>{kA, kD, kE, fixtures[0].chave}));
    }
    // The portal has it all, but kD's NF-e only from the third cycle on.
    for (TLocalQueue* q : {&fila_antiga, &fila_nova, &fila_aparte}) {
      for (const TQueueItem& item : q->ListarPendentes()) {
        if (item.ChaveUnica == kD && cycle < 3) continue;
        q->MarcarEnviado(item);
      }
    }
  }
  // kD went out as its NF-e and then as its cancellation; kB in its new text.
  const std::vector<std::string> fim = DumpQueue(fila_nova);
  auto row_of = [&](const std::string& key) {
    for (const std::string& r : fim) {
      if (r.find("|" + key + "|") != std::string::npos) return r;
    }
    return std::string();
  };
  EXPECT_NE(row_of(kD).find(Cancel(kD)), std::string::npos);
  EXPECT_NE(row_of(kA).find(Cancel(kA)), std::string::npos);
  EXPECT_NE(row_of(kB).find(NFeV(kB, "v2")), std::string::npos);
  EXPECT_NE(row_of(kE).find(Cancel(kE)), std::string::npos);
  EXPECT_NE(row_of(fixtures[1].chave).find(TrimControlCopy(SampleDocument(fixtures[1].arquivo))),
            std::string::npos);
}

// A read left halfway, or failed by the server after some rows, leaves the
// connection ready for the next cycle's query.
TEST_P(CollectorOnServer, ReadsLeftHalfwayOrFailedFreeTheConnection) {
  for (int i = 1; i <= 50; ++i) Insert(i, "R" + std::to_string(i), NFe(KeyN(i)));
  auto agent = NewAgent(TextQuery());
  TDBConnection* connection = agent->provider.GetConnection();
  {
    auto cursor = connection->Query(TextQuery());
    ASSERT_TRUE(cursor->Next());
    ASSERT_TRUE(cursor->Next());
  }
  EXPECT_EQ(agent->executor.Executar().size(), 50u);
  // A second query while a cursor still reads (one connection's clients
  // abandon the first).
  auto first = connection->Query(TextQuery());
  ASSERT_TRUE(first->Next());
  EXPECT_EQ(agent->executor.Executar().size(), 50u);
  first->Next();
  first.reset();

  if (&backend() == &testing::PostgreSQLBackend()) {
    // The server fails on the third row, after it has sent two.
    auto failing = NewAgent(
        "SELECT 'K' || g AS chave_unica, (1 / (3 - g))::text AS xml FROM generate_series(1, 5) g");
    try {
      failing->executor.Executar();
      FAIL() << "deveria falhar";
    } catch (const DBError& e) {
      EXPECT_NE(std::string(e.what()).find("division by zero"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(failing->provider.GetConnection()->Connected());
    auto after = failing->provider.GetConnection()->Query(TextQuery());
    int n = 0;
    while (after->Next()) ++n;
    EXPECT_EQ(n, 50);
  }
  EXPECT_EQ(agent->executor.Executar().size(), 50u);
}

INSTANTIATE_TEST_SUITE_P(Servers, CollectorOnServer,
                         ::testing::Values(&testing::PostgreSQLBackend(),
                                           &testing::MariaDBBackend(), &testing::FirebirdBackend(),
                                           &testing::OdbcPostgreSQLBackend()),
                         [](const auto& info) { return std::string(info.param->name); });

// Needs no server: the query is checked before any connection.
TEST(SQLExecutor, BlankQueryFailsBeforeConnecting) {
  TSincConfig c;
  c.DBType = "postgresql";
  c.DBHost = "127.0.0.1";
  c.DBPort = 1;  // nothing listens there: a connection attempt would fail differently
  c.DBName = "erp";
  c.SQLColeta = " \r\n\t \n";
  ConfigScope scope(c);
  TDBProvider provider;
  TSQLExecutor executor(&provider);
  try {
    executor.Executar();
    FAIL() << "deveria falhar";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "SQL de coleta nao configurado. Defina sql_file= ou sql= no Marlux.ini.");
  }
}

}  // namespace
}  // namespace lumacor
