#include "platform/DynamicLibrary.h"
#include "platform/FileSystem.h"
#include "platform/win32/WinApi.h"

namespace lumacor {

namespace {

HMODULE AsModule(void* h) { return static_cast<HMODULE>(h); }

}  // namespace

void DynamicLibrary::Unload(void* handle) { ::FreeLibrary(AsModule(handle)); }

DynamicLibrary DynamicLibrary::Open(const std::string& name_or_path) {
  HMODULE h;
  if (name_or_path.find_first_of("\\/") == std::string::npos) {
    // A bare name never comes from the current folder or PATH, where a
    // planted DLL would run as the service: only the system folder and
    // the agent's own folder are searched.
    h = ::LoadLibraryExW(win32::Widen(name_or_path).c_str(), nullptr,
                         LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  } else {
    // A path is used as given; the library's own dependencies are then
    // looked for beside it first.
    std::string full = FileSystem::Default()->FullPath(name_or_path);
    h = ::LoadLibraryExW(win32::Widen(full).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  if (h == nullptr) {
    throw PlatformError("nao foi possivel carregar a biblioteca '" + name_or_path +
                        "': " + win32::ErrorText(::GetLastError()));
  }
  return Adopt(h, name_or_path);
}

void* DynamicLibrary::Find(const char* symbol) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(AsModule(handle_), symbol));
}

}  // namespace lumacor
