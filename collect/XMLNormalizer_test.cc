#include "collect/XMLNormalizer.h"

#include <gtest/gtest.h>

#include "common/Text.h"

namespace lumacor {
namespace {

TEST(XMLNormalizer, BlobToStringChoosesTheDecodingByTheFirstBytes) {
  struct Case {
    std::string bytes;
    std::string text;
  } cases[] = {
      {"", ""},
      {"\xEF\xBB\xBF<a>ação</a>", "<a>ação</a>"},
      {"<a>ação</a>", "<a>ação</a>"},
      {std::string("\xFF\xFE<\0\xE7\0\xE3\0o\0>\0", 12), "<ção>"},
      {std::string("\xFE\xFF\0<\0\xE7\0>", 8), "<ç>"},
      // Only one mark is taken off; a second one is text.
      {"\xEF\xBB\xBF\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TXMLNormalizer::BlobToString(c.bytes), c.text);
  }
}

TEST(XMLNormalizer, BlobToStringIsStrictUtf8) {
  for (const std::string bytes : {"<a>a\xE7\xE3o</a>", "\xEF\xBB\xBF\xC3", "\xC0\xAF"}) {
    EXPECT_THROW(TXMLNormalizer::BlobToString(bytes), EncodingError);
  }
}

TEST(XMLNormalizer, LimparBOMRemovesOneLeadingMarkOnly) {
  EXPECT_EQ(TXMLNormalizer::LimparBOM("\xEF\xBB\xBF<a/>"), "<a/>");
  EXPECT_EQ(TXMLNormalizer::LimparBOM("\xEF\xBB\xBF\xEF\xBB\xBF<a/>"), "\xEF\xBB\xBF<a/>");
  EXPECT_EQ(TXMLNormalizer::LimparBOM("<a/>\xEF\xBB\xBF"), "<a/>\xEF\xBB\xBF");
  EXPECT_EQ(TXMLNormalizer::LimparBOM(""), "");
}

// One row of one column, text or BLOB.
class OneValue : public TDBCursor {
 public:
  OneValue(std::string value, bool blob) : value_(std::move(value)), blob_(blob) {}
  bool Next() override { return false; }
  int ColumnCount() const override { return 1; }
  std::string ColumnName(int) const override { return "XML"; }
  bool IsBlob(int) const override { return blob_; }
  std::string AsText(int) override { return value_; }
  std::string AsBytes(int) override { return value_; }

 private:
  std::string value_;
  bool blob_;
};

TEST(XMLNormalizer, NormalizeTrimsBeforeRemovingTheMark) {
  struct Case {
    std::string value;
    bool blob;
    std::string text;
  } cases[] = {
      {"\r\n\t <a/> \r\n", false, "<a/>"},
      // Trimming comes first: a mark followed by blanks keeps the blanks.
      {"\xEF\xBB\xBF \r\n<a/>", false, " \r\n<a/>"},
      {" \xEF\xBB\xBF<a/>", false, "<a/>"},
      {"\xEF\xBB\xBF\r\n<a/>\r\n", true, "<a/>"},  // the BLOB's own mark, then trimming
      {"\xEF\xBB\xBF\xEF\xBB\xBF<a/>", true, "<a/>"},
      {"", true, ""},
  };
  for (const auto& c : cases) {
    OneValue field(c.value, c.blob);
    EXPECT_EQ(TXMLNormalizer::Normalize(field, 0), c.text);
  }
}

TEST(XMLNormalizer, LegacyTextColumnsAreReadInTheAnsiCodePage) {
  struct Case {
    std::string value;
    std::string text;
  } cases[] = {
      {"\r\n<a>a\xE7\xE3o \x80</a> ", "<a>ação €</a>"},
      // Valid UTF-8 is never re-read, even where the bytes would be
      // Windows-1252 letters too.
      {"<a>ação</a>", "<a>ação</a>"},
      // UTF-8 that goes wrong further on is all legacy text.
      {"\xC3\xA7\xE7", "Ã§ç"},
  };
  for (const auto& c : cases) {
    OneValue field(c.value, false);
    EXPECT_EQ(TXMLNormalizer::Normalize(field, 0), c.text);
  }
  // A BLOB keeps its strict rule.
  OneValue blob("<a>a\xE7\xE3o</a>", true);
  EXPECT_THROW(TXMLNormalizer::Normalize(blob, 0), EncodingError);
}

}  // namespace
}  // namespace lumacor
