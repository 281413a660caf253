#include "service/SyncRunner.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <thread>

#include "common/Version.h"
#include "platform/StopEvent.h"
#include "service/Reenvio.h"
#include "service/StatusReport.h"

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

const std::string kKey1 = "35260512345678000190550010000000011000000018";
const std::string kKey2 = "35260512345678000190550010000000021000000023";
const std::string kKey3 = "35260512345678000190550010000000031000000039";

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

  // One row's state, read once the runner has released the file.
  std::string StateOf(const std::string& key) {
    sqlite3* db = nullptr;
    sqlite3_open(cfg_.SQLitePath.c_str(), &db);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT status_envio, tentativas, last_try_at IS NOT NULL FROM sync_xml "
                       "WHERE chave_unica = ?",
                       -1, &st, nullptr);
    sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    std::string out = "sem linha";
    if (sqlite3_step(st) == SQLITE_ROW) {
      out = std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) + "/" +
            std::to_string(sqlite3_column_int(st, 1)) +
            (sqlite3_column_int(st, 2) ? "/tentado" : "");
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
  }

  int PostsOf(const std::string& key) {
    int n = 0;
    for (const auto& r : portal_.Requests()) n += r.body.find(key) != std::string::npos;
    return n;
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
                         "ERROR|Chaves ausentes ou em branco no Marlux.ini: [API] "
                         "token_contador.",
                     }));
}

TEST_F(SyncRunnerTest, MissingKeysAreNamedWithTheirSections) {
  struct Case {
    const char* nome;
    void (*muda)(TSincConfig&);
    const char* chaves;
  } cases[] = {
      {"api inteira",
       [](TSincConfig& c) {
         c.CNPJ.clear();
         c.TokenEmpresa.clear();
         c.EndpointAPI.clear();
       },
       "[API] cnpj, [API] token_contador, [API] endpoint_contador"},
      {"pastas em branco", [](TSincConfig& c) { c.XMLPaths = " \t"; }, "[XML] paths"},
      {"banco sem sql",
       [](TSincConfig& c) {
         c.ModoColeta = "banco";
         c.DBType = "postgresql";
         c.DBName = "erp";
       },
       "[COLETA] sql ou sql_file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nome);
    TSincConfig saved = cfg_;
    cfg_.DBPass = "senha-secreta";
    c.muda(cfg_);
    auto lines = Cycle();
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[2],
              std::string("ERROR|Chaves ausentes ou em branco no Marlux.ini: ") + c.chaves + ".");
    cfg_ = saved;
  }
  // A missing sql_file is warned about once, by the check itself.
  {
    TSincConfig saved = cfg_;
    cfg_.ModoColeta = "banco";
    cfg_.DBType = "postgresql";
    cfg_.DBName = "erp";
    cfg_.SQLFile = dir_.Path("falta.sql");
    auto lines = Cycle();
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(),
                   "WARN |sql_file nao encontrado: " + cfg_.SQLFile + ". Usando sql= inline."),
        1)
        << ::testing::PrintToString(lines);
    EXPECT_EQ(lines.back(),
              "ERROR|Chaves ausentes ou em branco no Marlux.ini: [COLETA] sql ou "
              "sql_file.");
    cfg_ = saved;
  }
  // Without a database name the runner is not even made; the keys are
  // named all the same.
  cfg_.ModoColeta = "banco";
  ConfigScope scope(cfg_);
  EXPECT_EQ(scope.manager().ChavesAusentes(), "[banco] nome, [COLETA] sql ou sql_file");
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
  EXPECT_EQ(
      std::vector<std::string>(lines.begin() + 3, lines.end()),
      (std::vector<std::string>{
          "INFO |2 itens pendentes para envio.",
          "WARN |Falha ao enviar " + kKey1 + ": HTTP 422 ao enviar para " + url + ": recusado",
          "INFO |Enviado OK: " + kKey2,
          "INFO |Ciclo concluido - coletados: 2 | enviados: 1 | erros: 1",
          "INFO |=== Fim do ciclo ===",
      }));
}

TEST_F(SyncRunnerTest, AnUnavailablePortalEndsTheSendingAndLeavesTheRestUntouched) {
  dir_.Write("xml/1.xml", NFe(kKey1));
  dir_.Write("xml/2.xml", NFe(kKey2));
  dir_.Write("xml/3.xml", NFe(kKey3));
  std::string url = portal_.BaseUrl() + "/api/xml/receber";
  struct Case {
    int code;
    std::vector<std::string> lines;  // from the pending count on
  } cases[] = {
      {503,
       {"INFO |3 itens pendentes para envio.",
        "WARN |Falha ao enviar " + kKey1 + ": HTTP 503 ao enviar para " + url + ": fora do ar",
        "WARN |Portal indisponivel: 2 documentos ficam para o proximo ciclo.",
        "INFO |Ciclo concluido - coletados: 3 | enviados: 0 | erros: 1",
        "INFO |=== Fim do ciclo ==="}},
      // A server error may be this document's alone: the others are tried.
      {500,
       {"INFO |3 itens pendentes para envio.",
        "WARN |Falha ao enviar " + kKey1 + ": HTTP 500 ao enviar para " + url + ": fora do ar",
        "WARN |Falha ao enviar " + kKey2 + ": HTTP 500 ao enviar para " + url + ": fora do ar",
        "WARN |Falha ao enviar " + kKey3 + ": HTTP 500 ao enviar para " + url + ": fora do ar",
        "INFO |Ciclo concluido - coletados: 3 | enviados: 0 | erros: 3",
        "INFO |=== Fim do ciclo ==="}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    fs::remove(cfg_.SQLitePath);
    portal_.SetAnswer(PortalAnswer::Status(c.code, "fora do ar", "text/plain"));
    auto lines = Cycle();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()), c.lines);
    EXPECT_EQ(StateOf(kKey1), "pendente/0/tentado");  // recorded, not counted
    EXPECT_EQ(StateOf(kKey2), c.code == 503 ? "pendente/0" : "pendente/0/tentado");
  }
  // The next cycle starts with the documents not tried.
  portal_.SetHandler(testing::DefaultPortalAnswer);
  portal_.ClearRequests();
  fs::remove(cfg_.SQLitePath);
  portal_.SetAnswer(PortalAnswer::Status(503, "fora do ar", "text/plain"));
  Cycle();
  portal_.SetHandler(testing::DefaultPortalAnswer);
  auto lines = Cycle();
  EXPECT_EQ(lines[4], "INFO |Enviado OK: " + kKey2);
  EXPECT_EQ(lines[5], "INFO |Enviado OK: " + kKey3);
  EXPECT_EQ(lines[6], "INFO |Enviado OK: " + kKey1);
}

TEST_F(SyncRunnerTest, RetryAfterHoldsTheSendsBack) {
  dir_.Write("xml/1.xml", NFe(kKey1));
  PortalAnswer busy = PortalAnswer::Status(429, "devagar", "text/plain");
  busy.headers.emplace_back("Retry-After", "600");
  portal_.SetAnswer(busy);
  ConfigScope scope(cfg_);
  LogCapture log;
  TSyncRunner runner;
  runner.Executar();
  portal_.SetHandler(testing::DefaultPortalAnswer);
  runner.Executar();
  EXPECT_EQ(PostsOf(kKey1), 1);
  auto lines = log.Messages();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "WARN |Portal pediu para aguardar 600 segundos antes de novos envios."),
            lines.end());
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("WARN |Envio suspenso a pedido do portal por mais 6", 0) == 0 &&
           l.find(" segundos: 1 documentos ficam para o proximo ciclo.") != std::string::npos;
  }));
}

TEST_F(SyncRunnerTest, AStopCutsTheSendShortAndLeavesTheItemsAsTheyWere) {
  dir_.Write("xml/1.xml", NFe(kKey1));
  dir_.Write("xml/2.xml", NFe(kKey2));
  PortalAnswer hang;
  hang.action = PortalAnswer::kNeverAnswer;
  portal_.SetAnswer(hang);
  std::vector<std::string> lines;
  {
    ConfigScope scope(cfg_);
    LogCapture log;
    StopEvent stop;
    TSyncRunner runner(&stop);
    std::thread stopper([&] {
      while (portal_.Requests().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      stop.Set();
    });
    auto start = std::chrono::steady_clock::now();
    runner.Executar();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    stopper.join();
    // A stop that came before the cycle: nothing is sent at all.
    runner.Executar();
    lines = log.Messages();
  }
  portal_.ReleaseHeld();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.begin() + 7),
            (std::vector<std::string>{
                "INFO |2 itens pendentes para envio.",
                "INFO |Parada solicitada: 2 documentos ficam para o proximo ciclo.",
                "INFO |Ciclo concluido - coletados: 2 | enviados: 0 | erros: 0",
                "INFO |=== Fim do ciclo ===",
            }));
  EXPECT_EQ(lines.at(11), "INFO |Parada solicitada: 2 documentos ficam para o proximo ciclo.");
  EXPECT_EQ(portal_.Requests().size(), 1u);
  EXPECT_EQ(StateOf(kKey1), "pendente/0");
  EXPECT_EQ(StateOf(kKey2), "pendente/0");
}

TEST_F(SyncRunnerTest, ADeliveryWhoseMarkFailsIsNotPostedAgain) {
  // The queue refuses the sent mark until another document is in it.
  fs::create_directories(dir_.Path("fila"));
  {
    ConfigScope scope(cfg_);
    TLocalQueue make(cfg_.SQLitePath);
  }
  Exec(cfg_.SQLitePath,
       "CREATE TRIGGER falha BEFORE UPDATE ON sync_xml WHEN NEW.status_envio = 'enviado' AND "
       "(SELECT count(*) FROM sync_xml WHERE chave_unica = '" +
           kKey2 + "') = 0 BEGIN SELECT RAISE(ABORT, 'disco cheio'); END;");
  dir_.Write("xml/1.xml", NFe(kKey1));
  ConfigScope scope(cfg_);
  LogCapture log;
  {
    TSyncRunner runner;
    EXPECT_THROW(runner.Executar(), std::exception);
    EXPECT_THROW(runner.Executar(), std::exception);  // the mark fails again: nothing is sent
    EXPECT_EQ(PostsOf(kKey1), 1);

    dir_.Write("xml/2.xml", NFe(kKey2));
    runner.Executar();  // the mark goes through first, then the new document
  }
  EXPECT_EQ(PostsOf(kKey1), 1);
  EXPECT_EQ(PostsOf(kKey2), 1);
  EXPECT_EQ(StateOf(kKey1), "enviado/0");
  EXPECT_EQ(StateOf(kKey2), "enviado/0");
  auto lines = log.Messages();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "INFO |Envio de " + kKey1 + " registrado na fila local."),
            lines.end());
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
           kKey1 + "', '" + NFe(kKey1) +
           "', 'x');"
           "CREATE TRIGGER falha BEFORE INSERT ON sync_xml WHEN NEW.chave_unica = '" +
           kKey2 + "' BEGIN SELECT RAISE(ABORT, 'falha simulada'); END;");
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

// The status files beside the queue, read back as /status reads them.
class SyncRunnerStatusTest : public SyncRunnerTest {
 protected:
  TStatusAgente Status() {
    return StatusDeJson(testing::ReadFileBytes(dir_.Path("fila/status.json")));
  }

  // Every row counted by state, straight from the file.
  TContagemFila Counted() {
    sqlite3* db = nullptr;
    sqlite3_open(cfg_.SQLitePath.c_str(), &db);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT status_envio, count(*) FROM sync_xml GROUP BY 1", -1, &st,
                       nullptr);
    TContagemFila c;
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string s = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      int64_t n = sqlite3_column_int64(st, 1);
      (s == "pendente" ? c.Pendentes : s == "enviado" ? c.Enviados : c.FalhasDefinitivas) += n;
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return c;
  }
};

TEST_F(SyncRunnerStatusTest, StatusFilesAfterEachKindOfCycle) {
  dir_.Write("xml/1.xml", NFe(kKey1));
  dir_.Write("xml/2.xml", NFe(kKey2));
  dir_.Write("xml/3.xml", NFe(kKey3));
  cfg_.MaxTentativas = 1;
  struct Case {
    const char* nome;
    std::function<void(TSincConfig&, TestPortal&)> prepara;
    const char* desfecho;
    const char* mensagem;  // its start
    int coletados, enviados, falhas;
  } cases[] = {
      {"concluido com uma recusa",
       [](TSincConfig&, TestPortal& p) {
         p.SetHandler([](const testing::RecordedRequest& r) {
           if (r.body.find(kKey1) != std::string::npos) return PortalAnswer::Status(422, "no");
           return testing::DefaultPortalAnswer(r);
         });
       },
       kCicloConcluido, "", 3, 2, 1},
      {"portal fora do ar",
       [](TSincConfig&, TestPortal& p) {
         p.SetAnswer(PortalAnswer::Status(503, "fora do ar", "text/plain"));
       },
       kCicloPortalIndisponivel, "", 3, 0, 1},
      {"erro na coleta",
       [](TSincConfig& c, TestPortal&) {
         c.ModoColeta = "banco";
         c.DBType = "postgresql";
         c.DBHost = "127.0.0.1";
         c.DBPort = 1;
         c.DBName = "erp";
         c.SQLColeta = "select 1";
         c.DBPass = "senha-secreta";
       },
       kCicloErroColeta, "DBProvider.GetConnection: ", 0, 0, 0},
      {"configuracao invalida", [](TSincConfig& c, TestPortal&) { c.TokenEmpresa.clear(); },
       kCicloConfigInvalida, "Chaves ausentes ou em branco no Marlux.ini: [API] token_contador.", 0,
       0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nome);
    fs::remove_all(dir_.Path("fila"));
    TSincConfig saved = cfg_;
    c.prepara(cfg_, portal_);
    {
      ConfigScope scope(cfg_);
      LogCapture log;
      TSyncRunner runner;
      EXPECT_EQ(Status().Estado, "iniciado");
      EXPECT_EQ(Status().UltimoCiclo.Inicio, 0);
      runner.Executar();
      TStatusAgente s = Status();
      EXPECT_EQ(s.Estado, "aguardando");
      EXPECT_EQ(s.Versao, kVersion);
      EXPECT_EQ(s.UltimoCiclo.Desfecho, c.desfecho);
      EXPECT_EQ(s.UltimoCiclo.Mensagem.rfind(c.mensagem, 0), 0u) << s.UltimoCiclo.Mensagem;
      EXPECT_EQ(s.UltimoCiclo.Coletados, c.coletados);
      EXPECT_EQ(s.UltimoCiclo.Enviados, c.enviados);
      EXPECT_EQ(s.UltimoCiclo.Falhas, c.falhas);
      EXPECT_GE(s.UltimoCiclo.Fim, s.UltimoCiclo.Inicio);
      EXPECT_EQ(s.ProximoCiclo, s.UltimoCiclo.Fim + cfg_.IntervaloSegundos);
      EXPECT_EQ(s.Modo, IsModoPasta(cfg_.ModoColeta) ? "pasta" : "banco");
    }
    // Once the runner is gone the figures can be checked against the file.
    TStatusAgente s = Status();
    EXPECT_EQ(s.Estado, "parado");
    TContagemFila counted = Counted();
    EXPECT_EQ(s.Fila.Total.Pendentes, counted.Pendentes);
    EXPECT_EQ(s.Fila.Total.Enviados, counted.Enviados);
    EXPECT_EQ(s.Fila.Total.FalhasDefinitivas, counted.FalhasDefinitivas);
    if (counted.FalhasDefinitivas > 0) {
      ASSERT_EQ(s.Fila.Falhas.size(), 1u);
      EXPECT_EQ(s.Fila.Falhas[0].ChaveUnica, kKey1);
      EXPECT_NE(s.Fila.Falhas[0].UltimoErro.find("HTTP 422"), std::string::npos);
    }
    EXPECT_EQ(s.PendenteMaisAntigo != 0, counted.Pendentes > 0);
    EXPECT_EQ(s.UltimoEnvio != 0, counted.Enviados > 0);
    std::string html = testing::ReadFileBytes(dir_.Path("fila/status.html"));
    EXPECT_NE(html.find("<html"), std::string::npos);
    for (std::string f : {"status.json", "status.html"}) {
      EXPECT_EQ(testing::ReadFileBytes(dir_.Path("fila/" + f)).find("senha-secreta"),
                std::string::npos);
      EXPECT_FALSE(fs::exists(dir_.Path("fila/" + f + ".tmp")));
    }
    cfg_ = saved;
    portal_.SetHandler(testing::DefaultPortalAnswer);
  }
}

TEST_F(SyncRunnerStatusTest, AnErrorLeavingTheCycleIsInTheStatus) {
  dir_.Write("xml/1.xml", NFe(kKey1));
  portal_.SetAnswer(PortalAnswer::Status(503, "fora do ar", "text/plain"));
  Cycle();
  portal_.SetHandler(testing::DefaultPortalAnswer);
  // The delivered mark cannot be written: the error leaves the cycle.
  Exec(cfg_.SQLitePath,
       "CREATE TRIGGER recusa BEFORE UPDATE OF status_envio ON sync_xml "
       "WHEN NEW.status_envio = 'enviado' BEGIN SELECT RAISE(ABORT, 'marca recusada'); END");
  ConfigScope scope(cfg_);
  LogCapture log;
  TSyncRunner runner;
  EXPECT_THROW(runner.Executar(), std::exception);
  TStatusAgente s = Status();
  EXPECT_EQ(s.UltimoCiclo.Desfecho, kCicloErro);
  EXPECT_EQ(s.UltimoCiclo.Mensagem, "marca recusada");
  EXPECT_EQ(s.Estado, "aguardando");
  EXPECT_EQ(s.Fila.Total.Pendentes, 1);
}

TEST_F(SyncRunnerStatusTest, AnUnwritableLogIsInTheStatus) {
  ConfigScope scope(cfg_);
  dir_.Write("log", "x");  // a file where the log's folder should be
  TLogger logger(dir_.Path("log/sinc.log"), 0, 0, 0);
  TLogger* saved = GLogger;
  GLogger = &logger;
  {
    TSyncRunner runner;
    runner.Executar();
    TStatusAgente s = Status();
    EXPECT_NE(s.ErroLog, "");
    EXPECT_EQ(Semaforo(s, s.GeradoEm), "Atenção");
    EXPECT_NE(testing::ReadFileBytes(dir_.Path("fila/status.html")).find("(não gravável)"),
              std::string::npos);
  }
  GLogger = saved;
}

TEST_F(SyncRunnerStatusTest, ConfigurationChangeRequeuesDefinitiveFailuresOnce) {
  dir_.Write("xml/1.xml", NFe(kKey1));
  dir_.Write("xml/2.xml", NFe(kKey2));
  cfg_.MaxTentativas = 1;
  cfg_.TokenEmpresa = "token-antigo-secreto";
  portal_.SetAnswer(PortalAnswer::Status(422, "token recusado"));
  Cycle();
  EXPECT_EQ(StateOf(kKey1), "falha_definitiva/1/tentado");
  EXPECT_EQ(StateOf(kKey2), "falha_definitiva/1/tentado");
  portal_.SetHandler(testing::DefaultPortalAnswer);

  const std::string linha =
      "INFO |2 documentos em falha definitiva voltaram para pendente (endpoint, CNPJ ou "
      "token alterado desde a ultima execucao).";
  auto requeue_lines = [](const std::vector<std::string>& lines) {
    return std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
      return l.find("(endpoint, CNPJ ou token alterado desde a ultima execucao).") !=
             std::string::npos;
    });
  };
  struct Step {
    const char* nome;
    void (*muda)(TSincConfig&);
    bool reenfileira;
  } steps[] = {
      {"mesma configuracao", [](TSincConfig&) {}, false},
      {"token corrigido", [](TSincConfig& c) { c.TokenEmpresa = "token-novo-secreto"; }, true},
      {"de novo a mesma", [](TSincConfig&) {}, false},
  };
  for (const Step& st : steps) {
    SCOPED_TRACE(st.nome);
    st.muda(cfg_);
    auto lines = Cycle();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), linha), st.reenfileira ? 1 : 0);
    std::string esperado = st.reenfileira || std::string(st.nome) == "de novo a mesma"
                               ? "enviado/0/tentado"
                               : "falha_definitiva/1/tentado";
    EXPECT_EQ(StateOf(kKey1), esperado);
    EXPECT_EQ(StateOf(kKey2), esperado);
  }
  // Only a fingerprint is kept: no token reaches the queue file.
  std::string bytes = testing::ReadFileBytes(cfg_.SQLitePath);
  EXPECT_EQ(bytes.find("token-antigo-secreto"), std::string::npos);
  EXPECT_EQ(bytes.find("token-novo-secreto"), std::string::npos);

  // Each of the three settings counts.
  for (auto muda : {+[](TSincConfig& c) { c.CNPJ = "99888777000166"; },
                    +[](TSincConfig& c) { c.EndpointAPI += "/"; }}) {
    Exec(cfg_.SQLitePath, "UPDATE sync_xml SET status_envio = 'falha_definitiva'");
    muda(cfg_);
    auto lines = Cycle();
    EXPECT_EQ(requeue_lines(lines), 1) << ::testing::PrintToString(lines);
  }
  // Settings missing (an invalid configuration) are no change to act on.
  TSincConfig saved = cfg_;
  cfg_.TokenEmpresa.clear();
  EXPECT_EQ(requeue_lines(Cycle()), 0);
  cfg_ = saved;
  EXPECT_EQ(requeue_lines(Cycle()), 0);
}

std::vector<std::string>* g_saida = nullptr;
void Saida(const std::string& l) { g_saida->push_back(l); }

TEST_F(SyncRunnerStatusTest, ReenviarWithAndWithoutARunningAgent) {
  dir_.Write("xml/1.xml", NFe(kKey1));
  dir_.Write("xml/2.xml", NFe(kKey2));
  cfg_.MaxTentativas = 1;
  portal_.SetAnswer(PortalAnswer::Status(422, "recusado"));
  Cycle();
  portal_.SetHandler(testing::DefaultPortalAnswer);
  std::vector<std::string> saida;
  g_saida = &saida;
  std::string pedido = dir_.Path("fila/reenviar.pedido");

  {
    ConfigScope scope(cfg_);
    LogCapture log;
    TSyncRunner runner;  // holds the queue
    EXPECT_EQ(ComandoReenviar({kKey1}, Saida), 0);
    ASSERT_EQ(saida.size(), 1u);
    EXPECT_EQ(saida[0], "O agente em execução reenfileira no início do próximo ciclo (pedido em " +
                            pedido + ").");
    EXPECT_TRUE(fs::exists(pedido));
    EXPECT_TRUE(log.Messages().empty());
    runner.Executar();
    auto lines = log.Messages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0],
              "INFO |1 documentos em falha definitiva voltaram para pendente (pedido /reenviar "
              "de 1 chaves).");
    EXPECT_FALSE(fs::exists(pedido));
    EXPECT_FALSE(fs::exists(pedido + ".aplicando"));
  }
  EXPECT_EQ(StateOf(kKey1), "enviado/0/tentado");
  EXPECT_EQ(StateOf(kKey2), "falha_definitiva/1/tentado");

  // No agent: done at once, and logged all the same.
  saida.clear();
  {
    ConfigScope scope(cfg_);
    LogCapture log;
    EXPECT_EQ(ComandoReenviar({}, Saida), 0);
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{"INFO |1 documentos em falha definitiva voltaram para "
                                        "pendente (pedido /reenviar de todas)."}));
  }
  EXPECT_EQ(saida, (std::vector<std::string>{
                       "1 documentos voltaram para pendente; serão enviados no próximo ciclo."}));
  EXPECT_EQ(StateOf(kKey2), "pendente/0/tentado");
  EXPECT_FALSE(fs::exists(pedido));

  // Two requests before the agent's next cycle add up; "all" wins.
  Exec(cfg_.SQLitePath, "UPDATE sync_xml SET status_envio = 'falha_definitiva'");
  GravarPedidoReenvio(pedido, {kKey1});
  GravarPedidoReenvio(pedido, {});
  EXPECT_EQ(testing::ReadFileBytes(pedido), kKey1 + "\n*\n");
  auto lines = Cycle();
  EXPECT_EQ(lines[0],
            "INFO |2 documentos em falha definitiva voltaram para pendente (pedido /reenviar "
            "de todas).");

  // No queue file yet: nothing to re-queue, and nothing made.
  saida.clear();
  cfg_.SQLitePath = dir_.Path("outra/queue.db");
  ConfigScope scope(cfg_);
  EXPECT_EQ(ComandoReenviar({}, Saida), 1);
  EXPECT_EQ(saida, (std::vector<std::string>{"Fila local não encontrada: " + cfg_.SQLitePath}));
  EXPECT_FALSE(fs::exists(dir_.Path("outra")));
  g_saida = nullptr;
}

}  // namespace
}  // namespace lumacor
