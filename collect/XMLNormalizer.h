// Text of the document column of a collection query.
#ifndef LUMACOR_COLLECT_XMLNORMALIZER_H_
#define LUMACOR_COLLECT_XMLNORMALIZER_H_

#include <string>
#include <string_view>

#include "collect/DBDriver.h"

namespace lumacor {

class TXMLNormalizer {
 public:
  TXMLNormalizer() = delete;

  // The column's text (BLOBs through BlobToString, text columns through
  // ColumnText), trimmed of characters 0..32 at both ends, then without one
  // leading U+FEFF. Raises EncodingError for a BLOB that is not valid UTF-8.
  static std::string Normalize(TDBCursor& Field, int Column);

  // A text column's value as UTF-8: as the client delivers it when that is
  // valid UTF-8, else decoded from the ANSI code page. Never fails on
  // content.
  static std::string ColumnText(TDBCursor& Field, int Column);

  // A BLOB column's bytes decoded: UTF-8 after EF BB BF, UTF-16 LE after
  // FF FE, UTF-16 BE after FE FF, else strict UTF-8. Raises EncodingError.
  static std::string BlobToString(TDBCursor& Field, int Column);
  static std::string BlobToString(std::string_view bytes);

  // `S` without one leading U+FEFF.
  static std::string LimparBOM(std::string_view S);
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_XMLNORMALIZER_H_
