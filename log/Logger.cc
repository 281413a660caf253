#include "log/Logger.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "common/Error.h"
#include "common/Text.h"
#include "platform/Process.h"

namespace lumacor {

TLogger* GLogger = nullptr;

namespace {

constexpr int32_t kDefaultMaxMB = 20;
constexpr int32_t kDefaultRetentionDays = 30;
constexpr int32_t kDefaultMaxBackups = 10;
// Guards the counter search of a rotation against a folder that already
// holds every candidate name.
constexpr int kMaxRotationCandidates = 100000;

bool SameDay(const LocalTime& a, const LocalTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day;
}

// Splits a log path into folder, Base and Ext (Ext keeps its dot).
struct LogName {
  std::string folder, base, ext;
};

LogName SplitLogPath(const std::string& path) {
  LogName n;
  size_t slash = path.find_last_of("\\/");
  n.folder = FolderOf(path);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) {
    n.base = name;
  } else {
    n.base = name.substr(0, dot);
    n.ext = name.substr(dot);
  }
  return n;
}

std::string JoinFolder(const std::string& folder, const std::string& name, char sep) {
  if (folder.empty()) return name;
  char last = folder.back();
  if (last == '/' || last == '\\' || last == ':') return folder + name;
  return folder + sep + name;
}

}  // namespace

TLogger::TLogger(std::string ALogPath, int32_t AMaxMB, int32_t ARetentionDays, int32_t AMaxBackups,
                 FileSystem* fs, Clock* clock)
    : fs_(fs), clock_(clock), FLogPath(std::move(ALogPath)) {
  if (AMaxMB <= 0) AMaxMB = kDefaultMaxMB;
  if (ARetentionDays <= 0) ARetentionDays = kDefaultRetentionDays;
  if (AMaxBackups <= 0) AMaxBackups = kDefaultMaxBackups;
  FMaxSizeBytes = static_cast<int64_t>(AMaxMB) * 1024 * 1024;
  FRetentionDays = ARetentionDays;
  FMaxBackups = AMaxBackups;
  // Nothing else can reach the logger yet, so no lock here.
  EnsureLogDir();
  CleanupOldFiles();
  RotateIfNeeded();
}

TLogger::~TLogger() = default;

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

void TLogger::Log(const std::string& Msg, TLogLevel Level) {
  try {
    LocalTime t = clock_->NowLocal();
    std::string sep = clock_->TimeSeparator();
    std::string stamp = Format("%04d-%02d-%02d %02d%s%02d%s%02d", t.year, t.month, t.day, t.hour,
                               sep.c_str(), t.minute, sep.c_str(), t.second);
    // "%s [%s] %s", joined by hand so a message holding a NUL stays whole.
    std::string line = stamp + " [" + LevelLabel(Level) + "] " + Msg + "\r\n";

    std::lock_guard<std::mutex> guard(FLock);
    try {
      // One lookup of the file serves the folder test and the size test:
      // a file that exists has its folder, and path lookups are most of
      // what a line costs.
      FileInfo info;
      bool existe = !FLogPath.empty() && fs_->Stat(FLogPath, &info) && !info.is_directory;
      if (!existe) EnsureLogDir();
      LocalTime today = clock_->NowLocal();
      if (!SameDay(FLastCleanupDate, today)) {
        CleanupOldFiles();
        FLastCleanupDate = clock_->NowLocal();
      }
      if (existe) RotateIfLarger(info.size);
      auto file = fs_->OpenAppend(FLogPath);
      if (file->Position() == 0) line.insert(0, kUtf8Bom);
      file->Append(line);
      FFalhaEscrita.clear();
    } catch (...) {
      // A line that cannot be written is lost; the next call tries again.
      FFalhaEscrita = CurrentErrorMessage();
      auto agora = clock_->Now();
      if (!FAvisou || agora - FUltimoAviso >= std::chrono::hours(1)) {
        FAvisou = true;
        FUltimoAviso = agora;
        AvisarFalhaEscrita("lumacor-relay: nao foi possivel gravar o log " + FLogPath + ": " +
                           FFalhaEscrita);
      }
    }
  } catch (...) {
  }
}

std::string TLogger::FalhaEscrita() {
  std::lock_guard<std::mutex> guard(FLock);
  return FFalhaEscrita;
}

void TLogger::AvisarFalhaEscrita(const std::string& Texto) {
  std::fputs((Texto + "\n").c_str(), stderr);
  std::fflush(stderr);
}

void TLogger::EnsureLogDir() {
  try {
    std::string folder = FolderOf(FLogPath);
    if (!folder.empty() && !fs_->DirectoryExists(folder)) fs_->CreateDirectories(folder);
  } catch (...) {
  }
}

std::string TLogger::BackupMask() const {
  LogName n = SplitLogPath(FLogPath);
  return n.base + "_*" + n.ext;
}

int64_t TLogger::FileSizeOf(const std::string& path) {
  FileInfo info;
  if (!fs_->Stat(path, &info)) return 0;
  return info.size;
}

void TLogger::RotateIfNeeded() {
  try {
    if (FLogPath.empty() || !fs_->FileExists(FLogPath)) return;
    RotateIfLarger(FileSizeOf(FLogPath));
  } catch (...) {
  }
}

void TLogger::RotateIfLarger(int64_t size) {
  try {
    if (size < FMaxSizeBytes) return;
    LogName n = SplitLogPath(FLogPath);
    FileInfo info;
    for (int i = 0; i < kMaxRotationCandidates; ++i) {
      LocalTime t = clock_->NowLocal();
      std::string stamp =
          Format("%04d%02d%02d_%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
      std::string name =
          i == 0 ? Format("%s_%s%s", n.base.c_str(), stamp.c_str(), n.ext.c_str())
                 : Format("%s_%s_%d%s", n.base.c_str(), stamp.c_str(), i, n.ext.c_str());
      std::string candidate = JoinFolder(n.folder, name, fs_->Separator());
      if (fs_->Stat(candidate, &info)) continue;
      // A failed rename leaves the file in place; the next line retries.
      fs_->RenameNoReplace(FLogPath, candidate);
      return;
    }
  } catch (...) {
  }
}

void TLogger::CleanupOldFiles() {
  try {
    LogName n = SplitLogPath(FLogPath);
    if (n.folder.empty() || !fs_->DirectoryExists(n.folder)) return;
    std::string prefix = n.base + "_";
    auto list_backups = [&]() {
      std::vector<std::string> paths;
      for (const auto& e : fs_->ListDirectory(n.folder)) {
        if (e.is_directory) continue;
        const std::string& name = e.name;
        if (name.size() < prefix.size() + n.ext.size()) continue;
        if (!EqualsIgnoreAsciiCase(std::string_view(name).substr(0, prefix.size()), prefix)) {
          continue;
        }
        if (!EndsWithIgnoreAsciiCase(name, n.ext)) continue;
        paths.push_back(JoinFolder(n.folder, name, fs_->Separator()));
      }
      return paths;
    };

    auto now = clock_->Now();
    int64_t now_secs =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    int64_t limit = now_secs - static_cast<int64_t>(FRetentionDays) * 24 * 3600;
    for (const auto& path : list_backups()) {
      try {
        FileInfo info;
        if (fs_->Stat(path, &info) && info.mtime_seconds < limit) fs_->DeleteFile(path);
      } catch (...) {
      }
    }

    std::vector<std::string> remaining = list_backups();
    std::sort(remaining.begin(), remaining.end(), [](const std::string& a, const std::string& b) {
      int c = CompareIgnoreAsciiCase(a, b);
      return c != 0 ? c < 0 : a < b;
    });
    size_t first = 0;
    while (remaining.size() - first > static_cast<size_t>(FMaxBackups)) {
      try {
        fs_->DeleteFile(remaining[first]);
      } catch (...) {
      }
      ++first;  // counts as removed even when the delete failed
    }
  } catch (...) {
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
