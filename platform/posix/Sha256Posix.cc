#include <openssl/evp.h>

#include <stdexcept>

#include "platform/Sha256.h"

namespace lumacor {

Sha256Digest Sha256(std::string_view bytes) {
  Sha256Digest digest;
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    // Only a broken libcrypto gets here.
    throw std::runtime_error("SHA-256 indisponivel na biblioteca de criptografia");
  }
  return digest;
}

}  // namespace lumacor
