// What the Windows half of the platform layer shares: <windows.h> without
// the macros that clash with our names, text conversion at the API edge,
// error texts, and an owner for kernel handles.
#ifndef LUMACOR_PLATFORM_WIN32_WINAPI_H_
#define LUMACOR_PLATFORM_WIN32_WINAPI_H_

#include <windows.h>

// <windows.h> maps these names to their A/W variants, which would rename
// the members of our own interfaces.
#undef DeleteFile

#include <string>
#include <string_view>

#include "platform/FileSystem.h"

namespace lumacor::win32 {

// UTF-8 to UTF-16 for a W call; malformed bytes become U+FFFD.
std::wstring Widen(std::string_view utf8);
// UTF-16 from a W call to UTF-8; unpaired surrogates become U+FFFD.
std::string Narrow(std::wstring_view utf16);

// The system's text for an error code, without the trailing line end;
// from `module`'s message table first when given (WinHTTP keeps its own).
std::string ErrorText(DWORD code, HMODULE module = nullptr);

// "WHAT 'PATH': system text", the shape of every file-system error.
PlatformError Error(const std::string& what, const std::string& path, DWORD code);

// Owns a kernel handle (file, event, thread); closes it when destroyed.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  // False for both "no handle" values the API uses.
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  HANDLE Release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void Reset(HANDLE h = nullptr) {
    if (valid()) ::CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace lumacor::win32

#endif  // LUMACOR_PLATFORM_WIN32_WINAPI_H_
