// Microsoft SQL Server through ODBC (unixODBC's libodbc on POSIX, the
// system's driver manager on Windows), loaded at run time.
#ifndef LUMACOR_COLLECT_ODBC_ODBCCONNECTION_H_
#define LUMACOR_COLLECT_ODBC_ODBCCONNECTION_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "collect/DBDriver.h"

namespace lumacor {

// Not connected yet; nothing is loaded until Connect. `settings.Server` is
// "host,port"; the user name and password are always passed (no
// operating-system authentication).
std::unique_ptr<TDBConnection> NewSqlServerConnection(const TDBSettings& settings);

// The SQL Server driver to use among the `installed` ODBC drivers, the
// newest Microsoft driver first; "" when none is installed.
std::string ChooseSqlServerDriver(const std::vector<std::string>& installed);

// The connection string for SQL Server through `driver`.
std::string SqlServerConnectionString(const std::string& driver, const TDBSettings& settings);

// `value` as a connection-string value: in braces when it holds a
// character the syntax reserves.
std::string OdbcValue(const std::string& value);

// Tests only: while set, SQL Server connections go through `Driver` with
// `ServerAttributes` ("SERVER=...;PORT=...;") in place of the SQL Server
// driver and server text, so the ODBC path can be exercised against
// another database.
struct TOdbcDriverOverride {
  std::string Driver;
  std::string ServerAttributes;
};
void SetOdbcDriverOverrideForTesting(std::optional<TOdbcDriverOverride> override_driver);

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_ODBC_ODBCCONNECTION_H_
