#include "config/IniFile.h"

#include <gtest/gtest.h>

#include "common/Text.h"

namespace lumacor {
namespace {

TEST(IniFileTest, ReadingRules) {
  const std::string ini =
      "; comentario\r\n"
      "[API]\r\n"
      "cnpj=111\r\n"
      "CNPJ=222\r\n"  // first occurrence wins
      "  token_contador \t=\t  abc def  \r\n"
      "q1=\"quoted value\"\n"
      "q2='single'\n"
      "q3=\"unbalanced'\n"
      "q4=\"\"\n"
      "sql=select 1; -- not a comment\n"
      ";cnpj=commented\n"
      "empty=\n"
      "[ Log ]\n"
      "MAX_MB=5\n"
      "[api]\n"
      "late=ignored, only the first section counts\n";
  struct Case {
    const char* section;
    const char* key;
    std::optional<std::string> want;
  } cases[] = {
      {"api", "cnpj", "111"},
      {"API", "token_contador", "abc def"},
      {"API", "q1", "quoted value"},
      {"API", "q2", "single"},
      {"API", "q3", "\"unbalanced'"},
      {"API", "q4", ""},
      {"API", "sql", "select 1; -- not a comment"},
      {"API", "empty", ""},
      {"API", "missing", std::nullopt},
      {"LOG", "max_mb", "5"},
      {"nosection", "cnpj", std::nullopt},
      {"api", "late", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FindIniValue(ini, c.section, c.key), c.want) << c.section << "/" << c.key;
  }
}

TEST(IniFileTest, ValueCutAt2047Utf16Units) {
  std::string longv(3000, 'a');
  auto v = FindIniValue("[COLETA]\nsql=" + longv + "\n", "COLETA", "sql");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->size(), 2047u);
  // Units, not bytes: 2047 two-byte letters stay whole.
  std::string accented;
  for (int i = 0; i < 2100; ++i) accented += "\xC3\xA7";
  v = FindIniValue("[a]\nk=" + accented, "a", "k");
  ASSERT_TRUE(v);
  EXPECT_EQ(Utf16Length(*v), 2047u);
}

TEST(IniFileTest, Encodings) {
  // UTF-16 LE with BOM.
  std::string u16 = "\xFF\xFE";
  for (char c : std::string("[a]\r\nk=\xE7\r\n")) {
    u16.push_back(c);
    u16.push_back('\0');
  }
  EXPECT_EQ(FindIniValue(DecodeIniBytes(u16), "a", "k"), "\xC3\xA7");
  // UTF-8 with and without BOM.
  EXPECT_EQ(FindIniValue(DecodeIniBytes("\xEF\xBB\xBF[a]\nk=n\xC3\xA3o"), "a", "k"), "n\xC3\xA3o");
  EXPECT_EQ(FindIniValue(DecodeIniBytes("[a]\nk=n\xC3\xA3o"), "a", "k"), "n\xC3\xA3o");
  // Not UTF-8: the ANSI code page.
  EXPECT_EQ(FindIniValue(DecodeIniBytes("[a]\nk=n\xE3o"), "a", "k"), "n\xC3\xA3o");
}

TEST(IniFileTest, Integers) {
  struct Case {
    const char* text;
    std::optional<int32_t> want;
  } cases[] = {
      {"60", 60},
      {"  42", 42},
      {"+7", 7},
      {"-3", -3},
      {"0x0BEA", 3050},
      {"0X0bea", 3050},
      {"$10", 16},
      {"x1F", 31},
      {"-$10", -16},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"$FFFFFFFF", -1},
      {"$100000000", std::nullopt},
      {"", std::nullopt},
      {"12abc", std::nullopt},
      {"12 ", std::nullopt},
      {"true", std::nullopt},
      {"0x", std::nullopt},
      {"-", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseIniInteger(c.text), c.want) << c.text;
}

}  // namespace
}  // namespace lumacor
