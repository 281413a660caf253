#include "collect/DBDriver.h"

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

DynamicLibrary LoadClientLibrary(const std::string& client_path,
                                 const std::vector<std::string>& usual_names,
                                 const char* client_title) {
  std::vector<std::string> names;
  if (!client_path.empty()) {
    names.push_back(client_path);
  } else {
    names = usual_names;
  }
  std::string first_error;
  for (const auto& name : names) {
    try {
      return DynamicLibrary::Open(name);
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
