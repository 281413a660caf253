#include "platform/Process.h"

namespace lumacor {

std::string FolderOf(const std::string& path) {
  size_t pos = path.find_last_of("\\/");
  if (pos == std::string::npos) return "";
  if (pos == 0) return path.substr(0, 1);                    // directly under the root
  if (pos == 2 && path[1] == ':') return path.substr(0, 3);  // "C:\"
  return path.substr(0, pos);
}

}  // namespace lumacor
