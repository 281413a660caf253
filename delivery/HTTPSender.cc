#include "delivery/HTTPSender.h"

#include <rapidjson/document.h>

#include <exception>
#include <stdexcept>

#include "common/Text.h"
#include "config/Config.h"
#include "delivery/ContentDecoding.h"

namespace lumacor {

namespace {

constexpr const char* kPathReceber = "/xml/receber";
constexpr const char* kApp = "lumacor_relay";
constexpr const char* kAppVersion = "1.0.2";
constexpr const char* kStatusPadrao = "recebido";
constexpr size_t kMaxAnswerBytes = 16u << 20;

// A 200/201 answer that is JSON of the wrong shape.
class JsonShapeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void AppendUnitEscape(std::string& out, uint32_t unit) {
  static const char kHex[] = "0123456789ABCDEF";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

// Next code point of `s` at `i`; an invalid sequence yields U+FFFD and
// skips one byte.
uint32_t NextCodePoint(std::string_view s, size_t& i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
  if (len != 0 && i + len <= s.size() && IsValidUtf8(s.substr(i, len))) {
    uint32_t cp = c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (b(i + k) & 0x3F);
    i += len;
    return cp;
  }
  ++i;
  return 0xFFFD;
}

std::string TypeName(const std::exception& e) {
  if (auto* h = dynamic_cast<const HttpError*>(&e)) return h->type_name();
  if (dynamic_cast<const EncodingError*>(&e)) return "EEncodingError";
  if (dynamic_cast<const DecodingError*>(&e)) return "EDecompressionError";
  if (dynamic_cast<const JsonShapeError*>(&e)) return "EJSONException";
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "EOutOfMemory";
  return "Exception";
}

}  // namespace

std::string MontarURL(std::string_view EndpointAPI) {
  size_t end = EndpointAPI.find_last_not_of('/');
  std::string url(end == std::string_view::npos ? std::string_view() : EndpointAPI.substr(0, end + 1));
  return url + kPathReceber;
}

std::string JsonString(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t cp = NextCodePoint(utf8, i);
    switch (cp) {
      case 0x08: out += "\\b"; continue;
      case 0x09: out += "\\t"; continue;
      case 0x0A: out += "\\n"; continue;
      case 0x0C: out += "\\f"; continue;
      case 0x0D: out += "\\r"; continue;
      case '"': out += "\\\""; continue;
      case '/': out += "\\/"; continue;
      case '\\': out += "\\\\"; continue;
      default: break;
    }
    if (cp < 0x20 || (cp > 0x7F && cp <= 0xFFFF)) {
      AppendUnitEscape(out, cp);
    } else if (cp > 0xFFFF) {
      cp -= 0x10000;
      AppendUnitEscape(out, 0xD800 + (cp >> 10));
      AppendUnitEscape(out, 0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char>(cp);
    }
  }
  out += '"';
  return out;
}

std::string MontarCorpo(const TCorpoEnvio& c) {
  std::string body;
  body.reserve(c.XML.size() + c.XML.size() / 8 + 256);
  auto member = [&](const char* key, std::string_view value, bool first = false) {
    if (!first) body += ',';
    body += JsonString(key);
    body += ':';
    body += JsonString(value);
  };
  body += '{';
  member("cnpj", c.CNPJ, true);
  member("token", c.Token);
  member("chave_unica", c.ChaveUnica);
  member("xml", c.XML);
  body += ',' + JsonString("origem") + ":{";
  member("app", kApp, true);
  member("db_type", c.DBType);
  member("hostname", c.Hostname);
  member("app_version", kAppVersion);
  body += "}}";
  return body;
}

std::string LerStatus(const std::string& text) {
  rapidjson::Document doc;
  // Iterative: deep nesting cannot overflow the stack. Numbers as strings:
  // a numeric status keeps its text exactly as written.
  doc.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag>(text.data(), text.size());
  if (doc.HasParseError()) return kStatusPadrao;
  if (!doc.IsObject()) throw JsonShapeError("A resposta JSON não é um objeto");
  for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
    if (std::string_view(it->name.GetString(), it->name.GetStringLength()) != "status") continue;
    const rapidjson::Value& v = it->value;
    if (v.IsNull()) return kStatusPadrao;
    if (v.IsString()) return std::string(v.GetString(), v.GetStringLength());
    if (v.IsBool()) return v.GetBool() ? "true" : "false";
    throw JsonShapeError("O valor de \"status\" na resposta não é texto");
  }
  return kStatusPadrao;
}

THTTPSender::THTTPSender() : THTTPSender(HttpClient::Create()) {}

THTTPSender::THTTPSender(std::unique_ptr<HttpClient> AClient, Process* AProcess)
    : FClient(std::move(AClient)), process_(AProcess) {}

THTTPSender::~THTTPSender() = default;

TEnvioResult THTTPSender::Enviar(const std::string& ChaveUnica, const std::string& XML) {
  TEnvioResult result;
  std::string url;
  try {
    TSincConfig cfg = GConfigManager != nullptr ? GConfigManager->Config() : TSincConfig{};
    url = MontarURL(cfg.EndpointAPI);
    std::string body = MontarCorpo(
        {cfg.CNPJ, cfg.TokenEmpresa, ChaveUnica, XML, cfg.DBType, process_->GetEnv("COMPUTERNAME")});
    std::vector<HttpHeader> headers = {{"Content-Type", "application/json; charset=utf-8"},
                                       {"Accept", "application/json"}};

    HttpAnswer answer = FClient->Post(url, headers, body);
    result.HTTPCode = answer.status;
    std::string text = RequireUtf8(DecodeContent(answer.content_encoding, answer.body, kMaxAnswerBytes));

    if (answer.status != 200 && answer.status != 201) {
      // Built by concatenation: the body may hold NUL characters.
      result.MensagemErro = "HTTP " + std::to_string(answer.status) + " ao enviar para " + url + ": " + text;
      return result;
    }
    result.Status = LerStatus(text);
    result.Sucesso = true;
  } catch (const std::exception& e) {
    result.Sucesso = false;
    result.Status.clear();
    result.MensagemErro =
        "Exceção HTTP ao enviar para " + url + " | Classe: " + TypeName(e) + " | Mensagem: " + e.what();
  } catch (...) {
    result.Sucesso = false;
    result.Status.clear();
    result.MensagemErro = "Exceção HTTP ao enviar para " + url + " | Classe: Exception | Mensagem: erro desconhecido";
  }
  return result;
}

}  // namespace lumacor
