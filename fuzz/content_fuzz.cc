// Decoding of compressed answers: corrupt or endless data must end in the
// decoder's own error, and nothing beyond the limit is ever returned.
#include <cstdint>
#include <string>
#include <string_view>

#include "delivery/ContentDecoding.h"
#include "fuzz/FuzzCheck.h"

using namespace lumacor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the encoding, the rest is the body.
  static const char* const kEncodings[] = {"gzip", "deflate", "GZip", "identity"};
  std::string_view encoding = kEncodings[data[0] % 4];
  std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
  constexpr size_t kLimit = 1 << 20;
  try {
    std::string out = DecodeContent(encoding, body, kLimit);
    FUZZ_CHECK(out.size() <= kLimit || encoding == "identity");
    if (encoding == "identity") FUZZ_CHECK(out == body);
  } catch (const DecodingError&) {
  }
  return 0;
}
