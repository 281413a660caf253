// Windows loads SQLite from "sqlite3.dll" beside the executable (start-up
// checks that it is there), never through the DLL search path.
#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/Process.h"
#include "queue/SqliteApi.h"

namespace lumacor {

namespace {

struct LoadedSqlite {
  DynamicLibrary library;
  TSqliteApi api;

  LoadedSqlite()
      : library(DynamicLibrary::Open(BesideExecutable("sqlite3.dll"))),
        api(LoadSqliteApi(library)) {}

  static std::string BesideExecutable(const char* name) {
    std::string folder = FolderOf(Process::Default()->ExecutablePath());
    if (!folder.empty() && folder.back() != '\\') folder += '\\';
    return folder + name;
  }
};

}  // namespace

const TSqliteApi& SqliteApi() {
  // A failed load raises here and is tried again on the next call.
  static const LoadedSqlite loaded;
  return loaded.api;
}

}  // namespace lumacor
