// Decoding of compressed HTTP answers. Nothing is ever asked for (no
// Accept-Encoding goes out), but a portal may compress anyway.
#ifndef LUMACOR_DELIVERY_CONTENTDECODING_H_
#define LUMACOR_DELIVERY_CONTENTDECODING_H_

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lumacor {

class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Decodes `body` by its Content-Encoding: "gzip", "deflate" (zlib-wrapped
// or raw, as servers disagree), any ASCII case. Other values leave the body
// as it is. Raises DecodingError on corrupt data or when the decoded size
// passes `limit` (a small bomb must not exhaust memory).
std::string DecodeContent(std::string_view content_encoding, std::string_view body, size_t limit);

}  // namespace lumacor

#endif  // LUMACOR_DELIVERY_CONTENTDECODING_H_
