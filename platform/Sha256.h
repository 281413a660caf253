// SHA-256 from the platform's own cryptography: OpenSSL's libcrypto on
// POSIX, CNG (bcrypt) on Windows.
#ifndef LUMACOR_PLATFORM_SHA256_H_
#define LUMACOR_PLATFORM_SHA256_H_

#include <array>
#include <string_view>

namespace lumacor {

using Sha256Digest = std::array<unsigned char, 32>;

// Digest of `bytes`. Raises std::runtime_error only when the system's
// cryptography is broken.
Sha256Digest Sha256(std::string_view bytes);

}  // namespace lumacor

#endif  // LUMACOR_PLATFORM_SHA256_H_
