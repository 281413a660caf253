#include "queue/HashService.h"

#include "platform/Sha256.h"

namespace lumacor {

std::string THashService::SHA256(std::string_view utf8) {
  Sha256Digest digest = Sha256(utf8);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(2 * digest.size(), '\0');
  for (size_t i = 0; i < digest.size(); ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return out;
}

}  // namespace lumacor
