#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/Process.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

TEST(FileSystemTest, ExistenceListingAndFolders) {
  TempDir dir;
  FileSystem* fs = FileSystem::Default();
  std::string file = dir.Write("a/b.xml", "x");
  EXPECT_TRUE(fs->FileExists(file));
  EXPECT_FALSE(fs->FileExists(dir.Path("a")));
  EXPECT_TRUE(fs->DirectoryExists(dir.Path("a")));
  EXPECT_FALSE(fs->DirectoryExists(file));
  fs->CreateDirectories(dir.Path("x/y/z"));
  EXPECT_TRUE(fs->DirectoryExists(dir.Path("x/y/z")));
  EXPECT_THROW(fs->CreateDirectories(file + "/sub"), PlatformError);
  auto entries = fs->ListDirectory(dir.path());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[0].is_directory && entries[1].is_directory);
  EXPECT_THROW(fs->ListDirectory(dir.Path("missing")), PlatformError);
}

TEST(FileSystemTest, RenameNeverReplaces) {
  TempDir dir;
  FileSystem* fs = FileSystem::Default();
  std::string a = dir.Write("a", "A"), b = dir.Write("b", "B");
  EXPECT_THROW(fs->RenameNoReplace(a, b), PlatformError);
  EXPECT_EQ(ReadFileBytes(b), "B");
  fs->RenameNoReplace(a, dir.Path("c"));
  EXPECT_FALSE(fs->FileExists(a));
  EXPECT_EQ(ReadFileBytes(dir.Path("c")), "A");
  fs->DeleteFile(dir.Path("c"));
  EXPECT_FALSE(fs->FileExists(dir.Path("c")));
  EXPECT_THROW(fs->DeleteFile(dir.Path("c")), PlatformError);
}

TEST(FileSystemTest, WriteFileReplaceSwapsTheWholeFile) {
  TempDir dir;
  FileSystem* fs = FileSystem::Default();
  std::string path = dir.Path("status.json");
  fs->WriteFileReplace(path, "primeiro");
  EXPECT_EQ(ReadFileBytes(path), "primeiro");
  fs->WriteFileReplace(path, "2");  // shorter: nothing of the old one stays
  EXPECT_EQ(ReadFileBytes(path), "2");
  std::string big(3 << 20, 'x');
  fs->WriteFileReplace(path, big);
  EXPECT_EQ(ReadFileBytes(path), big);
  fs->WriteFileReplace(path, "");
  EXPECT_EQ(ReadFileBytes(path), "");
  EXPECT_FALSE(fs->FileExists(path + ".tmp"));
  // A folder where the file should go: the rename fails, nothing is left.
  fs->CreateDirectories(dir.Path("pasta"));
  EXPECT_THROW(fs->WriteFileReplace(dir.Path("pasta"), "x"), PlatformError);
  EXPECT_FALSE(fs->FileExists(dir.Path("pasta.tmp")));
  EXPECT_THROW(fs->WriteFileReplace(dir.Path("falta/status.json"), "x"), PlatformError);
}

TEST(FileSystemTest, AppendReportsPosition) {
  TempDir dir;
  auto f = FileSystem::Default()->OpenAppend(dir.Path("l"));
  EXPECT_EQ(f->Position(), 0);
  f->Append("abc");
  EXPECT_EQ(f->Position(), 3);
}

TEST(FileSystemTest, FolderOf) {
  struct Case {
    const char* path;
    const char* folder;
  } cases[] = {{"/a/b/c.log", "/a/b"}, {"/c.log", "/"},           {"c.log", ""},
               {"C:\\c.log", "C:\\"},  {"C:\\l\\c.log", "C:\\l"}, {"a\\b/c", "a\\b"}};
  for (const auto& c : cases) EXPECT_EQ(FolderOf(c.path), c.folder) << c.path;
}

class FileSystemContentTest : public ::testing::Test {
 protected:
  FileSystem* fs_ = FileSystem::Default();
  TempDir dir_;
  std::string Join(const std::string& a, const std::string& b) { return a + fs_->Separator() + b; }
};

TEST_F(FileSystemContentTest, CreateListAndTellFilesFromFolders) {
  std::string nested = Join(Join(Join(dir_.path(), "a"), "b\xC3\xA7"), "c");
  fs_->CreateDirectories(nested);
  fs_->CreateDirectories(nested + fs_->Separator());  // existing, trailing separator
  EXPECT_TRUE(fs_->DirectoryExists(nested));
  EXPECT_FALSE(fs_->FileExists(nested));

  std::string file = dir_.Write("a/nota\xC3\xA7\xC3\xA3o.xml", "x");
  EXPECT_TRUE(fs_->FileExists(file));
  EXPECT_FALSE(fs_->DirectoryExists(file));
  EXPECT_FALSE(fs_->FileExists(Join(dir_.path(), "missing")));
  EXPECT_THROW(fs_->CreateDirectories(Join(file, "sub")), PlatformError);

  auto entries = fs_->ListDirectory(Join(dir_.path(), "a"));
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& x, const DirEntry& y) { return x.name < y.name; });
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "b\xC3\xA7");
  EXPECT_TRUE(entries[0].is_directory);
  EXPECT_EQ(entries[1].name, "nota\xC3\xA7\xC3\xA3o.xml");
  EXPECT_FALSE(entries[1].is_directory);
  EXPECT_TRUE(fs_->ListDirectory(nested).empty());
  EXPECT_THROW(fs_->ListDirectory(Join(dir_.path(), "missing")), PlatformError);
}

TEST_F(FileSystemContentTest, ReadFileKeepsBytesAndStatMatches) {
  std::string bytes("<a>\r\n\0\xFF\xC3\xA3</a>\n", 15);
  bytes += std::string(200000, 'z');  // more than one read
  std::string file = dir_.Write("f.xml", bytes);
  EXPECT_EQ(fs_->ReadFile(file), bytes);

  FileInfo info;
  ASSERT_TRUE(fs_->Stat(file, &info));
  EXPECT_FALSE(info.is_directory);
  EXPECT_EQ(info.size, static_cast<int64_t>(bytes.size()));
  // Written moments ago: the epoch conversion is right to the day.
  auto now = std::chrono::duration_cast<std::chrono::seconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  EXPECT_LT(std::llabs(now - info.mtime_seconds), 86400);
  EXPECT_GE(info.mtime_nanos, 0);
  EXPECT_LT(info.mtime_nanos, 1000000000);

  FileInfo dinfo;
  ASSERT_TRUE(fs_->Stat(dir_.path(), &dinfo));
  EXPECT_TRUE(dinfo.is_directory);
  EXPECT_FALSE(fs_->Stat(Join(dir_.path(), "missing"), &dinfo));

  EXPECT_THROW(fs_->ReadFile(Join(dir_.path(), "missing")), PlatformError);
  EXPECT_THROW(fs_->ReadFile(dir_.path()), PlatformError);
  EXPECT_EQ(fs_->ReadFile(dir_.Write("empty.xml", "")), "");
}

std::filesystem::path U8Path(const std::string& s) {
  return std::filesystem::path(std::u8string(s.begin(), s.end()));
}

// What the folder scans rely on to skip a file unread: the file's identity
// follows it through a rename, and a rewrite shows even when its size and
// last-write time are put back.
TEST_F(FileSystemContentTest, StatIdentifiesAFileAndSeesARewriteBehindARestoredDate) {
  std::string a = dir_.Write("a.xml", "versao 1");
  FileInfo first;
  ASSERT_TRUE(fs_->Stat(a, &first));
  EXPECT_NE(first.inode, 0u);
  EXPECT_NE(first.ctime_seconds, 0);

  std::string b = Join(dir_.path(), "b.xml");
  fs_->RenameNoReplace(a, b);
  FileInfo renamed;
  ASSERT_TRUE(fs_->Stat(b, &renamed));
  EXPECT_EQ(renamed.device, first.device);
  EXPECT_EQ(renamed.inode, first.inode);
  EXPECT_EQ(renamed.mtime_seconds, first.mtime_seconds);
  EXPECT_EQ(renamed.mtime_nanos, first.mtime_nanos);

  std::string other = dir_.Write("c.xml", "versao 1");
  FileInfo third;
  ASSERT_TRUE(fs_->Stat(other, &third));
  EXPECT_FALSE(third.device == first.device && third.inode == first.inode);

  // The same size, the date put back as a copy tool does. The system's
  // clock for file times ticks coarsely (milliseconds): rewrite until it
  // has moved, as it has between any two edits by a person or a program.
  auto when = std::filesystem::last_write_time(U8Path(b));
  FileInfo rewritten;
  for (int i = 0; i < 200; ++i) {
    testing::WriteFileBytes(b, "versao 2");
    std::filesystem::last_write_time(U8Path(b), when);
    ASSERT_TRUE(fs_->Stat(b, &rewritten));
    if (rewritten.ctime_seconds != renamed.ctime_seconds ||
        rewritten.ctime_nanos != renamed.ctime_nanos) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(rewritten.size, renamed.size);
  EXPECT_EQ(rewritten.mtime_seconds, renamed.mtime_seconds);
  EXPECT_EQ(rewritten.mtime_nanos, renamed.mtime_nanos);
  EXPECT_FALSE(rewritten.ctime_seconds == renamed.ctime_seconds &&
               rewritten.ctime_nanos == renamed.ctime_nanos);
}

TEST_F(FileSystemContentTest, AppendCreatesExtendsAndLetsReadersIn) {
  std::string file = Join(dir_.path(), "log.txt");
  {
    auto out = fs_->OpenAppend(file);
    EXPECT_EQ(out->Position(), 0);
    out->Append("um\r\n");
    EXPECT_EQ(out->Position(), 4);
    EXPECT_EQ(ReadFileBytes(file), "um\r\n");  // a reader while it is open
  }
  {
    auto out = fs_->OpenAppend(file);
    EXPECT_EQ(out->Position(), 4);
    out->Append("dois\r\n");
  }
  EXPECT_EQ(ReadFileBytes(file), "um\r\ndois\r\n");
  EXPECT_THROW(fs_->OpenAppend(Join(Join(dir_.path(), "missing"), "log.txt")), PlatformError);
}

TEST_F(FileSystemContentTest, FullPathResolvesDotsWithoutTouchingTheDisk) {
  char sep = fs_->Separator();
  std::string base = fs_->FullPath(dir_.path());
  EXPECT_EQ(fs_->FullPath(Join(Join(Join(base, "x"), ".."), "y")), Join(base, "y"));
  EXPECT_EQ(fs_->FullPath(Join(Join(base, "."), "y")), Join(base, "y"));
  std::string rel = fs_->FullPath("nao-existe.ini");
  EXPECT_EQ(rel.substr(rel.size() - 15), std::string(1, sep) + "nao-existe.ini");
  EXPECT_EQ(fs_->FullPath(rel), rel);
}

}  // namespace
}  // namespace lumacor
