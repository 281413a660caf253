// The agent's one log file: timestamped UTF-8 lines, rotated by size and
// cleaned up by age and count. Logging never raises.
#ifndef LUMACOR_LOG_LOGGER_H_
#define LUMACOR_LOG_LOGGER_H_

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/Clock.h"
#include "platform/FileSystem.h"

namespace lumacor {

enum TLogLevel { llInfo = 0, llWarning = 1, llError = 2 };

class TLogger {
 public:
  // Limits of 0 or less take the defaults (20 MiB, 30 days, 10 backups).
  // Never fails on account of the file system.
  TLogger(std::string ALogPath, int32_t AMaxMB, int32_t ARetentionDays, int32_t AMaxBackups,
          FileSystem* fs = FileSystem::Default(), Clock* clock = Clock::Default());
  virtual ~TLogger();

  TLogger(const TLogger&) = delete;
  TLogger& operator=(const TLogger&) = delete;

  // Appends one line. Never raises; a line that cannot be written is lost.
  void Log(const std::string& Msg, TLogLevel Level);
  void Info(const std::string& Msg) { Log(Msg, llInfo); }
  void Warning(const std::string& Msg) { Log(Msg, llWarning); }
  void Error(const std::string& Msg) { Log(Msg, llError); }

  static const char* LevelLabel(TLogLevel Level);

  // Why the last line could not be written; "" once a line was.
  std::string FalhaEscrita();

 protected:
  // Tells whoever watches the process that lines are being lost: one line
  // on standard error (the journal under systemd), at most once an hour.
  virtual void AvisarFalhaEscrita(const std::string& Texto);

 private:
  void EnsureLogDir();
  std::string BackupMask() const;
  void RotateIfNeeded();
  // RotateIfNeeded for an existing log file of `size` bytes.
  void RotateIfLarger(int64_t size);
  void CleanupOldFiles();
  int64_t FileSizeOf(const std::string& path);

  FileSystem* fs_;
  Clock* clock_;
  std::string FLogPath;
  std::mutex FLock;
  int64_t FMaxSizeBytes = 0;
  int32_t FRetentionDays = 0;
  int32_t FMaxBackups = 0;
  LocalTime FLastCleanupDate;  // year 0: no cleanup by a write yet
  std::string FFalhaEscrita;
  Clock::TimePoint FUltimoAviso{};
  bool FAvisou = false;
};

// The process's logger; empty until the run mode creates it.
extern TLogger* GLogger;

// Shortcuts through GLogger that do nothing while it is empty.
void LogInfo(const std::string& msg);
void LogWarning(const std::string& msg);
void LogError(const std::string& msg);

}  // namespace lumacor

#endif  // LUMACOR_LOG_LOGGER_H_
