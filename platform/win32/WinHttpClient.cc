// HttpClient on WinHTTP. One session per client keeps its connection pool
// and its cookies across requests. WinHTTP adds no Accept-Encoding unless
// asked to decompress, so answers arrive as the server encoded them and the
// caller decodes them.
#include "platform/win32/WinApi.h"  // before <winhttp.h>, which needs <windows.h>

#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

enum class Cut { kNone, kAborted, kDeadline };

HttpError Aborted() { return HttpError(kHttpAbortedType, "Envio interrompido: parada solicitada"); }
HttpError PastDeadline() {
  return HttpError("EHTTPTimeout", "Tempo esgotado: prazo total da requisição");
}

struct Target {
  std::string url;
  UrlOrigin origin;
  std::wstring host;
  std::wstring path;  // path and query; "/" at least
  INTERNET_PORT port = 0;
  bool https = false;
};

Target Crack(const std::string& url, bool redirect = false) {
  auto invalid = [&] {
    return redirect ? HttpError("EHTTPRedirectError", "Redirecionamento recusado para " + url)
                    : HttpError("EHTTPURLError", "URL inválida: \"" + url + "\"");
  };
  std::wstring wurl = Widen(url);
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(wurl.c_str(), static_cast<DWORD>(wurl.size()), 0, &parts)) {
    if (redirect) throw invalid();
    FailLast("WinHttpCrackUrl");
  }
  if (parts.dwHostNameLength == 0) throw invalid();
  Target t;
  t.url = url;
  t.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  t.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  t.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (t.path.empty()) t.path = L"/";
  t.port = parts.nPort;
  t.https = parts.nScheme == INTERNET_SCHEME_HTTPS;
  t.origin.scheme = AsciiLowerCopy(Narrow(std::wstring(parts.lpszScheme, parts.dwSchemeLength)));
  t.origin.host = AsciiLowerCopy(Narrow(t.host));
  return t;
}

// A Location header made absolute against the URL that answered it.
std::wstring Resolve(const Target& base, const std::wstring& location) {
  if (location.find(L"://") != std::wstring::npos) return location;
  std::wstring scheme = Widen(base.origin.scheme);
  if (location.rfind(L"//", 0) == 0) return scheme + L":" + location;
  std::wstring authority = scheme + L"://" + base.host;
  bool default_port = base.port == (base.https ? 443 : 80);
  if (!default_port) authority += L":" + std::to_wstring(base.port);
  std::wstring path = base.path.substr(0, base.path.find_first_of(L"?#"));
  if (!location.empty() && location[0] == L'/') return authority + location;
  if (!location.empty() && location[0] == L'?') return authority + path + location;
  return authority + path.substr(0, path.find_last_of(L'/') + 1) + location;
}

using SharedInternet = std::shared_ptr<void>;

// One Post, run on a thread of its own. A blocked synchronous WinHTTP call
// cannot be relied on to return when its handle is closed from another
// thread (Wine's does not), so a stop or the overall deadline leaves the
// job behind: it owns all it uses and ends on its own time-outs.
struct Job {
  HttpClientSettings settings;
  SharedInternet session;
  std::string url;
  std::wstring header_block;
  std::string body;

  std::mutex mu;
  std::condition_variable cv;
  bool done = false;              // guarded by mu
  Cut cut = Cut::kNone;           // guarded by mu: why the job was given up
  HINTERNET in_flight = nullptr;  // guarded by mu; closed by whoever ends it
  HttpAnswer answer;
  std::exception_ptr error;

  void Cancel(Cut why) {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (cut == Cut::kNone) cut = why;
      // Real WinHTTP fails the blocked call at once; where it does not, the
      // job is abandoned all the same.
      if (in_flight != nullptr) {
        ::WinHttpCloseHandle(in_flight);
        in_flight = nullptr;
      }
    }
    cv.notify_all();
  }

  // After a failed call: a request closed by Cancel reports that, not the
  // error the closing caused.
  [[noreturn]] void FailCall(const char* what) {
    DWORD code = ::GetLastError();
    Cut why;
    {
      std::lock_guard<std::mutex> lock(mu);
      why = cut;
    }
    if (why == Cut::kAborted) throw Aborted();
    if (why == Cut::kDeadline) throw PastDeadline();
    Fail(what, code);
  }

  void Run() {
    Target endpoint = Crack(url);
    Target current = endpoint;
    for (int redirects = 0;; ++redirects) {
      std::wstring location;
      RunOne(current, location);
      if (!IsFollowedRedirect(answer.status) || location.empty()) return;
      std::string next = Narrow(Resolve(current, location));
      if (redirects == settings.max_redirects) {
        throw HttpError("EHTTPRedirectError", "Redirecionamentos demais: mais de " +
                                                  std::to_string(settings.max_redirects) +
                                                  " seguidos, o último para " + next);
      }
      Target to = Crack(next, /*redirect=*/true);
      CheckRedirect(endpoint.origin, current.origin, to.origin, next);
      current = to;
    }
  }

  // One request of the chain: the final answer, or a redirect's Location.
  void RunOne(const Target& t, std::wstring& location) {
    answer = HttpAnswer{};
    InternetHandle connection(::WinHttpConnect(session.get(), t.host.c_str(), t.port, 0));
    if (!connection) FailLast("WinHttpConnect");
    HINTERNET r =
        ::WinHttpOpenRequest(connection.get(), L"POST", t.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                             WINHTTP_DEFAULT_ACCEPT_TYPES, t.https ? WINHTTP_FLAG_SECURE : 0);
    if (r == nullptr) FailLast("WinHttpOpenRequest");
    {
      std::lock_guard<std::mutex> lock(mu);
      if (cut != Cut::kNone) {
        ::WinHttpCloseHandle(r);
        if (cut == Cut::kAborted) throw Aborted();
        throw PastDeadline();
      }
      in_flight = r;
    }
    struct Release {
      Job* job;
      HINTERNET h;
      ~Release() {
        std::lock_guard<std::mutex> lock(job->mu);
        if (job->in_flight == h) {
          job->in_flight = nullptr;
          ::WinHttpCloseHandle(h);
        }
      }
    } release{this, r};

    // Redirects are followed by hand (Run): WinHTTP's own would turn a 301,
    // 302 or 303 into a GET and follow one to any host.
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!::WinHttpSetOption(r, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof(never))) {
      FailCall("WinHttpSetOption(politica de redirecionamento)");
    }
    if (!::WinHttpSendRequest(
            r, header_block.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : header_block.c_str(),
            static_cast<DWORD>(header_block.size()), const_cast<char*>(body.data()),
            static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0)) {
      FailCall("WinHttpSendRequest");
    }
    if (!::WinHttpReceiveResponse(r, nullptr)) FailCall("WinHttpReceiveResponse");

    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
      FailCall("WinHttpQueryHeaders");
    }
    answer.status = static_cast<int32_t>(status);
    if (IsFollowedRedirect(answer.status)) {
      location = QueryHeader(r, WINHTTP_QUERY_LOCATION);
      if (!location.empty()) return;
    }
    answer.content_encoding = Narrow(QueryHeader(r, WINHTTP_QUERY_CONTENT_ENCODING));
    answer.retry_after = Narrow(QueryHeader(r, WINHTTP_QUERY_RETRY_AFTER));
    answer.body = ReadBody(r);
  }

  std::string ReadBody(HINTERNET r) {
    std::string out;
    std::vector<char> buf(64 * 1024);
    for (;;) {
      DWORD got = 0;
      if (!::WinHttpReadData(r, buf.data(), static_cast<DWORD>(buf.size()), &got)) {
        FailCall("WinHttpReadData");
      }
      if (got == 0) return out;
      if (out.size() + got > settings.max_answer_bytes) {
        throw HttpError("EHTTPAnswerTooLarge", "Resposta maior que o limite de " +
                                                   std::to_string(settings.max_answer_bytes) +
                                                   " bytes");
      }
      out.append(buf.data(), got);
    }
  }
};

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
    HINTERNET s =
        ::WinHttpOpen(Widen(settings_.user_agent).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (s == nullptr) FailLast("WinHttpOpen");
    session_ = SharedInternet(s, InternetCloser());
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
    if (!StartsWithIgnoreCase(url, "https://") && !StartsWithIgnoreCase(url, "http://")) {
      throw HttpError("EHTTPURLError", "URL inválida: \"" + url + "\"");
    }
    auto job = std::make_shared<Job>();
    job->settings = settings_;
    job->session = session_;
    job->url = url;
    for (const HttpHeader& h : headers)
      job->header_block += Widen(h.name + ": " + h.value + "\r\n");
    job->body = body;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (abort_requested_) throw Aborted();
      current_ = job;
    }
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(settings_.overall_timeout_ms);
    std::thread([job] {
      try {
        job->Run();
      } catch (...) {
        job->error = std::current_exception();
      }
      {
        std::lock_guard<std::mutex> lock(job->mu);
        job->done = true;
      }
      job->cv.notify_all();
    }).detach();

    std::unique_lock<std::mutex> lock(job->mu);
    job->cv.wait_until(lock, deadline, [&] { return job->done || job->cut == Cut::kAborted; });
    if (!job->done) {
      bool aborted = job->cut == Cut::kAborted;
      lock.unlock();
      if (!aborted) job->Cancel(Cut::kDeadline);
      throw aborted ? Aborted() : PastDeadline();
    }
    if (job->error) std::rethrow_exception(job->error);
    return std::move(job->answer);
  }

  void Abort() override {
    std::shared_ptr<Job> job;
    {
      std::lock_guard<std::mutex> lock(mu_);
      abort_requested_ = true;
      job = current_.lock();
    }
    if (job) job->Cancel(Cut::kAborted);
  }

 private:
  HttpClientSettings settings_;
  SharedInternet session_;  // shared with jobs that may outlive the client
  std::mutex mu_;
  bool abort_requested_ = false;  // guarded by mu_
  std::weak_ptr<Job> current_;    // guarded by mu_
};

}  // namespace

std::unique_ptr<HttpClient> HttpClient::Create(const HttpClientSettings& settings) {
  return std::make_unique<WinHttpClient>(settings);
}

}  // namespace lumacor
