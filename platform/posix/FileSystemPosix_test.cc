#include <sys/stat.h>

#include <gtest/gtest.h>

#include "log/Logger.h"
#include "platform/FileSystem.h"
#include "queue/LocalQueue.h"
#include "testsupport/Fakes.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

TEST(FileSystemPosixTest, ReadFileRefusesWhatIsNotARegularFile) {
  testing::TempDir dir;
  std::string fifo = dir.Path("nota.xml");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  // Without a writer a blocking open would never return.
  EXPECT_THROW(FileSystem::Default()->ReadFile(fifo), PlatformError);
  EXPECT_THROW(FileSystem::Default()->ReadFile(dir.path()), PlatformError);
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// Sets the umask for one scope, as a shell or a service manager would.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

TEST(FileSystemPosixTest, PrivateFilesAreOwnerAndGroupOnlyWhateverTheUmask) {
  struct Case {
    mode_t umask;
    mode_t expected;
  } cases[] = {{0, 0640}, {022, 0640}, {027, 0640}, {077, 0600}};
  FileSystem* fs = FileSystem::Default();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.umask);
    testing::TempDir dir;
    ScopedUmask mask(c.umask);
    fs->CreatePrivateFile(dir.Path("fila.db"));
    fs->OpenAppend(dir.Path("sinc.log"))->Append("x");
    EXPECT_EQ(ModeOf(dir.Path("fila.db")), c.expected);
    EXPECT_EQ(ModeOf(dir.Path("sinc.log")), c.expected);
  }
}

TEST(FileSystemPosixTest, ReplacedFilesArePrivate) {
  testing::TempDir dir;
  ScopedUmask mask(0);
  FileSystem::Default()->WriteFileReplace(dir.Path("status.html"), "<html>");
  EXPECT_EQ(ModeOf(dir.Path("status.html")), 0640u);
}

TEST(FileSystemPosixTest, CreatePrivateFileLeavesAnExistingFileAlone) {
  testing::TempDir dir;
  std::string path = dir.Write("fila.db", "conteudo");
  ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
  FileSystem::Default()->CreatePrivateFile(path);
  EXPECT_EQ(testing::ReadFileBytes(path), "conteudo");
  EXPECT_EQ(ModeOf(path), 0604u);
  EXPECT_THROW(FileSystem::Default()->CreatePrivateFile(dir.Path("falta/fila.db")), PlatformError);
}

// The agent's own files under the usual umask of a shell: the queue, the
// journal SQLite makes beside it during a write, the log and its backups.
TEST(FileSystemPosixTest, QueueJournalLogAndBackupsAreCreatedPrivate) {
  testing::TempDir dir;
  ScopedUmask mask(022);
  std::string db = dir.Path("config/queue.db");
  TLocalQueue queue(db);
  TXmlRowArray rows = {{"35240111222333000181550010000001231123456789", "<a/>"}};
  queue.UpsertEmLote(rows, "12345678000190");
  EXPECT_EQ(ModeOf(db), 0640u);

  // A write held open keeps the journal in place.
  queue.Connection().Exec("BEGIN IMMEDIATE");
  queue.Connection().Exec("UPDATE sync_xml SET tentativas = 1");
  EXPECT_EQ(ModeOf(db + "-journal"), 0640u);
  queue.Connection().Exec("ROLLBACK");

  testing::FakeClock clock;
  std::string log = dir.Path("logs/sinc.log");
  TLogger logger(log, 1, 30, 10, FileSystem::Default(), &clock);
  logger.Info(std::string(1024 * 1024, 'x'));
  clock.Advance(std::chrono::seconds(1));
  logger.Info("depois da rotacao");
  std::vector<DirEntry> entries = FileSystem::Default()->ListDirectory(dir.Path("logs"));
  ASSERT_EQ(entries.size(), 2u);
  for (const DirEntry& e : entries) EXPECT_EQ(ModeOf(dir.Path("logs/" + e.name)), 0640u) << e.name;
}

}  // namespace
}  // namespace lumacor
