#include <limits.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/Process.h"

namespace lumacor {

namespace {

class PosixProcess : public Process {
 public:
  std::string ExecutablePath() override {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    return std::string(buf, static_cast<size_t>(n));
  }

  std::string GetEnv(const std::string& name) override {
    const char* v = std::getenv(name.c_str());
    return v == nullptr ? std::string() : std::string(v);
  }

  std::string ComputerName() override {
    std::string name = GetEnv("COMPUTERNAME");
    if (!name.empty()) return name;
    char buf[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "";
    return buf;
  }
};

}  // namespace

Process* Process::Default() {
  static PosixProcess* p = new PosixProcess;
  return p;
}

}  // namespace lumacor
