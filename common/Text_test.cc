#include "common/Text.h"

#include <gtest/gtest.h>

namespace lumacor {
namespace {

TEST(TextTest, Utf8Validation) {
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"abc", true},
      {"n\xC3\xA3o", true},
      {"\xF0\x9F\x98\x80", true},
      {"\xE3o", false},             // Windows-1252 a-tilde
      {"\xC0\xAF", false},          // overlong
      {"\xED\xA0\x80", false},      // encoded surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xE2\x82", false},          // truncated
      // Past and across the eight-byte steps over ASCII.
      {"<infNFe Id=\"NFe\">\xE3o", false},
      {"abcdefg\xC3\xA3xyz12345678", true},
      {"abcdefgh12345678\xE2\x82", false},
      {"abcdefgh12345678\xE2\x82\xAC", true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << c.bytes;
  EXPECT_THROW(RequireUtf8("\xE3"), EncodingError);
}

TEST(TextTest, Utf16RoundTripAndLoneSurrogate) {
  std::string s = "a\xC3\xA7\xF0\x9F\x98\x80";
  std::u16string u = Utf8ToUtf16(s);
  ASSERT_EQ(u.size(), 4u);
  EXPECT_EQ(u[2], 0xD83D);
  EXPECT_EQ(u[3], 0xDE00);
  EXPECT_EQ(Utf16ToUtf8(u), s);
  EXPECT_EQ(Utf16Length(s), 4u);
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf16Prefix(s, 3), "a\xC3\xA7");  // never half a pair
  EXPECT_EQ(Utf16Prefix(s, 4), s);
}

TEST(TextTest, Windows1252) {
  EXPECT_EQ(Windows1252ToUtf8("n\xE3o \x80"), "n\xC3\xA3o \xE2\x82\xAC");
  EXPECT_EQ(Utf16BytesToUtf8(std::string("a\0\xE7\0", 4), false), "a\xC3\xA7");
  EXPECT_EQ(Utf16BytesToUtf8(std::string("\0a\0\xE7", 4), true), "a\xC3\xA7");
}

TEST(TextTest, TrimAndCase) {
  EXPECT_EQ(TrimControl(std::string(" \t\r\n\x01x y\x1F ", 11)), "x y");
  EXPECT_TRUE(EqualsIgnoreAsciiCase("PaStA", "pasta"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("pasta ", "pasta"));
  EXPECT_LT(CompareIgnoreAsciiCase("ABC", "abd"), 0);
  EXPECT_EQ(CompareIgnoreAsciiCase("ABC", "abc"), 0);
  EXPECT_TRUE(EndsWithIgnoreAsciiCase("A.XmL", ".xml"));
  EXPECT_EQ(Format("%d|%s", 7, "x"), "7|x");
}

}  // namespace
}  // namespace lumacor
