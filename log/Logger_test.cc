#include "log/Logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "testsupport/Fakes.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

namespace fs = std::filesystem;
using testing::FakeClock;
using testing::ReadFileBytes;
using testing::TempDir;

constexpr int64_t kMiB = 1024 * 1024;

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

void SetAge(const std::string& path, FakeClock& clock, std::chrono::hours age) {
  fs::last_write_time(path, std::chrono::file_clock::from_sys(clock.Now() - age));
}

TEST(LoggerTest, ExactBytesOfNewFile) {
  TempDir dir;
  FakeClock clock;  // 2026-05-20 14:05:09
  std::string path = dir.Path("logs/deep/sinc.log");
  {
    TLogger log(path, 0, 0, 0, FileSystem::Default(), &clock);
    log.Info("primeira");
    clock.Advance(std::chrono::seconds(51));
    log.Warning("linha\ncom quebra");
    log.Error("n\xC3\xA3o");
    log.Log("fora da faixa", static_cast<TLogLevel>(7));
  }
  EXPECT_EQ(ReadFileBytes(path),
            "\xEF\xBB\xBF"
            "2026-05-20 14:05:09 [INFO ] primeira\r\n"
            "2026-05-20 14:06:00 [WARN ] linha\ncom quebra\r\n"
            "2026-05-20 14:06:00 [ERROR] n\xC3\xA3o\r\n"
            "2026-05-20 14:06:00 [INFO ] fora da faixa\r\n");
}

TEST(LoggerTest, BomOnlyForNewOrEmptyFilesAndRegionalSeparator) {
  TempDir dir;
  FakeClock clock;
  clock.separator.assign(1, '.');  // not = ".": a false -Wrestrict of GCC 12 at -O2
  std::string existing = dir.Write("a.log", "old\r\n");
  std::string empty = dir.Write("b.log", "");
  TLogger(existing, 0, 0, 0, FileSystem::Default(), &clock).Info("x");
  TLogger(empty, 0, 0, 0, FileSystem::Default(), &clock).Info("y");
  EXPECT_EQ(ReadFileBytes(existing), "old\r\n2026-05-20 14.05.09 [INFO ] x\r\n");
  EXPECT_EQ(ReadFileBytes(empty),
            "\xEF\xBB\xBF"
            "2026-05-20 14.05.09 [INFO ] y\r\n");
}

TEST(LoggerTest, RotatesAtExactlyTheLimitWithCounterWithinOneSecond) {
  TempDir dir;
  FakeClock clock;
  std::string path = dir.Path("sinc.log");
  TLogger log(path, 1, 0, 0, FileSystem::Default(), &clock);
  // One byte short: the line goes in first, the file is rotated next time.
  testing::WriteFileBytes(path, std::string(kMiB - 1, 'x'));
  log.Info("a");
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"sinc.log"}));
  log.Info("b");
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"sinc.log", "sinc_20260520_140509.log"}));
  EXPECT_EQ(ReadFileBytes(path),
            "\xEF\xBB\xBF"
            "2026-05-20 14:05:09 [INFO ] b\r\n");
  for (int i = 0; i < 2; ++i) {
    testing::WriteFileBytes(path, std::string(kMiB, 'x'));
    log.Info("c");
  }
  EXPECT_EQ(Names(dir.path()),
            (std::vector<std::string>{"sinc.log", "sinc_20260520_140509.log",
                                      "sinc_20260520_140509_1.log", "sinc_20260520_140509_2.log"}));
}

// A line looks the file up once; a missing file must still get its folder
// back, as when someone deletes the log folder under a running agent.
TEST(LoggerTest, FolderRemovedWhileRunningIsMadeAgainByTheNextLine) {
  TempDir dir;
  FakeClock clock;
  std::string path = dir.Path("logs/sinc.log");
  TLogger log(path, 0, 0, 0, FileSystem::Default(), &clock);
  log.Info("antes");
  fs::remove_all(dir.Path("logs"));
  log.Info("depois");
  EXPECT_EQ(ReadFileBytes(path),
            "\xEF\xBB\xBF"
            "2026-05-20 14:05:09 [INFO ] depois\r\n");
  EXPECT_TRUE(log.FalhaEscrita().empty());
}

TEST(LoggerTest, NameWithoutExtensionAndOversizedFileAtCreation) {
  TempDir dir;
  FakeClock clock;
  std::string path = dir.Write("agent", std::string(kMiB + 10, 'x'));
  TLogger log(path, 1, 0, 0, FileSystem::Default(), &clock);
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"agent_20260520_140509"}));
  log.Info("novo");
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"agent", "agent_20260520_140509"}));
}

TEST(LoggerTest, CleanupByCountKeepsTheNewestNames) {
  TempDir dir;
  FakeClock clock;
  for (const char* n :
       {"sinc_20260101_000000.log", "SINC_20260102_000000.LOG", "sinc_20260103_000000.log",
        "sinc_notes.log", "sinc_20260105_000000.log", "sinc.txt", "other_1.log"}) {
    dir.Write(n, "x");
  }
  fs::create_directory(dir.Path("sinc_dir.log"));  // folders never count
  TLogger log(dir.Path("sinc.log"), 0, 0, 2, FileSystem::Default(), &clock);
  // "sinc_notes.log" matches the mask and sorts last, so it survives.
  EXPECT_EQ(Names(dir.path()),
            (std::vector<std::string>{"other_1.log", "sinc.txt", "sinc_20260105_000000.log",
                                      "sinc_dir.log", "sinc_notes.log"}));
}

TEST(LoggerTest, CleanupByAgeAtCreationAndOnFirstLineOfEachDay) {
  TempDir dir;
  FakeClock clock;
  std::string old_backup = dir.Write("sinc_20260101_000000.log", "x");
  std::string young = dir.Write("sinc_20260519_000000.log", "x");
  SetAge(old_backup, clock, std::chrono::hours(24 * 3 + 1));
  SetAge(young, clock, std::chrono::hours(24 * 3 - 1));
  TLogger log(dir.Path("sinc.log"), 0, 3, 0, FileSystem::Default(), &clock);
  EXPECT_FALSE(fs::exists(old_backup));
  EXPECT_TRUE(fs::exists(young));

  log.Info("mesmo dia");  // first write cleans once more; nothing is old yet
  SetAge(young, clock, std::chrono::hours(24 * 3 + 1));
  log.Info("ainda o mesmo dia");
  EXPECT_TRUE(fs::exists(young)) << "cleanup runs once per day of writing";
  clock.Advance(std::chrono::hours(10));  // past midnight
  SetAge(young, clock, std::chrono::hours(24 * 3 + 1));
  log.Info("dia seguinte");
  EXPECT_FALSE(fs::exists(young));
}

TEST(LoggerTest, UnwritablePathsLoseTheLineSilently) {
  TempDir dir;
  FakeClock clock;
  std::string blocker = dir.Write("file", "x");
  for (std::string path : {std::string(""), blocker + "/sub/sinc.log", dir.path()}) {
    TLogger log(path, 0, 0, 0, FileSystem::Default(), &clock);
    EXPECT_NO_THROW(log.Error("perdida"));
  }
  EXPECT_EQ(ReadFileBytes(blocker), "x");
}

// Records what would go to standard error.
class WatchedLogger : public TLogger {
 public:
  using TLogger::TLogger;
  std::vector<std::string> avisos;

 protected:
  void AvisarFalhaEscrita(const std::string& Texto) override { avisos.push_back(Texto); }
};

TEST(LoggerTest, LostLinesAreToldOnceAnHourAndUntilALineIsWritten) {
  TempDir dir;
  FakeClock clock;
  std::string blocker = dir.Write("logs", "x");  // a file where the folder should be
  std::string path = dir.Path("logs/sinc.log");
  WatchedLogger log(path, 0, 0, 0, FileSystem::Default(), &clock);
  EXPECT_EQ(log.FalhaEscrita(), "");
  log.Info("um");
  log.Info("dois");
  ASSERT_EQ(log.avisos.size(), 1u);
  EXPECT_EQ(log.avisos[0].rfind("lumacor-relay: nao foi possivel gravar o log " + path + ": ", 0),
            0u)
      << log.avisos[0];
  EXPECT_NE(log.FalhaEscrita(), "");
  clock.Advance(std::chrono::minutes(59));
  log.Info("tres");
  EXPECT_EQ(log.avisos.size(), 1u);
  clock.Advance(std::chrono::minutes(1));
  log.Info("quatro");
  EXPECT_EQ(log.avisos.size(), 2u);

  fs::remove(blocker);
  log.Info("cinco");
  EXPECT_EQ(log.FalhaEscrita(), "");
  EXPECT_EQ(log.avisos.size(), 2u);
  EXPECT_NE(ReadFileBytes(path).find("cinco"), std::string::npos);
}

TEST(LoggerTest, ShortcutsAreSafeWithoutLogger) {
  TLogger* saved = GLogger;
  GLogger = nullptr;
  EXPECT_NO_THROW(LogInfo("x"));
  EXPECT_NO_THROW(LogWarning("x"));
  EXPECT_NO_THROW(LogError("x"));
  GLogger = saved;
}

}  // namespace
}  // namespace lumacor
