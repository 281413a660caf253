// Facts about the running process: its executable and its environment.
#ifndef LUMACOR_PLATFORM_PROCESS_H_
#define LUMACOR_PLATFORM_PROCESS_H_

#include <string>

namespace lumacor {

class Process {
 public:
  virtual ~Process() = default;
  static Process* Default();

  // Full path of the running executable.
  virtual std::string ExecutablePath() = 0;
  // Value of an environment variable; empty when unset.
  virtual std::string GetEnv(const std::string& name) = 0;
  // The name the portal sees as "hostname": COMPUTERNAME, which Windows
  // always sets; a platform without it supplies its host name instead.
  virtual std::string ComputerName() { return GetEnv("COMPUTERNAME"); }
};

// Folder of a path: up to, not including, its last "\" or "/". A path
// directly under a drive root keeps the root's "\".
std::string FolderOf(const std::string& path);

}  // namespace lumacor

#endif  // LUMACOR_PLATFORM_PROCESS_H_
