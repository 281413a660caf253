#include "queue/SqliteApi.h"

#include "platform/DynamicLibrary.h"

namespace lumacor {

TSqliteApi LoadSqliteApi(const DynamicLibrary& library) {
  TSqliteApi api{};
#define LUMACOR_LOAD_SQLITE(name) \
  api.name = reinterpret_cast<decltype(api.name)>(library.Require("sqlite3_" #name));
  LUMACOR_SQLITE_FUNCTIONS(LUMACOR_LOAD_SQLITE)
#undef LUMACOR_LOAD_SQLITE
  return api;
}

}  // namespace lumacor
