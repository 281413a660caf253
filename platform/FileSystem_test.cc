#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/DynamicLibrary.h"
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

TEST(FileSystemTest, AppendReportsPosition) {
  TempDir dir;
  auto f = FileSystem::Default()->OpenAppend(dir.Path("l"));
  EXPECT_EQ(f->Position(), 0);
  f->Append("abc");
  EXPECT_EQ(f->Position(), 3);
}

TEST(FileSystemTest, FullPathResolvesDotsLexically) {
  FileSystem* fs = FileSystem::Default();
  EXPECT_EQ(fs->FullPath("/a/./b/../c"), "/a/c");
  EXPECT_EQ(fs->FullPath("/../x"), "/x");
  EXPECT_EQ(fs->FullPath("/a/b/"), "/a/b/");
  std::string rel = fs->FullPath("q/../r");
  EXPECT_EQ(rel.front(), '/');
  EXPECT_EQ(rel.substr(rel.size() - 2), "/r");
}

TEST(FileSystemTest, FolderOf) {
  struct Case {
    const char* path;
    const char* folder;
  } cases[] = {{"/a/b/c.log", "/a/b"}, {"/c.log", "/"},       {"c.log", ""},
               {"C:\\c.log", "C:\\"},  {"C:\\l\\c.log", "C:\\l"}, {"a\\b/c", "a\\b"}};
  for (const auto& c : cases) EXPECT_EQ(FolderOf(c.path), c.folder) << c.path;
}

TEST(DynamicLibraryTest, LoadFindAndMove) {
  EXPECT_THROW(DynamicLibrary::Open("libnao-existe-lumacor.so"), PlatformError);
  DynamicLibrary lib = DynamicLibrary::OpenFirst({"libnao-existe.so", "libz.so.1"});
  EXPECT_TRUE(lib.loaded());
  EXPECT_NE(lib.Find("zlibVersion"), nullptr);
  EXPECT_THROW(lib.Require("nao_existe"), PlatformError);
  DynamicLibrary other;
  other = std::move(lib);
  EXPECT_FALSE(lib.loaded());
  EXPECT_NE(other.Find("zlibVersion"), nullptr);
  other = DynamicLibrary::Open("libz.so.1");  // releases the old handle
  EXPECT_TRUE(other.loaded());
}

}  // namespace
}  // namespace lumacor
