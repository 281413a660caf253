#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/FileSystem.h"
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

}  // namespace
}  // namespace lumacor
