#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

class FileSystemTest : public ::testing::Test {
 protected:
  FileSystem* fs_ = FileSystem::Default();
  TempDir dir_;
  std::string Join(const std::string& a, const std::string& b) {
    return a + fs_->Separator() + b;
  }
};

TEST_F(FileSystemTest, CreateListAndTellFilesFromFolders) {
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

TEST_F(FileSystemTest, ReadFileKeepsBytesAndStatMatches) {
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
                 std::chrono::system_clock::now().time_since_epoch()).count();
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

TEST_F(FileSystemTest, AppendCreatesExtendsAndLetsReadersIn) {
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

TEST_F(FileSystemTest, RenameNeverReplacesAndDeleteRemoves) {
  std::string a = dir_.Write("a.log", "A");
  std::string b = dir_.Write("b.log", "B");
  EXPECT_THROW(fs_->RenameNoReplace(a, b), PlatformError);
  EXPECT_EQ(ReadFileBytes(a), "A");
  EXPECT_EQ(ReadFileBytes(b), "B");

  std::string c = Join(dir_.path(), "c.log");
  fs_->RenameNoReplace(a, c);
  EXPECT_FALSE(fs_->FileExists(a));
  EXPECT_EQ(ReadFileBytes(c), "A");

  fs_->DeleteFile(c);
  EXPECT_FALSE(fs_->FileExists(c));
  EXPECT_THROW(fs_->DeleteFile(c), PlatformError);
}

TEST_F(FileSystemTest, FullPathResolvesDotsWithoutTouchingTheDisk) {
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
