#include "platform/Locale.h"
#include "platform/win32/WinApi.h"

namespace lumacor {

std::string AnsiToUtf8(std::string_view bytes) {
  if (bytes.empty()) return std::string();
  // Without MB_ERR_INVALID_CHARS bytes the code page lacks become the
  // default character instead of failing the whole text.
  int n =
      ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
  return win32::Narrow(wide);
}

}  // namespace lumacor
