#include "platform/DynamicLibrary.h"

#include "platform/FileSystem.h"

namespace lumacor {

DynamicLibrary::~DynamicLibrary() {
  if (handle_ != nullptr) Unload(handle_);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(other.handle_), name_(std::move(other.name_)) {
  other.handle_ = nullptr;
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) Unload(handle_);
    handle_ = other.handle_;
    name_ = std::move(other.name_);
    other.handle_ = nullptr;
  }
  return *this;
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

void* DynamicLibrary::Require(const char* symbol) const {
  void* p = Find(symbol);
  if (p == nullptr) {
    throw PlatformError("a biblioteca '" + name_ + "' nao exporta " + symbol);
  }
  return p;
}

DynamicLibrary DynamicLibrary::Adopt(void* handle, const std::string& name) {
  DynamicLibrary lib;
  lib.handle_ = handle;
  lib.name_ = name;
  return lib;
}

}  // namespace lumacor
