// The UTF-8, UTF-16 and ANSI decoders: whatever comes in, what goes out is
// valid UTF-8, and valid text survives the round trip through UTF-16.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/Text.h"
#include "fuzz/FuzzCheck.h"

using namespace lumacor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);

  bool valid = IsValidUtf8(bytes);
  bool required = true;
  try {
    FUZZ_CHECK(RequireUtf8(bytes) == bytes);
  } catch (const EncodingError&) {
    required = false;
  }
  FUZZ_CHECK(valid == required);
  if (valid) {
    std::u16string units = Utf8ToUtf16(bytes);
    FUZZ_CHECK(units.size() == Utf16Length(bytes));
    FUZZ_CHECK(Utf16ToUtf8(units) == bytes);
    for (size_t n : {size_t{0}, size_t{1}, units.size() / 2, units.size()}) {
      std::string_view prefix = Utf16Prefix(bytes, n);
      FUZZ_CHECK(bytes.substr(0, prefix.size()) == prefix);
      FUZZ_CHECK(IsValidUtf8(prefix));
      FUZZ_CHECK(Utf16Length(prefix) <= n);
    }
  }

  FUZZ_CHECK(IsValidUtf8(Utf16BytesToUtf8(bytes, false)));
  FUZZ_CHECK(IsValidUtf8(Utf16BytesToUtf8(bytes, true)));
  // Single-byte: every byte decodes, none is lost.
  std::string ansi = Windows1252ToUtf8(bytes);
  FUZZ_CHECK(IsValidUtf8(ansi));
  FUZZ_CHECK(Utf16Length(ansi) == bytes.size());
  return 0;
}
