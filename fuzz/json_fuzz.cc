// The JSON body: for any text, the body is pure ASCII, parses as one JSON
// object, and gives every value back as it went in (invalid UTF-8 bytes as
// U+FFFD, as documented).
#include <rapidjson/document.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/Text.h"
#include "delivery/HTTPSender.h"
#include "fuzz/FuzzCheck.h"

using namespace lumacor;

namespace {

// What the escaping promises to carry: the text itself when valid UTF-8.
bool SameText(const rapidjson::Value& v, std::string_view expected) {
  return v.IsString() && std::string_view(v.GetString(), v.GetStringLength()) == expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // Split the input over two fields, so a key and a value both get odd text.
  size_t cut = input.find('\x01');
  TCorpoEnvio c;
  c.CNPJ = "12345678000190";
  c.Token = std::string(input.substr(0, cut == std::string_view::npos ? 0 : cut));
  c.XML = std::string(cut == std::string_view::npos ? input : input.substr(cut + 1));
  c.ChaveUnica = "35260512345678000190550010000000011000000011";
  c.DBType = "firebird";
  c.Hostname = "CAIXA";

  std::string literal = JsonString(c.XML);
  for (unsigned char ch : literal) FUZZ_CHECK(ch >= 0x20 && ch <= 0x7F);

  std::string body = MontarCorpo(c);
  for (unsigned char ch : body) FUZZ_CHECK(ch >= 0x20 && ch <= 0x7F);
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseValidateEncodingFlag>(body.data(), body.size());
  FUZZ_CHECK(!doc.HasParseError());
  FUZZ_CHECK(doc.IsObject() && doc.MemberCount() == 5);
  FUZZ_CHECK(doc.HasMember("xml") && doc["xml"].IsString());
  FUZZ_CHECK(doc.HasMember("token") && doc["token"].IsString());
  std::string_view xml(doc["xml"].GetString(), doc["xml"].GetStringLength());
  FUZZ_CHECK(IsValidUtf8(xml));
  if (IsValidUtf8(c.XML)) FUZZ_CHECK(SameText(doc["xml"], c.XML));
  if (IsValidUtf8(c.Token)) FUZZ_CHECK(SameText(doc["token"], c.Token));
  FUZZ_CHECK(SameText(doc["chave_unica"], c.ChaveUnica));
  return 0;
}
