#include "collect/XMLNormalizer.h"

#include "common/Text.h"

namespace lumacor {

std::string TXMLNormalizer::Normalize(TDBCursor& Field, int Column) {
  std::string text;
  if (Field.IsBlob(Column)) {
    text = BlobToString(Field, Column);
  } else {
    // Decoded by the client in the connection's character set; a column it
    // passes through undecoded (Firebird's NONE) must still be UTF-8.
    text = RequireUtf8(Field.AsText(Column));
  }
  return LimparBOM(TrimControl(text));
}

std::string TXMLNormalizer::BlobToString(TDBCursor& Field, int Column) {
  return BlobToString(Field.AsBytes(Column));
}

std::string TXMLNormalizer::BlobToString(std::string_view bytes) {
  if (bytes.empty()) return std::string();
  if (bytes.substr(0, 3) == kUtf8Bom) return RequireUtf8(bytes.substr(3));
  if (bytes.substr(0, 2) == "\xFF\xFE") return Utf16BytesToUtf8(bytes.substr(2), false);
  if (bytes.substr(0, 2) == "\xFE\xFF") return Utf16BytesToUtf8(bytes.substr(2), true);
  return RequireUtf8(bytes);
}

std::string TXMLNormalizer::LimparBOM(std::string_view S) {
  if (S.substr(0, 3) == kUtf8Bom) S.remove_prefix(3);
  return std::string(S);
}

}  // namespace lumacor
