#include "config/IniFile.h"

#include <cstdint>

#include "common/Text.h"
#include "platform/Locale.h"

namespace lumacor {

namespace {

std::string_view TrimBlanks(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

}  // namespace

std::string DecodeIniBytes(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    return Utf16BytesToUtf8(bytes.substr(2), false);
  }
  std::string_view body = bytes;
  if (body.substr(0, 3) == kUtf8Bom) body.remove_prefix(3);
  if (IsValidUtf8(body)) return std::string(body);
  return AnsiToUtf8(bytes);
}

std::optional<std::string> FindIniValue(std::string_view text, std::string_view section,
                                        std::string_view key) {
  bool seen_section = false, in_section = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view t = TrimBlanks(line);
    if (!t.empty() && t.front() == '[') {
      size_t close = t.find(']');
      std::string_view name = TrimBlanks(
          t.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
      // Only the first section of a name counts, as with the Windows reader.
      if (in_section) return std::nullopt;
      in_section = !seen_section && EqualsIgnoreAsciiCase(name, section);
      seen_section = seen_section || in_section;
      continue;
    }
    if (!in_section) continue;
    size_t eq = t.find('=');
    if (eq == std::string_view::npos) continue;
    if (!EqualsIgnoreAsciiCase(TrimBlanks(t.substr(0, eq)), key)) continue;
    std::string_view value = TrimBlanks(t.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(Utf16Prefix(value, kIniMaxValueUnits));
  }
  return std::nullopt;
}

std::optional<int32_t> ParseIniInteger(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16, ++i;
  } else if (i < s.size() && (s[i] == 'x' || s[i] == 'X')) {
    base = 16, ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16, i += 2;
  }
  if (i >= s.size()) return std::nullopt;
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    v = v * base + d;
    if (v > 0xFFFFFFFFull) return std::nullopt;
  }
  if (base == 10) {
    if (negative ? v > 2147483648ull : v > 2147483647ull) return std::nullopt;
    int64_t r = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return static_cast<int32_t>(r);
  }
  // Hexadecimal covers the full 32 bits, as the Windows conversion does:
  // $FFFFFFFF is -1.
  auto r = static_cast<int32_t>(static_cast<uint32_t>(v));
  return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(r)) : r;
}

}  // namespace lumacor
