#include "collect/DBProvider.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "collect/SQLExecutor.h"
#include "collect/firebird/FirebirdConnection.h"
#include "collect/odbc/OdbcConnection.h"
#include "testsupport/DBServers.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

using testing::ConfigScope;
using testing::DBBackend;

TSincConfig Banco(const std::string& type) {
  TSincConfig c;
  c.DBType = type;
  c.DBHost = "127.0.0.1";
  c.DBPort = 3050;
  c.DBName = "erp";
  c.DBUser = "usuario";
  c.DBPass = "senha";
  return c;
}

// The message that leaves the constructor, or "" when it succeeds.
std::string CreateError(const TSincConfig& c) {
  ConfigScope scope(c);
  try {
    TDBProvider provider;
    return "";
  } catch (const DBError& e) {
    return e.what();
  }
}

TEST(DBProvider, CreateRefusesInvalidTypesAndIncompleteSettings) {
  auto with = [](std::string type, std::string name, std::string user) {
    TSincConfig c = Banco(type);
    c.DBName = std::move(name);
    c.DBUser = std::move(user);
    return c;
  };
  const std::string invalid =
      "DBProvider.Create falhou: DBProvider.Create: tipo de banco inválido "
      "ou não configurado: \"%s\". Verifique [banco] tipo= no Marlux.ini "
      "(firebird | mysql | postgresql | mssql).";
  auto invalid_for = [&](const std::string& type) {
    std::string m = invalid;
    return m.replace(m.find("%s"), 2, type);
  };
  struct Case {
    TSincConfig config;
    std::string message;
  } cases[] = {
      {with("firebird", "", ""),
       "DBProvider.Create falhou: ConfigFirebird: [banco] nome= não informado no Marlux.ini"},
      {with("firebird", "erp", ""),
       "DBProvider.Create falhou: ConfigFirebird: [banco] usuario= não informado no Marlux.ini"},
      {with("mysql", "", "u"),
       "DBProvider.Create falhou: ConfigMySQL: [banco] nome= não informado no Marlux.ini"},
      {with("PostgreSQL", "", "u"),
       "DBProvider.Create falhou: ConfigPostgreSQL: [banco] nome= não informado no Marlux.ini"},
      {with("mssql", "", "u"),
       "DBProvider.Create falhou: ConfigMSSQL: [banco] nome= não informado no Marlux.ini"},
      {with("", "erp", "u"), invalid_for("")},
      {with("Firebird", "erp", "u"), invalid_for("Firebird")},
      {with("MYSQL", "erp", "u"), invalid_for("MYSQL")},
      {with("MSSql", "erp", "u"), invalid_for("MSSql")},
      {with(" postgresql", "erp", "u"), invalid_for(" postgresql")},
      {with("pg ", "erp", "u"), invalid_for("pg ")},
      {with("oracle", "erp", "u"), invalid_for("oracle")},
      // Accepted: an empty user where only the name is required.
      {with("mysql", "erp", ""), ""},
      {with("pG", "erp", ""), ""},
      {with("POSTGRESQL", "erp", ""), ""},
      {with("mssql", "erp", ""), ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CreateError(c.config), c.message) << "tipo \"" << c.config.DBType << "\"";
  }
}

TEST(DBProvider, EachSystemGetsItsSettings) {
  TSincConfig c = Banco("");
  c.DBClientPath = "/opt/cliente/lib.so";
  struct Case {
    const char* type;
    TDBSystem system;
    std::string server;
    int port;
    std::string charset;
    std::string client;
  } cases[] = {
      {"firebird", dbFirebird, "127.0.0.1", 3050, "UTF8", "/opt/cliente/lib.so"},
      {"mysql", dbMySQL, "127.0.0.1", 3050, "utf8mb4", "/opt/cliente/lib.so"},
      {"pg", dbPostgreSQL, "127.0.0.1", 3050, "UTF8", "/opt/cliente/lib.so"},
      // The port travels in the server text; the client path has no effect.
      {"mssql", dbMSSQL, "127.0.0.1,3050", 0, "", ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.type);
    c.DBType = k.type;
    ConfigScope scope(c);
    TDBProvider provider;
    EXPECT_EQ(provider.System(), k.system);
    const TDBSettings& s = provider.Settings();
    EXPECT_EQ(s.Server, k.server);
    EXPECT_EQ(s.Port, k.port);
    EXPECT_EQ(s.Database, "erp");
    EXPECT_EQ(s.User, "usuario");
    EXPECT_EQ(s.Password, "senha");
    EXPECT_EQ(s.CharSet, k.charset);
    EXPECT_EQ(s.ClientLibrary, k.client);
  }
}

TEST(DBProvider, SqlServerTakesTheCertificateSettingOfTheConfiguration) {
  for (bool confiar : {true, false}) {
    TSincConfig c = Banco("mssql");
    c.DBConfiarCertificado = confiar;
    ConfigScope scope(c);
    TDBProvider provider;
    EXPECT_EQ(provider.Settings().TrustServerCertificate, confiar);
  }
}

TEST(DBProvider, CreateCopiesTheConfiguration) {
  TSincConfig c = Banco("mysql");
  ConfigScope scope(c);
  TDBProvider provider;
  c.DBName = "outro";
  ConfigScope later(c);
  EXPECT_EQ(provider.Settings().Database, "erp");
}

TEST(DBProvider, ClientThatCannotLoadIsReportedByGetConnection) {
  for (const char* type : {"firebird", "mysql", "postgresql"}) {
    SCOPED_TRACE(type);
    TSincConfig c = Banco(type);
    c.DBClientPath = "/nao/existe/libcliente.so";
    ConfigScope scope(c);
    TDBProvider provider;  // loads nothing
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        provider.GetConnection();
        FAIL() << "deveria falhar";
      } catch (const DBError& e) {
        const std::string msg = e.what();
        EXPECT_EQ(msg.rfind("DBProvider.GetConnection: falha ao conectar no banco \"erp\" "
                            "(127.0.0.1:3050) — ",
                            0),
                  0u)
            << msg;
        EXPECT_NE(msg.find("/nao/existe/libcliente.so"), std::string::npos) << msg;
        EXPECT_NE(msg.find("[banco] client_path"), std::string::npos) << msg;
      }
    }
  }
}

TEST(DBProvider, SqlServerFailureShowsHostCommaPortAndPortZero) {
  TSincConfig c = Banco("mssql");
  c.DBPort = 1;  // nothing listens there
  // The driver manager is the system's: a client path is neither used nor
  // suggested.
  c.DBClientPath = "/nao/existe/libodbc.so";
  ConfigScope scope(c);
  TDBProvider provider;
  try {
    provider.GetConnection();
    FAIL() << "deveria falhar";
  } catch (const DBError& e) {
    const std::string msg = e.what();
    EXPECT_EQ(
        msg.rfind("DBProvider.GetConnection: falha ao conectar no banco \"erp\" (127.0.0.1,1:0) — ",
                  0),
        0u)
        << msg;
    EXPECT_EQ(msg.find("client_path"), std::string::npos) << msg;
    EXPECT_EQ(msg.find("/nao/existe"), std::string::npos) << msg;
  }
}

TEST(SqlServerOdbc, DriverIsTheBestSqlServerDriverInstalled) {
  struct Case {
    std::vector<std::string> installed;
    std::string chosen;
  } cases[] = {
      {{"PostgreSQL Unicode", "FreeTDS", "ODBC Driver 17 for SQL Server",
        "ODBC Driver 18 for SQL Server"},
       "ODBC Driver 18 for SQL Server"},
      {{"FreeTDS", "ODBC Driver 17 for SQL Server"}, "ODBC Driver 17 for SQL Server"},
      {{"MySQL ODBC 8.0", "FreeTDS"}, "FreeTDS"},
      {{"SQL Server", "SQL Server Native Client 11.0"}, "SQL Server Native Client 11.0"},
      {{"SQL Server"}, "SQL Server"},
      {{"PostgreSQL Unicode", "PostgreSQL ANSI"}, ""},
      {{}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ChooseSqlServerDriver(c.installed), c.chosen);
}

TEST(SqlServerOdbc, ConnectionStringPassesServerUserAndPassword) {
  TDBSettings s;
  s.Server = "erp.local,1433";
  s.Database = "ERP";
  s.User = "sa";
  s.Password = "p;w}d";
  EXPECT_EQ(SqlServerConnectionString("ODBC Driver 17 for SQL Server", s),
            "DRIVER={ODBC Driver 17 for SQL Server};SERVER=erp.local,1433;DATABASE=ERP;UID=sa;"
            "PWD={p;w}}d};");
  EXPECT_EQ(SqlServerConnectionString("ODBC Driver 18 for SQL Server", s),
            "DRIVER={ODBC Driver 18 for SQL Server};SERVER=erp.local,1433;DATABASE=ERP;UID=sa;"
            "PWD={p;w}}d};TrustServerCertificate=yes;");
  // Turned off, Driver 18 checks the certificate as it does by default.
  s.TrustServerCertificate = false;
  EXPECT_EQ(SqlServerConnectionString("ODBC Driver 18 for SQL Server", s),
            "DRIVER={ODBC Driver 18 for SQL Server};SERVER=erp.local,1433;DATABASE=ERP;UID=sa;"
            "PWD={p;w}}d};");
  EXPECT_EQ(SqlServerConnectionString("FreeTDS", s),
            "DRIVER={FreeTDS};SERVER=erp.local;PORT=1433;DATABASE=ERP;UID=sa;PWD={p;w}}d};");
  s.User.clear();
  s.Password.clear();
  EXPECT_EQ(SqlServerConnectionString("SQL Server", s),
            "DRIVER={SQL Server};SERVER=erp.local,1433;DATABASE=ERP;UID=;PWD=;");
}

TEST(SqlServerOdbc, ValuesAreBracedOnlyWhenNeeded) {
  EXPECT_EQ(OdbcValue("abc"), "abc");
  EXPECT_EQ(OdbcValue(""), "");
  EXPECT_EQ(OdbcValue("a;b"), "{a;b}");
  EXPECT_EQ(OdbcValue("a}b"), "{a}}b}");
  EXPECT_EQ(OdbcValue("{x"), "{{x}");
  EXPECT_EQ(OdbcValue("a=b"), "{a=b}");
  EXPECT_EQ(OdbcValue(" x"), "{ x}");
}

TEST(Firebird, ConnectionLossIsFoundAnywhereInTheStatus) {
  // Codes and argument kinds of the client's status vectors.
  constexpr intptr_t kEnd = 0, kGds = 1, kString = 2, kCString = 3, kNumber = 4;
  constexpr intptr_t kBadDbHandle = 335544324, kNetReadErr = 335544726, kAttShutdown = 335544856,
                     kDsqlError = 335544569, kNoTable = 335544580;
  static const char kText[] = "x";
  const intptr_t text = reinterpret_cast<intptr_t>(kText);
  struct Case {
    const char* name;
    std::vector<intptr_t> status;
    bool lost;
  } cases[] = {
      {"handle the client dropped", {kGds, kBadDbHandle, kEnd}, true},
      {"shutdown", {kGds, kAttShutdown, kEnd}, true},
      {"loss after another error",
       {kGds, kDsqlError, kString, text, kGds, kNetReadErr, kEnd},
       true},
      {"loss after a counted text",
       {kGds, kDsqlError, kCString, 1, text, kGds, kNetReadErr, kEnd},
       true},
      {"query error", {kGds, kDsqlError, kGds, kNoTable, kString, text, kNumber, 7, kEnd}, false},
      // A code in an argument's place is not an error of its own.
      {"number that looks like a loss", {kGds, kDsqlError, kNumber, kBadDbHandle, kEnd}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FirebirdConnectionLost(c.status.data()), c.lost) << c.name;
  }
}

TEST(Firebird, AttachStringAndDates) {
  TDBSettings s;
  s.Database = "/dados/ERP.FDB";
  EXPECT_EQ(FirebirdAttachString(s), "/dados/ERP.FDB");
  s.Server = "servidor";
  EXPECT_EQ(FirebirdAttachString(s), "servidor:/dados/ERP.FDB");
  s.Port = 3051;
  EXPECT_EQ(FirebirdAttachString(s), "servidor/3051:/dados/ERP.FDB");

  EXPECT_EQ(FirebirdDateText(0), "1858-11-17");
  EXPECT_EQ(FirebirdDateText(40587), "1970-01-01");
  EXPECT_EQ(FirebirdDateText(60003), "2023-02-28");
  EXPECT_EQ(FirebirdDateText(60004), "2023-03-01");
  EXPECT_EQ(FirebirdDateText(60369), "2024-02-29");
  EXPECT_EQ(FirebirdDateText(-1), "1858-11-16");
}

class ProviderOnServer : public ::testing::TestWithParam<const DBBackend*> {};

TEST_P(ProviderOnServer, WrongPasswordIsReportedByGetConnectionNotByCreate) {
  TSincConfig c;
  LUMACOR_REQUIRE_SERVER(*GetParam(), c);
  c.DBPass += "-errada";
  ConfigScope scope(c);
  testing::OdbcRedirect odbc(*GetParam(), c);
  TDBProvider provider;  // must not raise
  const std::string server = GetParam()->odbc ? c.DBHost + "," + std::to_string(c.DBPort) + ":0"
                                              : c.DBHost + ":" + std::to_string(c.DBPort);
  const std::string prefix = "DBProvider.GetConnection: falha ao conectar no banco \"" + c.DBName +
                             "\" (" + server + ") — ";
  for (int attempt = 0; attempt < 2; ++attempt) {  // every call tries again
    try {
      provider.GetConnection();
      FAIL() << "senha errada aceita";
    } catch (const DBError& e) {
      const std::string msg = e.what();
      EXPECT_EQ(msg.rfind(prefix, 0), 0u) << msg;
      EXPECT_GT(msg.size(), prefix.size()) << "sem a mensagem do cliente";
    }
  }
}

TEST_P(ProviderOnServer, ConnectionStaysOpenAcrossCalls) {
  TSincConfig c;
  LUMACOR_REQUIRE_SERVER(*GetParam(), c);
  ConfigScope scope(c);
  testing::OdbcRedirect odbc(*GetParam(), c);
  TDBProvider provider;
  TDBConnection* first = provider.GetConnection();
  ASSERT_TRUE(first->Connected());
  EXPECT_EQ(provider.GetConnection(), first);
  auto cursor =
      first->Query(GetParam() == &testing::FirebirdBackend() ? "SELECT 'ok' AS R FROM RDB$DATABASE"
                                                             : "SELECT 'ok' AS r");
  ASSERT_TRUE(cursor->Next());
  EXPECT_EQ(cursor->AsText(cursor->FindColumn("R")), "ok");
  EXPECT_FALSE(cursor->Next());
}

INSTANTIATE_TEST_SUITE_P(Servers, ProviderOnServer,
                         ::testing::Values(&testing::PostgreSQLBackend(),
                                           &testing::MariaDBBackend(), &testing::FirebirdBackend(),
                                           &testing::OdbcPostgreSQLBackend()),
                         [](const auto& info) { return std::string(info.param->name); });

// Starts or stops the spare PostgreSQL cluster of scripts/services.
void SpareServer(const std::string& ctl, const char* action) {
  const std::string cmd = ctl + " " + action;
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

// One test for the whole spare server, so that no two tests stop and start
// it at once.
TEST(DBProviderReconnect, ConnectsOnceTheServerIsBackAndAfterARestartBetweenCycles) {
  const std::string ctl = testing::TestEnv("LUMACOR_PG_SPARE_CTL");
  if (ctl.empty()) {
    if (testing::ServersRequired()) FAIL() << "LUMACOR_PG_SPARE_CTL nao definido";
    GTEST_SKIP() << "servidor PostgreSQL reserva indisponivel: LUMACOR_PG_SPARE_CTL nao definido "
                    "(rode scripts/test; sob o Wine o script de controle do Linux nao roda)";
  }
  TSincConfig c = Banco("postgresql");
  c.DBPort = std::atoi(testing::TestEnv("LUMACOR_PG_SPARE_PORT").c_str());
  c.DBName = testing::TestEnv("LUMACOR_PG_SPARE_DB");
  c.DBUser = testing::TestEnv("LUMACOR_PG_SPARE_USER");
  c.DBPass = testing::TestEnv("LUMACOR_PG_SPARE_PASS");
  ConfigScope scope(c);
  SpareServer(ctl, "stop");
  struct StopAtEnd {
    std::string ctl;
    ~StopAtEnd() { std::system((ctl + " stop").c_str()); }
  } stop_at_end{ctl};

  TDBProvider provider;
  for (int cycle = 0; cycle < 2; ++cycle) {
    EXPECT_THROW(provider.GetConnection(), DBError);
  }
  SpareServer(ctl, "start");
  TDBConnection* conn = provider.GetConnection();
  ASSERT_TRUE(conn->Connected());
  auto cursor = conn->Query("SELECT 1 AS um");
  ASSERT_TRUE(cursor->Next());
  EXPECT_EQ(cursor->AsText(0), "1");
  cursor.reset();

  // Restarted between two cycles of one collector, through the vendor's
  // client and through ODBC: the cycle that meets the dropped connection
  // may fail with the client's message; the next ones collect again.
  for (const DBBackend* backend :
       {&testing::PostgreSQLBackend(), &testing::OdbcPostgreSQLBackend()}) {
    SCOPED_TRACE(backend->name);
    TSincConfig k = c;
    k.DBType = backend->db_type;
    k.SQLColeta =
        "SELECT 'R1' AS chave_unica, '<NFe><infNFe><ide><mod>55</mod></ide></infNFe></NFe>' AS xml";
    ConfigScope cycle_scope(k);
    testing::OdbcRedirect odbc(*backend, k);
    TDBProvider cycles;
    TSQLExecutor executor(&cycles);
    ASSERT_EQ(executor.Executar().size(), 1u);
    SpareServer(ctl, "stop");
    SpareServer(ctl, "start");
    for (int cycle = 2; cycle <= 4; ++cycle) {
      SCOPED_TRACE("ciclo " + std::to_string(cycle));
      try {
        const TXmlRowArray rows = executor.Executar();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].ChaveUnica, "R1");
      } catch (const DBError& e) {
        EXPECT_EQ(cycle, 2) << e.what();
      }
    }
  }
}

}  // namespace
}  // namespace lumacor
