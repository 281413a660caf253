#include "common/Text.h"
#include "platform/Locale.h"

namespace lumacor {

std::string AnsiToUtf8(std::string_view bytes) { return Windows1252ToUtf8(bytes); }

}  // namespace lumacor
