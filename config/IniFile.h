// Reading rules of the Windows profile-file reader, implemented on every
// platform so Marlux.ini reads the same everywhere.
#ifndef LUMACOR_CONFIG_INIFILE_H_
#define LUMACOR_CONFIG_INIFILE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumacor {

// Longest value returned, in UTF-16 code units (a 2048-unit buffer with its
// terminator).
inline constexpr size_t kIniMaxValueUnits = 2047;

// Decodes the bytes of an INI file to UTF-8: a UTF-16 LE byte-order mark
// means UTF-16; otherwise UTF-8 (its byte-order mark skipped) when the bytes
// are valid UTF-8, else the ANSI code page.
std::string DecodeIniBytes(std::string_view bytes);

// The value of `key` in `section` of decoded INI text, or nullopt when the
// section or key is missing. Names match ignoring ASCII case; spaces and
// tabs around names and values are dropped; one pair of surrounding double
// or single quotes is removed; the first occurrence counts.
std::optional<std::string> FindIniValue(std::string_view text, std::string_view section,
                                        std::string_view key);

// Signed 32-bit conversion of an INI value: leading spaces, optional sign,
// decimal digits or hexadecimal after "$", "x" or "0x". nullopt when the
// text is not wholly such a number or out of range.
std::optional<int32_t> ParseIniInteger(std::string_view text);

}  // namespace lumacor

#endif  // LUMACOR_CONFIG_INIFILE_H_
