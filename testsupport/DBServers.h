// The database servers scripts/test starts, as the tests see them: one
// backend per client driver, with the SQL each needs to build fixtures.
#ifndef LUMACOR_TESTSUPPORT_DBSERVERS_H_
#define LUMACOR_TESTSUPPORT_DBSERVERS_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "collect/DBProvider.h"
#include "config/Config.h"

namespace lumacor::testing {

struct DBBackend {
  const char* name;       // test name suffix
  const char* env;        // LUMACOR_<env>_HOST ... set by scripts/services
  const char* db_type;    // [banco] tipo
  bool odbc;              // reached through ODBC (psqlODBC) as if SQL Server
  const char* text_type;  // a long text column type
  const char* blob_type;  // a binary large object column type
  std::string (*blob_literal)(std::string_view bytes);
  std::string (*concat)(const std::string& a, const std::string& b);
  std::string (*repeat)(const std::string& literal, int times);  // text of `times` copies
  // A stored procedure over `table`'s rows (CHAVE AS CHAVE_UNICA, TXT AS
  // XML, by ID): the statements that create and drop it and the query
  // that reads it.
  struct Procedure {
    std::string create, drop, query;
  };
  Procedure (*procedure)(const std::string& table);
  // The query that tells this connection's id on the server, and the
  // statement that makes the server drop the connection of id `id`.
  const char* session_id_query;
  std::string (*drop_session)(const std::string& id);
  // Whether one query text may hold several statements ("UPDATE ...;
  // SELECT ...").
  bool batches;
};

const DBBackend& PostgreSQLBackend();
const DBBackend& MariaDBBackend();
const DBBackend& FirebirdBackend();
const DBBackend& OdbcPostgreSQLBackend();

// The record that reaches `backend`'s test database, or nullopt when
// scripts/test did not start it or when the platform lacks its client
// (LUMACOR_TEST_NO_CLIENT names the backends without one); `why` then says
// what is missing.
std::optional<TSincConfig> ServerConfig(const DBBackend& backend, std::string* why);

// True when running under scripts/test, where every server must be up.
bool ServersRequired();

// A quoted SQL text literal.
std::string SqlText(std::string_view utf8);

// Points SQL Server connections at psqlODBC for its lifetime (ODBC
// backend only; does nothing for the others).
class OdbcRedirect {
 public:
  OdbcRedirect(const DBBackend& backend, const TSincConfig& config);
  ~OdbcRedirect();
  OdbcRedirect(const OdbcRedirect&) = delete;
  OdbcRedirect& operator=(const OdbcRedirect&) = delete;

 private:
  bool active_;
};

}  // namespace lumacor::testing

// Skips (by hand) or fails (under scripts/test) when the backend's server
// is not available; else stores its record in `config`.
#define LUMACOR_REQUIRE_SERVER(backend, config)                       \
  do {                                                                \
    std::string why_;                                                 \
    auto found_ = ::lumacor::testing::ServerConfig((backend), &why_); \
    if (!found_) {                                                    \
      if (::lumacor::testing::ServersRequired()) FAIL() << why_;      \
      GTEST_SKIP() << why_;                                           \
    }                                                                 \
    (config) = *found_;                                               \
  } while (0)

#endif  // LUMACOR_TESTSUPPORT_DBSERVERS_H_
