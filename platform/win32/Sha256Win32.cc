#include "platform/win32/WinApi.h"  // before <bcrypt.h>, which needs <windows.h>

#include <bcrypt.h>

#include <stdexcept>

#include "platform/Sha256.h"

namespace lumacor {

namespace {

// The algorithm provider is opened once and kept: opening it is the
// expensive part, and hashing with it is thread-safe.
BCRYPT_ALG_HANDLE Provider() {
  static BCRYPT_ALG_HANDLE alg = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      h = nullptr;
    }
    return h;
  }();
  return alg;
}

[[noreturn]] void Broken() {
  throw std::runtime_error("SHA-256 indisponivel na biblioteca de criptografia");
}

// Owns one hash object.
class Hash {
 public:
  explicit Hash(BCRYPT_ALG_HANDLE alg) {
    if (!BCRYPT_SUCCESS(::BCryptCreateHash(alg, &h_, nullptr, 0, nullptr, 0, 0))) Broken();
  }
  ~Hash() { ::BCryptDestroyHash(h_); }
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;
  BCRYPT_HASH_HANDLE get() const { return h_; }

 private:
  BCRYPT_HASH_HANDLE h_ = nullptr;
};

}  // namespace

Sha256Digest Sha256(std::string_view bytes) {
  BCRYPT_ALG_HANDLE alg = Provider();
  if (alg == nullptr) Broken();
  Hash hash(alg);
  // BCryptHashData takes at most 4 GiB a call.
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ULONG chunk = left > 0x40000000u ? 0x40000000u : static_cast<ULONG>(left);
    if (!BCRYPT_SUCCESS(::BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(p)),
                                         chunk, 0))) {
      Broken();
    }
    p += chunk;
    left -= chunk;
  }
  Sha256Digest digest;
  if (!BCRYPT_SUCCESS(::BCryptFinishHash(hash.get(), digest.data(), digest.size(), 0))) Broken();
  return digest;
}

}  // namespace lumacor
