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

  // The column's text (BLOBs through BlobToString), trimmed of characters
  // 0..32 at both ends, then without one leading U+FEFF. Raises
  // EncodingError when the text is not valid UTF-8.
  static std::string Normalize(TDBCursor& Field, int Column);

  // A BLOB column's bytes decoded: UTF-8 after EF BB BF, UTF-16 LE after
  // FF FE, UTF-16 BE after FE FF, else strict UTF-8. Raises EncodingError.
  static std::string BlobToString(TDBCursor& Field, int Column);
  static std::string BlobToString(std::string_view bytes);

  // `S` without one leading U+FEFF.
  static std::string LimparBOM(std::string_view S);
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_XMLNORMALIZER_H_
