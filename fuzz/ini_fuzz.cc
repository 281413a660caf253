// The INI reader over arbitrary bytes: any encoding it detects must give
// UTF-8, and every value found must be valid UTF-8 within the length limit.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/Text.h"
#include "config/IniFile.h"
#include "fuzz/FuzzCheck.h"

using namespace lumacor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string text = DecodeIniBytes(bytes);
  FUZZ_CHECK(IsValidUtf8(text));
  static const char* const kKeys[][2] = {
      {"API", "cnpj"},       {"COLETA", "intervalo_segundos"},
      {"XML", "paths"},      {"empresa", "token"},
      {"Database", "Porta"}, {"", ""},
  };
  for (const auto& [section, key] : kKeys) {
    auto value = FindIniValue(text, section, key);
    if (!value) continue;
    FUZZ_CHECK(IsValidUtf8(*value));
    FUZZ_CHECK(Utf16Length(*value) <= kIniMaxValueUnits);
    ParseIniInteger(*value);
  }
  ParseIniInteger(bytes);
  return 0;
}
