// The release version: the packages, the Windows version resource and the
// build take it from here. Plain macros, so the resource compiler can read
// this file too.
#ifndef LUMACOR_COMMON_VERSION_H_
#define LUMACOR_COMMON_VERSION_H_

#define LUMACOR_VERSION_MAJOR 1
#define LUMACOR_VERSION_MINOR 0
#define LUMACOR_VERSION_PATCH 2
#define LUMACOR_VERSION_TEXT "1.0.2"

#ifndef RC_INVOKED
namespace lumacor {
inline constexpr const char* kVersion = LUMACOR_VERSION_TEXT;
}  // namespace lumacor
#endif

#endif  // LUMACOR_COMMON_VERSION_H_
