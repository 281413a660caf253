#include "collect/XMLNormalizer.h"

#include "common/Text.h"
#include "platform/Locale.h"

namespace lumacor {

std::string TXMLNormalizer::Normalize(TDBCursor& Field, int Column) {
  std::string text;
  if (Field.IsBlob(Column)) {
    text = BlobToString(Field, Column);
  } else {
    text = ColumnText(Field, Column);
  }
  // Trimmed in place: the text may be large, and a copy is one more pass.
  const std::string_view kept = TrimControl(text);
  size_t inicio = static_cast<size_t>(kept.data() - text.data());
  size_t tamanho = kept.size();
  if (kept.substr(0, 3) == kUtf8Bom) {
    inicio += 3;
    tamanho -= 3;
  }
  text.resize(inicio + tamanho);
  text.erase(0, inicio);
  return text;
}

std::string TXMLNormalizer::ColumnText(TDBCursor& Field, int Column) {
  // Decoded by the client in the connection's character set, except where
  // the column has none the client knows of (Firebird's NONE, legacy data
  // stored through a Latin-1 connection): such bytes are what the ERP wrote
  // on Windows, in the ANSI code page, as legacy folder files are.
  std::string text = Field.AsText(Column);
  if (IsValidUtf8(text)) return text;
  return AnsiToUtf8(text);
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
