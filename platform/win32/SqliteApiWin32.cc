// Windows loads SQLite from the "sqlite3.dll" beside the executable, never
// from the search path, and keeps it for the life of the process.
#include "platform/DynamicLibrary.h"
#include "platform/Process.h"
#include "queue/SqliteApi.h"

namespace lumacor {

const TSqliteApi& SqliteApi() {
  // A failed load raises and leaves both unset, so a later call tries again.
  static DynamicLibrary* library = new DynamicLibrary(
      DynamicLibrary::Open(FolderOf(Process::Default()->ExecutablePath()) + "\\sqlite3.dll"));
  static const TSqliteApi api = LoadSqliteApi(*library);
  return api;
}

}  // namespace lumacor
