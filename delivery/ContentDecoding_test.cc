#include "delivery/ContentDecoding.h"

#include <gtest/gtest.h>

#include "tools/TestPortal.h"

namespace lumacor {
namespace {

using testing::Compress;
using testing::Compression;

TEST(ContentDecodingTest, DecodesEachEncodingByItsHeader) {
  const std::string text = "{\"status\":\"ação\"}";
  struct Case {
    const char* encoding;
    std::string body;
  } cases[] = {
      {"gzip", Compress(text, Compression::kGzip)},
      {"GZip", Compress(text, Compression::kGzip)},
      {" gzip ", Compress(text, Compression::kGzip)},
      {"deflate", Compress(text, Compression::kZlib)},        // zlib-wrapped, as the RFC says
      {"deflate", Compress(text, Compression::kRawDeflate)},  // raw, as some servers send it
      {"", text},
      {"identity", text},
      {"br", text},  // unknown: left alone
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeContent(c.encoding, c.body, 1 << 20), text) << "'" << c.encoding << "'";
  }
}

TEST(ContentDecodingTest, CorruptOrTruncatedDataFails) {
  std::string gz = Compress(std::string(1000, 'a'), Compression::kGzip);
  EXPECT_THROW(DecodeContent("gzip", gz.substr(0, gz.size() / 2), 1 << 20), DecodingError);
  EXPECT_THROW(DecodeContent("gzip", "not gzip at all", 1 << 20), DecodingError);
  EXPECT_THROW(DecodeContent("deflate", "\xFF\xFF\xFF\xFF", 1 << 20), DecodingError);
  EXPECT_EQ(DecodeContent("gzip", "", 1 << 20), "");  // a 204 may still name an encoding
}

TEST(ContentDecodingTest, DecodedSizeIsCapped) {
  const std::string data(100000, 'z');
  std::string gz = Compress(data, Compression::kGzip);
  EXPECT_EQ(DecodeContent("gzip", gz, data.size()).size(), data.size());
  EXPECT_THROW(DecodeContent("gzip", gz, data.size() - 1), DecodingError);
  // A bomb: 20 MiB of zeros in a few kilobytes stops at the cap.
  std::string bomb = Compress(std::string(20u << 20, '\0'), Compression::kGzip);
  ASSERT_LT(bomb.size(), 100000u);
  EXPECT_THROW(DecodeContent("gzip", bomb, 16u << 20), DecodingError);
}

}  // namespace
}  // namespace lumacor
