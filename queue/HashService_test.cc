#include "queue/HashService.h"

#include <gtest/gtest.h>

#include "common/Text.h"

namespace lumacor {
namespace {

TEST(HashServiceTest, KnownDigests) {
  struct Case {
    std::string text;
    const char* hex;
  } cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"n\xC3\xA3o", "76daee1631fea659d4916e762790fa20df30a372595cefa140030834c67b08ea"},
      // Over UTF-16 input the same digest comes out once converted.
      {Utf16ToUtf8(u"n\u00E3o"),
       "76daee1631fea659d4916e762790fa20df30a372595cefa140030834c67b08ea"},
  };
  for (const auto& c : cases) EXPECT_EQ(THashService::SHA256(c.text), c.hex) << c.text;
}

TEST(HashServiceTest, NothingIsNormalised) {
  std::string lf = "<a>\n<b/>\n</a>";
  std::string crlf = "<a>\r\n<b/>\r\n</a>";
  std::string bom = std::string(kUtf8Bom) + lf;
  EXPECT_NE(THashService::SHA256(lf), THashService::SHA256(crlf));
  EXPECT_NE(THashService::SHA256(lf), THashService::SHA256(bom));
  EXPECT_NE(THashService::SHA256("ABC"), THashService::SHA256("abc"));
}

TEST(HashServiceTest, LoneSurrogateHashesAsReplacementCharacter) {
  std::u16string lone = u"a";
  lone.push_back(char16_t(0xDC00));
  EXPECT_EQ(THashService::SHA256(Utf16ToUtf8(lone)), THashService::SHA256("a\xEF\xBF\xBD"));
  // A proper pair is one 4-byte character.
  EXPECT_EQ(THashService::SHA256(Utf16ToUtf8(u"\U0001F600")),
            THashService::SHA256("\xF0\x9F\x98\x80"));
}

TEST(HashServiceTest, LargeTextIsHashedWhole) {
  std::string big(3 * 1024 * 1024, 'x');
  std::string h = THashService::SHA256(big);
  ASSERT_EQ(h.size(), 64u);
  EXPECT_EQ(h.find_first_not_of("0123456789abcdef"), std::string::npos);
  big.back() = 'y';
  EXPECT_NE(THashService::SHA256(big), h);
}

}  // namespace
}  // namespace lumacor
