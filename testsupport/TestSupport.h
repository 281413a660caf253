// Helpers shared by the tests: temporary folders, a captured GLogger and a
// GConfigManager holding a given record.
#ifndef LUMACOR_TESTSUPPORT_TESTSUPPORT_H_
#define LUMACOR_TESTSUPPORT_TESTSUPPORT_H_

#include <memory>
#include <string>
#include <vector>

#include "config/Config.h"
#include "log/Logger.h"

namespace lumacor::testing {

// A fresh folder under TMPDIR, removed with everything in it when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + separator + rel, each "/" of rel as the platform's separator.
  std::string Path(const std::string& rel) const;
  // Writes `bytes` to path() + "/" + rel, creating folders; returns the path.
  std::string Write(const std::string& rel, const std::string& bytes) const;

 private:
  std::string path_;
};

std::string ReadFileBytes(const std::string& path);
// Files named "*.xml" are dated back as by SetWrittenLongAgo.
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Dates the last write of `path` 30 s back, from now: a document the ERP
// finished a while ago, which the folder collector does not leave for a
// later scan as it does a file written in its last seconds.
void SetWrittenLongAgo(const std::string& path);

struct LogLine {
  std::string level;    // "INFO ", "WARN " or "ERROR"
  std::string message;  // the message text as written
};

// The lines of a log file written by TLogger; empty when it is missing.
std::vector<LogLine> ReadLogLines(const std::string& path);

// Points GLogger at a logger writing into a temporary folder for its
// lifetime, and reads the lines back.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> Lines() const;
  // Just the messages, each prefixed by its level label and "|":
  // "WARN |Pasta XML nao encontrada: /x".
  std::vector<std::string> Messages() const;
  // True when some line has exactly this level label and message.
  bool Has(const std::string& level, const std::string& message) const;
  const std::string& path() const { return log_path_; }

 private:
  TempDir dir_;
  std::string log_path_;
  std::unique_ptr<TLogger> logger_;
  TLogger* previous_;
};

// Points GConfigManager at a manager holding `config` for its lifetime.
class ConfigScope {
 public:
  explicit ConfigScope(const TSincConfig& config, const std::string& ini_path = "");
  ~ConfigScope();
  ConfigScope(const ConfigScope&) = delete;
  ConfigScope& operator=(const ConfigScope&) = delete;
  TConfigManager& manager() { return *manager_; }

 private:
  std::unique_ptr<TConfigManager> manager_;
  TConfigManager* previous_;
};

// Environment of the servers started by scripts/test; empty when unset.
std::string TestEnv(const char* name);

}  // namespace lumacor::testing

#endif  // LUMACOR_TESTSUPPORT_TESTSUPPORT_H_
