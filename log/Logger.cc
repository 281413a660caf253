#include "log/Logger.h"

namespace lumacor {

TLogger* GLogger = nullptr;

const char* TLogger::LevelLabel(TLogLevel Level) {
  switch (Level) {
    case llWarning:
      return "WARN ";
    case llError:
      return "ERROR";
    default:
      return "INFO ";
  }
}

void LogInfo(const std::string& msg) {
  if (GLogger != nullptr) GLogger->Info(msg);
}
void LogWarning(const std::string& msg) {
  if (GLogger != nullptr) GLogger->Warning(msg);
}
void LogError(const std::string& msg) {
  if (GLogger != nullptr) GLogger->Error(msg);
}

}  // namespace lumacor
