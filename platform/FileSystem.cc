#include "platform/FileSystem.h"

namespace lumacor {

std::vector<DirEntryInfo> FileSystem::ListDirectoryWithInfo(const std::string& path) {
  std::vector<DirEntryInfo> out;
  const char sep = Separator();
  const std::string prefix = !path.empty() && path.back() == sep ? path : path + sep;
  for (DirEntry& e : ListDirectory(path)) {
    DirEntryInfo d;
    d.entry = std::move(e);
    if (!d.entry.is_directory) d.found = Stat(prefix + d.entry.name, &d.info);
    out.push_back(std::move(d));
  }
  return out;
}

}  // namespace lumacor
