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

}  // namespace

const DynamicLibrary& LoadClientLibrary(const std::string& client_path,
                                        const std::vector<std::string>& usual_names,
                                        const char* client_title) {
  std::vector<std::string> names;
  if (!client_path.empty()) {
    names.push_back(client_path);
  } else {
    names = usual_names;
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
  throw DBError(Format("biblioteca cliente do %s nao carregada (%s): %s. Instale o cliente ou "
                       "indique o caminho da biblioteca em [banco] client_path= no Marlux.ini",
                       client_title, names.empty() ? "" : names.front().c_str(),
                       first_error.c_str()));
}

void* RequireClientSymbol(const DynamicLibrary& lib, const char* symbol) {
  void* p = lib.Find(symbol);
  if (p == nullptr) {
    throw DBError(Format("a biblioteca cliente '%s' nao exporta %s; verifique [banco] "
                         "client_path= no Marlux.ini",
                         lib.name().c_str(), symbol));
  }
  return p;
}

}  // namespace lumacor
