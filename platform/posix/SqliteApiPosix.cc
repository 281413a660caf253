// POSIX builds link the system's libsqlite3; assigning each function here
// also checks the table's signatures against sqlite3.h.
#include <sqlite3.h>

#include "queue/SqliteApi.h"

namespace lumacor {

static_assert(kSqliteOk == SQLITE_OK && kSqliteBusy == SQLITE_BUSY &&
              kSqliteTooBig == SQLITE_TOOBIG && kSqliteRow == SQLITE_ROW &&
              kSqliteDone == SQLITE_DONE && kSqliteOpenReadWrite == SQLITE_OPEN_READWRITE &&
              kSqliteOpenCreate == SQLITE_OPEN_CREATE && kSqliteNull == SQLITE_NULL);

const TSqliteApi& SqliteApi() {
  static const TSqliteApi api = [] {
    TSqliteApi a{};
#define LUMACOR_LINK_SQLITE(name) a.name = &::sqlite3_##name;
    LUMACOR_SQLITE_FUNCTIONS(LUMACOR_LINK_SQLITE)
#undef LUMACOR_LINK_SQLITE
    return a;
  }();
  return api;
}

}  // namespace lumacor
