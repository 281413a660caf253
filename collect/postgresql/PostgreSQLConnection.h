// PostgreSQL through libpq, loaded at run time.
#ifndef LUMACOR_COLLECT_POSTGRESQL_POSTGRESQLCONNECTION_H_
#define LUMACOR_COLLECT_POSTGRESQL_POSTGRESQLCONNECTION_H_

#include <memory>

#include "collect/DBDriver.h"

namespace lumacor {

// Not connected yet; nothing is loaded until Connect.
std::unique_ptr<TDBConnection> NewPostgreSQLConnection(const TDBSettings& settings);

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_POSTGRESQL_POSTGRESQLCONNECTION_H_
