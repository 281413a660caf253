#include <dlfcn.h>

#include "platform/DynamicLibrary.h"
#include "platform/FileSystem.h"

namespace lumacor {

void DynamicLibrary::Unload(void* handle) { ::dlclose(handle); }

DynamicLibrary DynamicLibrary::Open(const std::string& name_or_path) {
  ::dlerror();
  void* h = ::dlopen(name_or_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    const char* err = ::dlerror();
    throw PlatformError("nao foi possivel carregar a biblioteca '" + name_or_path +
                        "': " + (err ? err : "erro desconhecido"));
  }
  return Adopt(h, name_or_path);
}

void* DynamicLibrary::Find(const char* symbol) const {
  if (handle_ == nullptr) return nullptr;
  return ::dlsym(handle_, symbol);
}

}  // namespace lumacor
