// Text helpers. Internal text is UTF-8 in std::string; these convert at the
// edges and implement the few rules that count UTF-16 code units.
#ifndef LUMACOR_COMMON_TEXT_H_
#define LUMACOR_COMMON_TEXT_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lumacor {

// The message of every failed strict UTF-8 decode in the system.
inline constexpr const char* kNoMappingMessage =
    "No mapping for the Unicode character exists in the target multi-byte code page";

// Raised by the strict decoders; carries kNoMappingMessage.
class EncodingError : public std::runtime_error {
 public:
  EncodingError() : std::runtime_error(kNoMappingMessage) {}
};

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// Returns `bytes` unchanged when valid UTF-8; raises EncodingError otherwise.
std::string RequireUtf8(std::string_view bytes);

// UTF-16 code units of UTF-8 text. REQUIRES: valid UTF-8.
std::u16string Utf8ToUtf16(std::string_view utf8);

// UTF-8 of UTF-16 text; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// Decodes UTF-16 bytes (little- or big-endian) to UTF-8. An odd trailing
// byte is dropped; unpaired surrogates become U+FFFD.
std::string Utf16BytesToUtf8(std::string_view bytes, bool big_endian);

// Windows-1252 to UTF-8. The five undefined bytes map to the C1 controls of
// the same value, as Windows' own conversion does.
std::string Windows1252ToUtf8(std::string_view bytes);

// Number of UTF-16 code units of valid UTF-8 text.
size_t Utf16Length(std::string_view utf8);

// The longest prefix of valid UTF-8 text that holds at most `units` UTF-16
// code units (a surrogate pair is never split).
std::string_view Utf16Prefix(std::string_view utf8, size_t units);

// Removes every character of code 0..32 from both ends.
std::string_view TrimControl(std::string_view s);
inline std::string TrimControlCopy(std::string_view s) { return std::string(TrimControl(s)); }

// ASCII-only case helpers: other bytes compare by value.
char AsciiLower(char c);
std::string AsciiLowerCopy(std::string_view s);
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
int CompareIgnoreAsciiCase(std::string_view a, std::string_view b);
bool EndsWithIgnoreAsciiCase(std::string_view s, std::string_view suffix);

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace lumacor

#endif  // LUMACOR_COMMON_TEXT_H_
