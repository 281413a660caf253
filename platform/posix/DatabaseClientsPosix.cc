#include <signal.h>

#include "platform/DatabaseClients.h"

namespace lumacor {

std::vector<std::string> UsualClientLibraryNames(DatabaseClient client) {
  switch (client) {
    case DatabaseClient::kFirebird:
      return {"libfbclient.so.2", "libfbclient.so", "libgds.so"};
    case DatabaseClient::kMySQL:
      return {"libmariadb.so.3", "libmysqlclient.so.21", "libmysqlclient.so.20",
              "libmariadbclient.so.18", "libmysqlclient.so.18"};
    case DatabaseClient::kPostgreSQL:
      return {"libpq.so.5", "libpq.so"};
    case DatabaseClient::kOdbc:
      return {"libodbc.so.2", "libodbc.so.1", "libodbc.so"};
  }
  return {};
}

struct StopSignalsKeeper::Saved {
  struct sigaction interrupt;
  struct sigaction terminate;
};

StopSignalsKeeper::StopSignalsKeeper() : saved_(std::make_unique<Saved>()) {
  ::sigaction(SIGINT, nullptr, &saved_->interrupt);
  ::sigaction(SIGTERM, nullptr, &saved_->terminate);
}

StopSignalsKeeper::~StopSignalsKeeper() {
  ::sigaction(SIGINT, &saved_->interrupt, nullptr);
  ::sigaction(SIGTERM, &saved_->terminate, nullptr);
}

}  // namespace lumacor
