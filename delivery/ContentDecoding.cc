#include "delivery/ContentDecoding.h"

#include <zlib.h>

#include "common/Text.h"

namespace lumacor {

namespace {

// Owns one inflate stream.
class Inflater {
 public:
  explicit Inflater(int window_bits) {
    if (inflateInit2(&z_, window_bits) != Z_OK) throw DecodingError("Falha ao iniciar o zlib");
  }
  ~Inflater() { inflateEnd(&z_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  std::string Run(std::string_view in, size_t limit) {
    std::string out;
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z_.avail_in = static_cast<uInt>(in.size());
    char buf[64 * 1024];
    for (;;) {
      z_.next_out = reinterpret_cast<Bytef*>(buf);
      z_.avail_out = sizeof buf;
      int rc = inflate(&z_, Z_NO_FLUSH);
      size_t produced = sizeof buf - z_.avail_out;
      if (out.size() + produced > limit) {
        throw DecodingError("Resposta descompactada maior que o limite de " +
                            std::to_string(limit) + " bytes");
      }
      out.append(buf, produced);
      if (rc == Z_STREAM_END) return out;
      if (rc == Z_BUF_ERROR && z_.avail_in == 0)
        throw DecodingError("Resposta compactada truncada");
      if (rc != Z_OK && rc != Z_BUF_ERROR) {
        throw DecodingError(std::string("Resposta compactada inválida: ") +
                            (z_.msg ? z_.msg : "erro do zlib"));
      }
    }
  }

 private:
  z_stream z_{};
};

// RFC 1950 header: compression method 8 and a check sum over two bytes.
bool LooksZlibWrapped(std::string_view body) {
  if (body.size() < 2) return false;
  auto cmf = static_cast<unsigned char>(body[0]);
  auto flg = static_cast<unsigned char>(body[1]);
  return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0;
}

}  // namespace

std::string DecodeContent(std::string_view content_encoding, std::string_view body, size_t limit) {
  std::string_view enc = TrimControl(content_encoding);
  if (body.empty()) return std::string();
  if (body.size() > 0xFFFFFFFFu) throw DecodingError("Resposta compactada grande demais");
  if (EqualsIgnoreAsciiCase(enc, "gzip") || EqualsIgnoreAsciiCase(enc, "x-gzip")) {
    return Inflater(16 + MAX_WBITS).Run(body, limit);
  }
  if (EqualsIgnoreAsciiCase(enc, "deflate")) {
    return Inflater(LooksZlibWrapped(body) ? MAX_WBITS : -MAX_WBITS).Run(body, limit);
  }
  return std::string(body);
}

}  // namespace lumacor
