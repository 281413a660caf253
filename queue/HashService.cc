#include "queue/HashService.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace lumacor {

std::string THashService::SHA256(std::string_view utf8) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(utf8.data(), utf8.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
      length != 32) {
    // Only a broken libcrypto gets here.
    throw std::runtime_error("SHA-256 indisponivel na biblioteca de criptografia");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(2 * length, '\0');
  for (unsigned int i = 0; i < length; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return out;
}

}  // namespace lumacor
