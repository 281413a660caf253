// HttpClient on libcurl. One easy handle per client keeps its connections
// and its in-memory cookie store across requests.
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "common/Text.h"
#include "platform/HttpClient.h"

namespace lumacor {

namespace {

using SteadyClock = std::chrono::steady_clock;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] {
    CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (rc != CURLE_OK) {
      throw HttpError("EHTTPClientError",
                      std::string("Falha ao iniciar o cliente HTTP: ") + curl_easy_strerror(rc));
    }
  });
}

struct CurlUrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct CurlFreeDeleter {
  void operator()(char* p) const { curl_free(p); }
};

// Scheme and host of an absolute URL, by curl's own parser.
UrlOrigin OriginOf(const std::string& url) {
  std::unique_ptr<CURLU, CurlUrlDeleter> u(curl_url());
  if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    throw HttpError("EHTTPRedirectError", "Redirecionamento para URL invalida: " + url);
  }
  auto part = [&](CURLUPart which) {
    char* raw = nullptr;
    if (curl_url_get(u.get(), which, &raw, 0) != CURLUE_OK || raw == nullptr) return std::string();
    std::unique_ptr<char, CurlFreeDeleter> owned(raw);
    return AsciiLowerCopy(raw);
  };
  return {part(CURLUPART_SCHEME), part(CURLUPART_HOST)};
}

struct CurlDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
struct MultiDeleter {
  void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

bool StartsWithIgnoreCase(const std::string& s, std::string_view prefix) {
  return s.size() >= prefix.size() &&
         EqualsIgnoreAsciiCase(std::string_view(s).substr(0, prefix.size()), prefix);
}

// State of one transfer, shared with the callbacks.
struct Transfer {
  const HttpClientSettings* settings = nullptr;
  std::string body;
  bool too_large = false;
  bool stalled = false;
  bool aborted = false;
  const std::atomic<bool>* abort_requested = nullptr;
  curl_off_t last_ul = -1;
  curl_off_t last_dl = -1;
  SteadyClock::time_point last_change = SteadyClock::now();
  CURL* handle = nullptr;
};

size_t OnWrite(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (t->body.size() + n > t->settings->max_answer_bytes) {
    t->too_large = true;
    return 0;  // aborts the transfer with CURLE_WRITE_ERROR
  }
  t->body.append(data, n);
  return n;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  // A new status line starts another answer (after a redirect): only the
  // final answer's body is kept.
  if (n >= 5 && std::string_view(data, 5) == "HTTP/") t->body.clear();
  return n;
}

// Gives the request "no progress for N ms" time-outs: the send time-out
// while the body is going out, the receive time-out afterwards. curl calls
// this about once a second even when nothing moves. The connection phase is
// left to CURLOPT_CONNECTTIMEOUT.
int OnProgress(void* user, curl_off_t /*dltotal*/, curl_off_t dlnow, curl_off_t ultotal,
               curl_off_t ulnow) {
  auto* t = static_cast<Transfer*>(user);
  if (t->abort_requested->load()) {
    t->aborted = true;
    return 1;
  }
  auto now = SteadyClock::now();
  curl_off_t pretransfer = 0;
  curl_easy_getinfo(t->handle, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
  if (pretransfer == 0 || dlnow != t->last_dl || ulnow != t->last_ul) {
    t->last_dl = dlnow;
    t->last_ul = ulnow;
    t->last_change = now;
    return 0;
  }
  bool sending = ultotal > 0 && ulnow < ultotal;
  int32_t limit_ms = sending ? t->settings->send_timeout_ms : t->settings->receive_timeout_ms;
  if (now - t->last_change >= std::chrono::milliseconds(limit_ms)) {
    t->stalled = true;
    return 1;  // aborts with CURLE_ABORTED_BY_CALLBACK
  }
  return 0;
}

class CurlHttpClient : public HttpClient {
 public:
  explicit CurlHttpClient(const HttpClientSettings& settings) : settings_(settings) {
    GlobalInit();
    // The transfer runs in a multi handle only so that Abort can wake its
    // wait at once (curl_multi_wakeup); the multi handle also keeps the
    // connections for reuse.
    multi_.reset(curl_multi_init());
    if (!multi_) throw HttpError("EHTTPClientError", "Falha ao criar o cliente HTTP");
    handle_.reset(curl_easy_init());
    if (!handle_) throw HttpError("EHTTPClientError", "Falha ao criar o cliente HTTP");
    CURL* h = handle_.get();
    errbuf_[0] = '\0';
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf_);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, settings_.user_agent.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed by hand (Post), so that each one repeats the
    // POST and none leaves the endpoint's host.
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_SSLVERSION,
                     static_cast<long>(CURL_SSLVERSION_TLSv1_2) |
                         static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!settings_.ca_file.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, settings_.ca_file.c_str());
    curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");  // in-memory cookie engine
    // curl bounds name resolution and connection together.
    curl_easy_setopt(
        h, CURLOPT_CONNECTTIMEOUT_MS,
        static_cast<long>(settings_.resolve_timeout_ms) + settings_.connect_timeout_ms);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(settings_.max_answer_bytes));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnWrite);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer_);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer_);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer_);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  }

  HttpAnswer Post(const std::string& url, const std::vector<HttpHeader>& headers,
                  const std::string& body) override {
    bool https = StartsWithIgnoreCase(url, "https://");
    if (!https && !StartsWithIgnoreCase(url, "http://")) {
      throw HttpError("EHTTPURLError", "URL inválida: \"" + url + "\"");
    }
    if (abort_requested_) throw Aborted();
    CURL* h = handle_.get();
    Slist list;
    for (const HttpHeader& hd : headers) AppendHeader(list, hd.name + ": " + hd.value);
    AppendHeader(list, "Expect:");  // no 100-continue round trip
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(settings_.overall_timeout_ms);

    std::string current = url;
    UrlOrigin endpoint;
    for (int redirects = 0;; ++redirects) {
      Perform(current, list.get(), body, deadline);
      long status = 0;
      curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
      char* location = nullptr;
      curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location);
      if (!IsFollowedRedirect(static_cast<int32_t>(status)) || location == nullptr) {
        return Answer(static_cast<int32_t>(status));
      }
      std::string next = location;
      if (redirects == settings_.max_redirects) {
        throw HttpError("EHTTPRedirectError", "Redirecionamentos demais: mais de " +
                                                  std::to_string(settings_.max_redirects) +
                                                  " seguidos, o último para " + next);
      }
      if (redirects == 0) endpoint = OriginOf(url);
      CheckRedirect(endpoint, OriginOf(current), OriginOf(next), next);
      current = next;
    }
  }

  void Abort() override {
    abort_requested_ = true;
    curl_multi_wakeup(multi_.get());  // callable from any thread
  }

 private:
  static HttpError Aborted() {
    return HttpError(kHttpAbortedType, "Envio interrompido: parada solicitada");
  }

  // One request of the chain, within what is left of the overall deadline.
  void Perform(const std::string& url, curl_slist* headers, const std::string& body,
               SteadyClock::time_point deadline) {
    CURL* h = handle_.get();
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left.count() <= 0)
      throw HttpError("EHTTPTimeout", "Tempo esgotado: prazo total da requisição");
    transfer_ = Transfer{};
    transfer_.settings = &settings_;
    transfer_.handle = h;
    transfer_.abort_requested = &abort_requested_;
    errbuf_[0] = '\0';
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    CURLcode rc = Run();
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);
    if (rc != CURLE_OK) Fail(rc);
  }

  // curl_easy_perform, on the multi handle: the same transfer, but a wait
  // that Abort can end.
  CURLcode Run() {
    CURLM* m = multi_.get();
    CURL* h = handle_.get();
    if (curl_multi_add_handle(m, h) != CURLM_OK) return CURLE_FAILED_INIT;
    CURLcode rc = CURLE_OK;
    for (;;) {
      int running = 0;
      if (curl_multi_perform(m, &running) != CURLM_OK) {
        rc = CURLE_FAILED_INIT;
        break;
      }
      bool finished = false;
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(m, &left)) {
        if (msg->msg == CURLMSG_DONE) {
          rc = msg->data.result;
          finished = true;
        }
      }
      if (finished || running == 0) break;
      if (abort_requested_) {
        transfer_.aborted = true;
        rc = CURLE_ABORTED_BY_CALLBACK;
        break;
      }
      curl_multi_poll(m, nullptr, 0, 1000, nullptr);
    }
    curl_multi_remove_handle(m, h);
    return rc;
  }

  HttpAnswer Answer(int32_t status) {
    CURL* h = handle_.get();
    HttpAnswer answer;
    answer.status = status;
    answer.body = std::move(transfer_.body);
    curl_header* found = nullptr;
    if (curl_easy_header(h, "Content-Encoding", 0, CURLH_HEADER, -1, &found) == CURLHE_OK) {
      answer.content_encoding = found->value;
    }
    if (curl_easy_header(h, "Retry-After", 0, CURLH_HEADER, -1, &found) == CURLHE_OK) {
      answer.retry_after = found->value;
    }
    return answer;
  }

  static void AppendHeader(Slist& list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) throw HttpError("EHTTPClientError", "Memória insuficiente");
    static_cast<void>(list.release());  // `grown` heads the whole list now
    list.reset(grown);
  }

  [[noreturn]] void Fail(CURLcode rc) {
    std::string detail = errbuf_[0] != '\0' ? errbuf_ : curl_easy_strerror(rc);
    switch (rc) {
      case CURLE_URL_MALFORMAT:
      case CURLE_UNSUPPORTED_PROTOCOL:
        throw HttpError("EHTTPURLError", "URL inválida: " + detail);
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_COULDNT_RESOLVE_PROXY:
        throw HttpError("EHTTPResolveError", "Nome não resolvido: " + detail);
      case CURLE_COULDNT_CONNECT:
        throw HttpError("EHTTPConnectError", "Falha ao conectar: " + detail);
      case CURLE_OPERATION_TIMEDOUT:
        throw HttpError("EHTTPTimeout", "Tempo esgotado: " + detail);
      case CURLE_ABORTED_BY_CALLBACK:
        if (transfer_.aborted) throw Aborted();
        if (transfer_.stalled)
          throw HttpError("EHTTPTimeout", "Tempo esgotado: o servidor parou de responder");
        break;
      case CURLE_FILESIZE_EXCEEDED:
        throw HttpError("EHTTPAnswerTooLarge", "Resposta maior que o limite de " +
                                                   std::to_string(settings_.max_answer_bytes) +
                                                   " bytes");
      case CURLE_WRITE_ERROR:
        if (transfer_.too_large) {
          throw HttpError("EHTTPAnswerTooLarge", "Resposta maior que o limite de " +
                                                     std::to_string(settings_.max_answer_bytes) +
                                                     " bytes");
        }
        break;
      case CURLE_SSL_CONNECT_ERROR:
      case CURLE_PEER_FAILED_VERIFICATION:
      case CURLE_SSL_CERTPROBLEM:
      case CURLE_SSL_CIPHER:
      case CURLE_SSL_CACERT_BADFILE:
      case CURLE_SSL_ISSUER_ERROR:
      case CURLE_SSL_INVALIDCERTSTATUS:
      case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        throw HttpError("EHTTPTLSError", "Falha TLS: " + detail);
      case CURLE_SEND_ERROR:
      case CURLE_RECV_ERROR:
      case CURLE_GOT_NOTHING:
      case CURLE_PARTIAL_FILE:
        throw HttpError("EHTTPConnectionError", "Conexão interrompida: " + detail);
      default:
        break;
    }
    throw HttpError("EHTTPClientError", "Falha na requisição HTTP: " + detail);
  }

  HttpClientSettings settings_;
  MultiHandle multi_;  // before the easy handle: it is cleaned up after it
  CurlHandle handle_;
  Transfer transfer_;
  std::atomic<bool> abort_requested_{false};
  char errbuf_[CURL_ERROR_SIZE];
};

}  // namespace

std::unique_ptr<HttpClient> HttpClient::Create(const HttpClientSettings& settings) {
  return std::make_unique<CurlHttpClient>(settings);
}

}  // namespace lumacor
