// HttpClient on WinHTTP. One session per client keeps its connection pool
// and its cookies across requests. WinHTTP adds no Accept-Encoding unless
// asked to decompress, so answers arrive as the server encoded them and the
// caller decodes them.
#include "platform/win32/WinApi.h"  // before <winhttp.h>, which needs <windows.h>

#include <winhttp.h>

#include <memory>
#include <string>
#include <vector>

#include "common/Text.h"
#include "platform/HttpClient.h"

namespace lumacor {

namespace {

using win32::Narrow;
using win32::Widen;

struct InternetCloser {
  void operator()(HINTERNET h) const { ::WinHttpCloseHandle(h); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

// WinHTTP's codes have their texts in winhttp.dll, not in the system table.
std::string WinHttpErrorText(DWORD code) {
  return win32::ErrorText(code, ::GetModuleHandleW(L"winhttp.dll"));
}

// Raises the HttpError for a failed WinHTTP call `what`, by the class of
// its error code (the same classes as the libcurl half).
[[noreturn]] void Fail(const char* what, DWORD code) {
  std::string detail = std::string(what) + ": " + WinHttpErrorText(code);
  switch (code) {
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      throw HttpError("EHTTPURLError", "URL inválida: " + detail);
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      throw HttpError("EHTTPResolveError", "Nome não resolvido: " + detail);
    // Wine passes some socket errors through as they are.
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case WSAECONNREFUSED:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
      throw HttpError("EHTTPConnectError", "Falha ao conectar: " + detail);
    case ERROR_WINHTTP_TIMEOUT:
    case WSAETIMEDOUT:
      throw HttpError("EHTTPTimeout", "Tempo esgotado: " + detail);
    // More redirects than allowed, or one from https to http.
    case ERROR_WINHTTP_REDIRECT_FAILED:
      throw HttpError("EHTTPRedirectError", "Redirecionamento recusado: " + detail);
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      throw HttpError("EHTTPTLSError", "Falha TLS: " + detail);
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case WSAECONNRESET:
    case WSAECONNABORTED:
      throw HttpError("EHTTPConnectionError", "Conexão interrompida: " + detail);
    default:
      throw HttpError("EHTTPClientError", "Falha na requisição HTTP: " + detail);
  }
}

[[noreturn]] void FailLast(const char* what) { Fail(what, ::GetLastError()); }

bool StartsWithIgnoreCase(const std::string& s, std::string_view prefix) {
  return s.size() >= prefix.size() &&
         EqualsIgnoreAsciiCase(std::string_view(s).substr(0, prefix.size()), prefix);
}

void SetDword(HINTERNET h, DWORD option, DWORD value, const char* what) {
  if (!::WinHttpSetOption(h, option, &value, sizeof(value))) FailLast(what);
}

// A header of the final answer as text; empty when it is absent.
std::wstring QueryHeader(HINTERNET request, DWORD which) {
  DWORD size = 0;
  ::WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &size, WINHTTP_NO_HEADER_INDEX);
  DWORD err = ::GetLastError();
  if (err == ERROR_WINHTTP_HEADER_NOT_FOUND) return L"";
  if (err != ERROR_INSUFFICIENT_BUFFER) Fail("WinHttpQueryHeaders", err);
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  if (!::WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
    FailLast("WinHttpQueryHeaders");
  }
  value.resize(size / sizeof(wchar_t));
  return value;
}

class WinHttpClient : public HttpClient {
 public:
  explicit WinHttpClient(const HttpClientSettings& settings) : settings_(settings) {
    // Trust comes from the system's certificate store only: Windows has no
    // per-request trust file, and the agent needs none.
    if (!settings_.ca_file.empty()) {
      throw HttpError("EHTTPClientError",
                      "Arquivo de certificados próprio não é suportado no Windows: "
                      "instale a autoridade no repositório do sistema");
    }
    session_.reset(::WinHttpOpen(Widen(settings_.user_agent).c_str(),
                                 WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session_) FailLast("WinHttpOpen");
    HINTERNET s = session_.get();
    if (!::WinHttpSetTimeouts(s, settings_.resolve_timeout_ms, settings_.connect_timeout_ms,
                              settings_.send_timeout_ms, settings_.receive_timeout_ms)) {
      FailLast("WinHttpSetTimeouts");
    }
    // The wait for the answer's headers has a limit of its own (90 s by
    // default); it is the receive time-out here too. Older systems lack
    // the option, and the receive time-out still bounds each read there.
    DWORD header_wait = static_cast<DWORD>(settings_.receive_timeout_ms);
    ::WinHttpSetOption(s, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &header_wait,
                       sizeof(header_wait));
    SetDword(s, WINHTTP_OPTION_SECURE_PROTOCOLS, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2,
             "WinHttpSetOption(TLS 1.2)");
  }

  HttpAnswer Post(const std::string& url, const std::vector<HttpHeader>& headers,
                  const std::string& body) override {
    bool https = StartsWithIgnoreCase(url, "https://");
    if (!https && !StartsWithIgnoreCase(url, "http://")) {
      throw HttpError("EHTTPURLError", "URL inválida: \"" + url + "\"");
    }
    std::wstring wurl = Widen(url);
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(wurl.c_str(), static_cast<DWORD>(wurl.size()), 0, &parts)) {
      FailLast("WinHttpCrackUrl");
    }
    if (parts.dwHostNameLength == 0) {
      throw HttpError("EHTTPURLError", "URL inválida: \"" + url + "\"");
    }
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring target(parts.lpszUrlPath, parts.dwUrlPathLength);
    target.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (target.empty()) target = L"/";

    InternetHandle connection(::WinHttpConnect(session_.get(), host.c_str(), parts.nPort, 0));
    if (!connection) FailLast("WinHttpConnect");
    InternetHandle request(::WinHttpOpenRequest(connection.get(), L"POST", target.c_str(), nullptr,
                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                https ? WINHTTP_FLAG_SECURE : 0));
    if (!request) FailLast("WinHttpOpenRequest");
    HINTERNET r = request.get();
    // A sixth redirect fails the request; and, as WinHTTP does by default,
    // one from https to http is refused, so the token never leaves in
    // clear text.
    SetDword(r, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS,
             static_cast<DWORD>(settings_.max_redirects), "WinHttpSetOption(redirecionamentos)");
    SetDword(r, WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP,
             "WinHttpSetOption(politica de redirecionamento)");

    std::wstring header_block;
    for (const HttpHeader& h : headers) header_block += Widen(h.name + ": " + h.value + "\r\n");
    if (!::WinHttpSendRequest(r, header_block.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : header_block.c_str(),
                              static_cast<DWORD>(header_block.size()),
                              const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                              static_cast<DWORD>(body.size()), 0)) {
      FailLast("WinHttpSendRequest");
    }
    if (!::WinHttpReceiveResponse(r, nullptr)) FailLast("WinHttpReceiveResponse");

    HttpAnswer answer;
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
      FailLast("WinHttpQueryHeaders");
    }
    answer.status = static_cast<int32_t>(status);
    answer.content_encoding = Narrow(QueryHeader(r, WINHTTP_QUERY_CONTENT_ENCODING));
    answer.body = ReadBody(r);
    return answer;
  }

 private:
  std::string ReadBody(HINTERNET r) {
    std::string body;
    std::vector<char> buf(64 * 1024);
    for (;;) {
      DWORD got = 0;
      if (!::WinHttpReadData(r, buf.data(), static_cast<DWORD>(buf.size()), &got)) {
        FailLast("WinHttpReadData");
      }
      if (got == 0) return body;
      if (body.size() + got > settings_.max_answer_bytes) {
        throw HttpError("EHTTPAnswerTooLarge", "Resposta maior que o limite de " +
                                                   std::to_string(settings_.max_answer_bytes) +
                                                   " bytes");
      }
      body.append(buf.data(), got);
    }
  }

  HttpClientSettings settings_;
  InternetHandle session_;
};

}  // namespace

std::unique_ptr<HttpClient> HttpClient::Create(const HttpClientSettings& settings) {
  return std::make_unique<WinHttpClient>(settings);
}

}  // namespace lumacor
