#include "service/SyncRunner.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "testsupport/TestSupport.h"
#include "tools/TestPortal.h"

namespace lumacor {
namespace {

namespace fs = std::filesystem;
using testing::ConfigScope;
using testing::LogCapture;
using testing::PortalAnswer;
using testing::TempDir;
using testing::TestPortal;

const std::string kKey1 = "35260512345678000190550010000000011000000011";
const std::string kKey2 = "35260512345678000190550010000000021000000022";

std::string NFe(const std::string& key) {
  return "<NFe><infNFe Id=\"NFe" + key + "\"><ide><mod>55</mod></ide></infNFe></NFe>";
}

void Exec(const std::string& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
  char* err = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  std::string msg = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << msg;
}

class SyncRunnerTest : public ::testing::Test {
 protected:
  SyncRunnerTest() {
    fs::create_directories(dir_.Path("xml"));
    cfg_.CNPJ = "12345678000190";
    cfg_.TokenEmpresa = "tok";
    cfg_.EndpointAPI = portal_.BaseUrl() + "/api";
    cfg_.ModoColeta = "PASTA";
    cfg_.XMLPaths = dir_.Path("xml");
    cfg_.SQLitePath = dir_.Path("fila/queue.db");
    cfg_.MaxTentativas = 5;
    cfg_.DBType = "firebird";
  }

  std::vector<std::string> Cycle() {
    ConfigScope scope(cfg_);
    LogCapture log;
    {
      TSyncRunner runner;
      runner.Executar();
    }
    return log.Messages();
  }

  TempDir dir_;
  TestPortal portal_;
  TSincConfig cfg_;
};

TEST_F(SyncRunnerTest, EmptyFolderAndQueue) {
  EXPECT_EQ(Cycle(), (std::vector<std::string>{
                         "INFO |=== Inicio do ciclo de sincronizacao ===",
                         "INFO |Varredura XML: encontrados=0 | aceitos=0 | cancelamentos=0 | "
                         "inutilizacoes=0 | ignorados=0 | erros=0",
                         "INFO |Coletados 0 XMLs das pastas.",
                         "INFO |0 itens pendentes para envio.",
                         "INFO |Ciclo concluido - coletados: 0 | enviados: 0 | erros: 0",
                         "INFO |=== Fim do ciclo ===",
                     }));
}

TEST_F(SyncRunnerTest, InvalidConfigurationEndsTheCycleAfterTwoLines) {
  cfg_.TokenEmpresa.clear();
  EXPECT_EQ(Cycle(), (std::vector<std::string>{
                         "INFO |=== Inicio do ciclo de sincronizacao ===",
                         "ERROR|Configuracao invalida. Verifique Marlux.ini.",
                     }));
}

TEST_F(SyncRunnerTest, FailedSendIsCountedAndTheLoopGoesOn) {
  dir_.Write("xml/1.xml", NFe(kKey1));
  dir_.Write("xml/2.xml", NFe(kKey2));
  portal_.SetHandler([](const testing::RecordedRequest& r) {
    if (r.body.find(kKey1) != std::string::npos) return PortalAnswer::Status(422, "recusado");
    return testing::DefaultPortalAnswer(r);
  });
  auto lines = Cycle();
  std::string url = portal_.BaseUrl() + "/api/xml/receber";
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()),
            (std::vector<std::string>{
                "INFO |2 itens pendentes para envio.",
                "WARN |Falha ao enviar " + kKey1 + ": HTTP 422 ao enviar para " + url + ": recusado",
                "INFO |Enviado OK: " + kKey2,
                "INFO |Ciclo concluido - coletados: 2 | enviados: 1 | erros: 1",
                "INFO |=== Fim do ciclo ===",
            }));
}

TEST_F(SyncRunnerTest, UpsertFailureStillSendsEarlierPendingItems) {
  // An earlier cycle left kKey1 pending; this cycle's batch fails.
  fs::create_directories(dir_.Path("fila"));
  Exec(cfg_.SQLitePath,
       "CREATE TABLE sync_xml (  id           INTEGER PRIMARY KEY AUTOINCREMENT,  cnpj         "
       "TEXT NOT NULL,  chave_unica  TEXT NOT NULL,  xml          TEXT NOT NULL,  xml_hash     "
       "TEXT NOT NULL,  sincronizado INTEGER NOT NULL DEFAULT 0,  status_envio TEXT NOT NULL "
       "DEFAULT 'pendente',  tentativas   INTEGER NOT NULL DEFAULT 0,  ultimo_erro  TEXT,  "
       "created_at   DATETIME DEFAULT CURRENT_TIMESTAMP,  updated_at   DATETIME DEFAULT "
       "CURRENT_TIMESTAMP,  last_try_at  DATETIME,  UNIQUE(cnpj, chave_unica));"
       "INSERT INTO sync_xml (cnpj, chave_unica, xml, xml_hash) VALUES ('12345678000190', '" +
           kKey1 + "', '" + NFe(kKey1) + "', 'x');"
       "CREATE TRIGGER falha BEFORE INSERT ON sync_xml WHEN NEW.chave_unica = '" + kKey2 +
           "' BEGIN SELECT RAISE(ABORT, 'falha simulada'); END;");
  dir_.Write("xml/2.xml", NFe(kKey2));
  auto lines = Cycle();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()),
            (std::vector<std::string>{
                "ERROR|Erro ao gravar fila local: falha simulada",
                "INFO |1 itens pendentes para envio.",
                "INFO |Enviado OK: " + kKey1,
                "INFO |Ciclo concluido - coletados: 1 | enviados: 1 | erros: 0",
                "INFO |=== Fim do ciclo ===",
            }));
}

TEST_F(SyncRunnerTest, CollectionErrorSendsNothing) {
  dir_.Write("xml/1.xml", NFe(kKey1));
  Cycle();  // kKey1 delivered
  dir_.Write("xml/1.xml", NFe(kKey1) + "<!-- alterado -->");
  // Database mode against a server that refuses the connection.
  cfg_.ModoColeta = "banco";
  cfg_.DBType = "postgresql";
  cfg_.DBHost = "127.0.0.1";
  cfg_.DBPort = 1;
  cfg_.DBName = "erp";
  cfg_.SQLColeta = "select 1";
  size_t before = portal_.Requests().size();
  auto lines = Cycle();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("ERROR|Erro na coleta: DBProvider.GetConnection: falha ao conectar no "
                           "banco \"erp\" (127.0.0.1:1) \xE2\x80\x94 ",
                           0),
            0u)
      << lines[1];
  EXPECT_EQ(portal_.Requests().size(), before);
}

TEST_F(SyncRunnerTest, ComponentFailureLeavesTheConstructor) {
  cfg_.SQLitePath = dir_.Write("bloqueio", "x") + "/sub/queue.db";
  ConfigScope scope(cfg_);
  EXPECT_ANY_THROW(TSyncRunner runner);
  cfg_.SQLitePath = dir_.Path("q.db");
  cfg_.ModoColeta = "";
  cfg_.DBType = "";
  ConfigScope scope2(cfg_);
  try {
    TSyncRunner runner;
    ADD_FAILURE() << "created without a database type";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()).rfind("DBProvider.Create falhou: ", 0), 0u) << e.what();
  }
}

}  // namespace
}  // namespace lumacor
