#include <dlfcn.h>

#include "platform/DynamicLibrary.h"
#include "platform/FileSystem.h"

namespace lumacor {

DynamicLibrary::~DynamicLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(other.handle_), name_(std::move(other.name_)) {
  other.handle_ = nullptr;
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) ::dlclose(handle_);
    handle_ = other.handle_;
    name_ = std::move(other.name_);
    other.handle_ = nullptr;
  }
  return *this;
}

DynamicLibrary DynamicLibrary::Open(const std::string& name_or_path) {
  ::dlerror();
  void* h = ::dlopen(name_or_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    const char* err = ::dlerror();
    throw PlatformError("nao foi possivel carregar a biblioteca '" + name_or_path +
                        "': " + (err ? err : "erro desconhecido"));
  }
  DynamicLibrary lib;
  lib.handle_ = h;
  lib.name_ = name_or_path;
  return lib;
}

DynamicLibrary DynamicLibrary::OpenFirst(const std::vector<std::string>& names) {
  std::string last = "nenhuma biblioteca indicada";
  for (const auto& n : names) {
    try {
      return Open(n);
    } catch (const PlatformError& e) {
      last = e.what();
    }
  }
  throw PlatformError(last);
}

void* DynamicLibrary::Find(const char* symbol) const {
  if (handle_ == nullptr) return nullptr;
  return ::dlsym(handle_, symbol);
}

void* DynamicLibrary::Require(const char* symbol) const {
  void* p = Find(symbol);
  if (p == nullptr) {
    throw PlatformError("a biblioteca '" + name_ + "' nao exporta " + symbol);
  }
  return p;
}

}  // namespace lumacor
