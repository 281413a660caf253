// What only the POSIX half promises: "/" paths resolved lexically, shared
// objects found by their sonames, a computer name without COMPUTERNAME.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>

#include "platform/DynamicLibrary.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"

namespace lumacor {
namespace {

TEST(PosixFileSystemTest, FullPathResolvesDotsLexically) {
  FileSystem* fs = FileSystem::Default();
  EXPECT_EQ(fs->FullPath("/a/./b/../c"), "/a/c");
  EXPECT_EQ(fs->FullPath("/../x"), "/x");
  EXPECT_EQ(fs->FullPath("/a/b/"), "/a/b/");
  std::string rel = fs->FullPath("q/../r");
  EXPECT_EQ(rel.front(), '/');
  EXPECT_EQ(rel.substr(rel.size() - 2), "/r");
}

TEST(PosixDynamicLibraryTest, LoadFindAndMove) {
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

TEST(PosixProcessTest, ComputerNameIsTheHostNameUnlessCOMPUTERNAMEIsSet) {
  const char* saved = std::getenv("COMPUTERNAME");
  std::string before = saved != nullptr ? saved : "";
  char host[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  ASSERT_NE(host[0], '\0');

  ::unsetenv("COMPUTERNAME");
  EXPECT_EQ(Process::Default()->ComputerName(), host);
  ::setenv("COMPUTERNAME", "CAIXA-01", 1);
  EXPECT_EQ(Process::Default()->ComputerName(), "CAIXA-01");

  if (saved != nullptr) {
    ::setenv("COMPUTERNAME", before.c_str(), 1);
  } else {
    ::unsetenv("COMPUTERNAME");
  }
}

}  // namespace
}  // namespace lumacor
