#include "platform/DatabaseClients.h"

namespace lumacor {

std::vector<std::string> UsualClientLibraryNames(DatabaseClient client) {
  switch (client) {
    case DatabaseClient::kFirebird:
      // gds32.dll: the name that Firebird's installer can add for programs
      // written for InterBase.
      return {"fbclient.dll", "gds32.dll"};
    case DatabaseClient::kMySQL:
      return {"libmariadb.dll", "libmysql.dll"};
    case DatabaseClient::kPostgreSQL:
      return {"libpq.dll"};
    case DatabaseClient::kOdbc:
      return {"odbc32.dll"};
  }
  return {};
}

// The stop request of a Windows service comes from the service control
// manager, not from signals a client library could take over.
struct StopSignalsKeeper::Saved {};

StopSignalsKeeper::StopSignalsKeeper() = default;
StopSignalsKeeper::~StopSignalsKeeper() = default;

}  // namespace lumacor
