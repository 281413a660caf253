// Temporary: replaced by the full logger.
#include "log/Logger.h"
namespace lumacor {
TLogger::TLogger(std::string ALogPath, int32_t, int32_t, int32_t, FileSystem* fs, Clock* clock)
    : fs_(fs), clock_(clock), FLogPath(std::move(ALogPath)) {}
TLogger::~TLogger() = default;
void TLogger::Log(const std::string& Msg, TLogLevel Level) {
  try {
    auto f = fs_->OpenAppend(FLogPath);
    if (f->Position() == 0) f->Append("\xEF\xBB\xBF");
    f->Append(std::string("0000-00-00 00:00:00 [") + LevelLabel(Level) + "] " + Msg + "\r\n");
  } catch (...) {
  }
}
}  // namespace lumacor
