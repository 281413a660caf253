// MySQL and MariaDB through the MariaDB or MySQL C client, loaded at run
// time.
#ifndef LUMACOR_COLLECT_MYSQL_MYSQLCONNECTION_H_
#define LUMACOR_COLLECT_MYSQL_MYSQLCONNECTION_H_

#include <memory>

#include "collect/DBDriver.h"

namespace lumacor {

// Not connected yet; nothing is loaded until Connect.
std::unique_ptr<TDBConnection> NewMySQLConnection(const TDBSettings& settings);

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_MYSQL_MYSQLCONNECTION_H_
