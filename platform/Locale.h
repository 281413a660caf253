// The system's legacy 8-bit code page (GetACP on Windows).
#ifndef LUMACOR_PLATFORM_LOCALE_H_
#define LUMACOR_PLATFORM_LOCALE_H_

#include <string>
#include <string_view>

namespace lumacor {

// Decodes bytes in the ANSI code page to UTF-8; never fails on content.
// POSIX has no such code page: Windows-1252 stands in, since it covers the
// Portuguese accented letters.
std::string AnsiToUtf8(std::string_view bytes);

}  // namespace lumacor

#endif  // LUMACOR_PLATFORM_LOCALE_H_
