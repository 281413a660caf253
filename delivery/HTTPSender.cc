#include "delivery/HTTPSender.h"

#include <rapidjson/document.h>

#include <cstdio>
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

constexpr int32_t kMaxAguardarSegundos = 3600;

// Seconds since the epoch of an IMF-fixdate ("Sun, 06 Nov 1994 08:49:37
// GMT"), the form servers send; -1 otherwise.
int64_t LerDataHttp(const std::string& v) {
  static const char* kMeses[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char dia_semana[4] = {}, mes[4] = {}, zona[4] = {};
  int dia = 0, ano = 0, h = 0, m = 0, s = 0, lidos = 0;
  if (std::sscanf(v.c_str(), "%3s, %d %3s %d %d:%d:%d %3s%n", dia_semana, &dia, mes, &ano, &h, &m,
                  &s, zona, &lidos) != 8 ||
      static_cast<size_t>(lidos) != v.size() || std::string(zona) != "GMT") {
    return -1;
  }
  int mes_n = -1;
  for (int i = 0; i < 12; ++i) {
    if (mes == std::string(kMeses[i])) mes_n = i + 1;
  }
  if (mes_n < 0 || h > 23 || m > 59 || s > 60) return -1;
  std::chrono::year_month_day data{std::chrono::year{ano},
                                   std::chrono::month{static_cast<unsigned>(mes_n)},
                                   std::chrono::day{static_cast<unsigned>(dia < 0 ? 0 : dia)}};
  if (!data.ok()) return -1;
  int64_t dias = std::chrono::sys_days(data).time_since_epoch().count();
  return dias * 86400 + h * 3600 + m * 60 + s;
}

}  // namespace

bool IsFalhaTransitoria(int32_t HTTPCode) {
  return HTTPCode == 0 || HTTPCode == 401 || HTTPCode == 403 || HTTPCode == 408 ||
         HTTPCode == 429 || (HTTPCode >= 500 && HTTPCode <= 599);
}

bool IsPortalIndisponivel(int32_t HTTPCode) {
  return HTTPCode == 0 || HTTPCode == 401 || HTTPCode == 403 || HTTPCode == 408 ||
         HTTPCode == 429 || HTTPCode == 502 || HTTPCode == 503 || HTTPCode == 504;
}

int32_t LerRetryAfter(const std::string& valor, std::chrono::system_clock::time_point agora) {
  std::string v = TrimControlCopy(valor);
  if (v.empty()) return 0;
  int64_t segundos = -1;
  if (v.find_first_not_of("0123456789") == std::string::npos) {
    segundos = v.size() > 9 ? kMaxAguardarSegundos : std::stoll(v);
  } else {
    int64_t quando = LerDataHttp(v);
    if (quando < 0) return 0;
    segundos =
        quando - std::chrono::duration_cast<std::chrono::seconds>(agora.time_since_epoch()).count();
  }
  if (segundos < 0) return 0;
  return static_cast<int32_t>(segundos > kMaxAguardarSegundos ? kMaxAguardarSegundos : segundos);
}

std::string OcultarToken(std::string texto, const std::string& token) {
  if (token.empty()) return texto;
  std::string escapado = JsonString(token);
  escapado = escapado.substr(1, escapado.size() - 2);
  for (const std::string& forma : {token, escapado}) {
    for (size_t pos = texto.find(forma); pos != std::string::npos;
         pos = texto.find(forma, pos + 3)) {
      texto.replace(pos, forma.size(), "***");
    }
  }
  return texto;
}

std::string MontarURL(std::string_view EndpointAPI) {
  size_t end = EndpointAPI.find_last_not_of('/');
  std::string url(end == std::string_view::npos ? std::string_view()
                                                : EndpointAPI.substr(0, end + 1));
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
      case 0x08:
        out += "\\b";
        continue;
      case 0x09:
        out += "\\t";
        continue;
      case 0x0A:
        out += "\\n";
        continue;
      case 0x0C:
        out += "\\f";
        continue;
      case 0x0D:
        out += "\\r";
        continue;
      case '"':
        out += "\\\"";
        continue;
      case '/':
        out += "\\/";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      default:
        break;
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
  doc.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag>(text.data(),
                                                                                    text.size());
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

void THTTPSender::Interromper() { FClient->Abort(); }

TEnvioResult THTTPSender::Enviar(const std::string& ChaveUnica, const std::string& XML) {
  TSincConfig cfg = GConfigManager != nullptr ? GConfigManager->Config() : TSincConfig{};
  bool sem_resposta = false;
  TEnvioResult result = EnviarCom(cfg, ChaveUnica, XML, sem_resposta);
  // Some portals echo the request in their error answers; the token must
  // reach neither the log nor the queue file.
  result.MensagemErro = OcultarToken(std::move(result.MensagemErro), cfg.TokenEmpresa);
  if (result.Sucesso) {
    result.Desfecho = TDesfechoEnvio::deEntregue;
  } else if (result.Desfecho != TDesfechoEnvio::deInterrompido) {
    // A failure with no answer is the network's or the portal's.
    bool transitoria = sem_resposta || IsFalhaTransitoria(result.HTTPCode);
    result.Desfecho = transitoria ? TDesfechoEnvio::deTentarDepois : TDesfechoEnvio::deRecusado;
    result.PortalIndisponivel = sem_resposta || IsPortalIndisponivel(result.HTTPCode);
  }
  return result;
}

TEnvioResult THTTPSender::EnviarCom(const TSincConfig& cfg, const std::string& ChaveUnica,
                                    const std::string& XML, bool& sem_resposta) {
  TEnvioResult result;
  std::string url;
  try {
    url = MontarURL(cfg.EndpointAPI);
    std::string body = MontarCorpo(
        {cfg.CNPJ, cfg.TokenEmpresa, ChaveUnica, XML, cfg.DBType, process_->ComputerName()});
    std::vector<HttpHeader> headers = {{"Content-Type", "application/json; charset=utf-8"},
                                       {"Accept", "application/json"}};

    HttpAnswer answer;
    try {
      answer = FClient->Post(url, headers, body);
    } catch (const HttpError& e) {
      sem_resposta = true;
      if (e.type_name() == kHttpAbortedType) result.Desfecho = TDesfechoEnvio::deInterrompido;
      throw;
    }
    result.HTTPCode = answer.status;
    if (answer.status == 429 || answer.status == 503) {
      result.AguardarSegundos = LerRetryAfter(answer.retry_after, std::chrono::system_clock::now());
    }
    std::string text =
        RequireUtf8(DecodeContent(answer.content_encoding, answer.body, kMaxAnswerBytes));

    if (answer.status != 200 && answer.status != 201) {
      // Built by concatenation: the body may hold NUL characters.
      result.MensagemErro =
          "HTTP " + std::to_string(answer.status) + " ao enviar para " + url + ": " + text;
      return result;
    }
    result.Status = LerStatus(text);
    result.Sucesso = true;
  } catch (const std::exception& e) {
    result.Sucesso = false;
    result.Status.clear();
    result.MensagemErro = "Exceção HTTP ao enviar para " + url + " | Classe: " + TypeName(e) +
                          " | Mensagem: " + e.what();
  } catch (...) {
    result.Sucesso = false;
    result.Status.clear();
    result.MensagemErro =
        "Exceção HTTP ao enviar para " + url + " | Classe: Exception | Mensagem: erro desconhecido";
  }
  return result;
}

}  // namespace lumacor
