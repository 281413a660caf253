#include "platform/win32/WinApi.h"

namespace lumacor::win32 {

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view utf16) {
  if (utf16.empty()) return std::string();
  int n = ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr,
                                0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::string ErrorText(DWORD code, HMODULE module) {
  wchar_t* buf = nullptr;
  DWORD source = module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM
                                   : FORMAT_MESSAGE_FROM_SYSTEM;
  DWORD n =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | source | FORMAT_MESSAGE_IGNORE_INSERTS,
                       module, code, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::wstring text(buf != nullptr ? buf : L"", n);
  if (buf != nullptr) ::LocalFree(buf);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' ||
                           text.back() == L'.')) {
    text.pop_back();
  }
  if (text.empty()) return "erro " + std::to_string(code);
  return Narrow(text) + " (" + std::to_string(code) + ")";
}

PlatformError Error(const std::string& what, const std::string& path, DWORD code) {
  return PlatformError(what + " '" + path + "': " + ErrorText(code));
}

}  // namespace lumacor::win32
