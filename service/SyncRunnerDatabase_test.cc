// Whole cycles in database mode against the real servers and the portal
// started outside this process (LUMACOR_PORTAL_URL, as under Wine, where
// the in-process portal cannot be built): this is how the Windows build
// collects from the test PostgreSQL through Wine's odbc32 and psqlODBC.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <string>

#include "collect/DBProvider.h"
#include "platform/HttpClient.h"
#include "platform/Process.h"
#include "service/SyncRunner.h"
#include "testsupport/DBServers.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

using testing::ConfigScope;
using testing::DBBackend;
using testing::LogCapture;
using testing::SqlText;

class DatabaseCycleTest : public ::testing::TestWithParam<const DBBackend*> {
 protected:
  void SetUp() override {
    portal_ = Process::Default()->GetEnv("LUMACOR_PORTAL_URL");
    if (portal_.empty()) GTEST_SKIP() << "LUMACOR_PORTAL_URL nao definida";
    LUMACOR_REQUIRE_SERVER(backend(), config_);
    table_ = "lumacor_ciclo_" + std::to_string(::getpid());
    ConfigScope scope(config_);
    testing::OdbcRedirect odbc(backend(), config_);
    setup_ = std::make_unique<TDBProvider>();
    Exec("CREATE TABLE " + table_ + " (ID INTEGER, CHAVE VARCHAR(100), TXT " + backend().text_type +
         ")");
    procedure_ = backend().procedure(table_);
    Exec(procedure_.create);
  }

  void TearDown() override {
    if (setup_ == nullptr) return;
    Exec(procedure_.drop);
    Exec("DROP TABLE " + table_);
  }

  const DBBackend& backend() const { return *GetParam(); }
  void Exec(const std::string& sql) { setup_->GetConnection()->Query(sql); }

  // How many posts the portal has had for the document `key`.
  int PostsFor(const std::string& key) {
    HttpAnswer a = HttpClient::Create()->Post(portal_ + "/_requests", {}, "");
    EXPECT_EQ(a.status, 200);
    rapidjson::Document d;
    d.Parse(a.body.c_str(), a.body.size());
    if (d.HasParseError() || !d.IsArray()) {
      ADD_FAILURE() << a.body;
      return -1;
    }
    int n = 0;
    for (const auto& r : d.GetArray()) {
      const std::string body(r["body"].GetString(), r["body"].GetStringLength());
      n += body.find("\"chave_unica\":\"" + key + "\"") != std::string::npos;
    }
    return n;
  }

  std::string portal_;
  TSincConfig config_;
  std::string table_;
  DBBackend::Procedure procedure_;
  std::unique_ptr<TDBProvider> setup_;
};

TEST_P(DatabaseCycleTest, RowsReachThePortalOnceAcrossCycles) {
  // A key of this run alone: the portal keeps what other tests sent.
  static int run = 0;
  const std::string pid = std::to_string(::getpid() % 1000000);
  const std::string key = "352605123456780001905500100" + std::string(11 - pid.size(), '0') + pid +
                          std::to_string(++run % 10) + "00000";
  ASSERT_EQ(key.size(), 44u);
  Exec("INSERT INTO " + table_ + " (ID, CHAVE, TXT) VALUES (1, 'pedido-1', " +
       SqlText("<nfeProc><NFe><infNFe Id=\"NFe" + key +
               "\"><ide><mod>55</mod></ide><emit><xNome>Padaria São João</xNome></emit>"
               "</infNFe></NFe></nfeProc>") +
       ")");
  testing::TempDir dir;
  TSincConfig c = config_;
  c.CNPJ = "12345678000190";
  c.TokenEmpresa = "tok";
  c.EndpointAPI = portal_ + "/api";
  c.SQLColeta = procedure_.query;
  c.SQLitePath = dir.Path("fila/queue.db");
  c.MaxTentativas = 5;
  ConfigScope scope(c);
  testing::OdbcRedirect odbc(backend(), c);
  LogCapture log;
  {
    TSyncRunner runner;
    for (int cycle = 0; cycle < 3; ++cycle) runner.Executar();
  }
  int collected = 0;
  for (const auto& m : log.Messages()) {
    collected += m == "INFO |Coletados 1 XMLs do banco.";
    EXPECT_EQ(m.rfind("ERROR", 0), std::string::npos) << m;
  }
  EXPECT_EQ(collected, 3);
  EXPECT_EQ(PostsFor(key), 1);
}

INSTANTIATE_TEST_SUITE_P(Servers, DatabaseCycleTest,
                         ::testing::Values(&testing::PostgreSQLBackend(),
                                           &testing::MariaDBBackend(), &testing::FirebirdBackend(),
                                           &testing::OdbcPostgreSQLBackend()),
                         [](const auto& info) { return std::string(info.param->name); });

}  // namespace
}  // namespace lumacor
