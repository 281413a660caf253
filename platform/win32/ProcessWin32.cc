#include "platform/Process.h"
#include "platform/win32/WinApi.h"

namespace lumacor {

namespace {

class WinProcess : public Process {
 public:
  std::string ExecutablePath() override {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
      DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
      if (n == 0) return "";
      // A full buffer means the path was cut: try a larger one.
      if (n < buf.size()) return win32::Narrow(std::wstring_view(buf.data(), n));
      buf.resize(buf.size() * 2);
    }
  }

  std::string GetEnv(const std::string& name) override {
    std::wstring wname = win32::Widen(name);
    std::wstring buf(256, L'\0');
    for (;;) {
      DWORD n =
          ::GetEnvironmentVariableW(wname.c_str(), buf.data(), static_cast<DWORD>(buf.size()));
      if (n == 0) return "";  // unset, or set to nothing
      if (n < buf.size()) return win32::Narrow(std::wstring_view(buf.data(), n));
      buf.resize(n);  // n is the size needed, terminator included
    }
  }
};

}  // namespace

Process* Process::Default() {
  static WinProcess* p = new WinProcess;
  return p;
}

}  // namespace lumacor
