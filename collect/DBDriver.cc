#include "collect/DBDriver.h"

#include <map>

#include "common/Text.h"
#include "platform/FileSystem.h"

namespace lumacor {

int TDBCursor::FindColumn(std::string_view name) const {
  const int n = ColumnCount();
  for (int i = 0; i < n; ++i) {
    if (EqualsIgnoreAsciiCase(ColumnName(i), name)) return i;
  }
  return -1;
}

namespace {

// Client libraries are never unloaded: libfbclient runs threads of its
// own, and the others keep process-wide state set up once (SSL, character
// sets) that does not survive an unload and a reload. Reached through a
// pointer that is never freed, so nothing runs at exit either.
std::map<std::string, DynamicLibrary>& LoadedClients() {
  static auto* loaded = new std::map<std::string, DynamicLibrary>();
  return *loaded;
}

const char* ClientTitle(DatabaseClient client) {
  switch (client) {
    case DatabaseClient::kFirebird:
      return "Firebird";
    case DatabaseClient::kMySQL:
      return "MySQL";
    case DatabaseClient::kPostgreSQL:
      return "PostgreSQL";
    case DatabaseClient::kOdbc:
      return "ODBC";
  }
  return "";
}

// What the user can do about a client that is missing or wrong.
const char* ClientHint(DatabaseClient client) {
  // SQL Server is reached through the system's ODBC driver manager, which
  // [banco] client_path does not choose.
  if (client == DatabaseClient::kOdbc) {
    return "Instale o gerenciador de drivers ODBC e um driver ODBC do SQL Server";
  }
  return "Instale o cliente ou indique o caminho da biblioteca em [banco] client_path= no "
         "Marlux.ini";
}

}  // namespace

const DynamicLibrary& LoadClientLibrary(DatabaseClient client, const std::string& client_path) {
  std::vector<std::string> names;
  if (!client_path.empty() && client != DatabaseClient::kOdbc) {
    names.push_back(client_path);
  } else {
    names = UsualClientLibraryNames(client);
  }
  std::string first_error;
  auto& loaded = LoadedClients();
  for (const auto& name : names) {
    if (auto it = loaded.find(name); it != loaded.end()) return it->second;
    try {
      return loaded.emplace(name, DynamicLibrary::Open(name)).first->second;
    } catch (const PlatformError& e) {
      if (first_error.empty()) first_error = e.what();
    }
  }
  throw DBError(Format("biblioteca cliente do %s nao carregada (%s): %s. %s", ClientTitle(client),
                       names.empty() ? "" : names.front().c_str(), first_error.c_str(),
                       ClientHint(client)));
}

void* RequireClientSymbol(DatabaseClient client, const DynamicLibrary& lib, const char* symbol) {
  void* p = lib.Find(symbol);
  if (p == nullptr) {
    throw DBError(Format("a biblioteca cliente '%s' nao exporta %s. %s", lib.name().c_str(), symbol,
                         ClientHint(client)));
  }
  return p;
}

}  // namespace lumacor
