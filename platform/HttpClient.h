// HTTP client facility: one POST at a time over a reused connection, with
// the agent's time-outs, TLS rules, redirect policy and cookie store. The
// POSIX half is libcurl; the Windows half is WinHTTP.
#ifndef LUMACOR_PLATFORM_HTTPCLIENT_H_
#define LUMACOR_PLATFORM_HTTPCLIENT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumacor {

struct HttpClientSettings {
  int32_t resolve_timeout_ms = 15000;
  int32_t connect_timeout_ms = 15000;
  // The request must make progress at least this often while being sent.
  int32_t send_timeout_ms = 60000;
  // Longest wait for the first byte of the answer and between its bytes.
  int32_t receive_timeout_ms = 30000;
  // Longest a whole request may take, redirects included, however steadily
  // the server drips its answer.
  int32_t overall_timeout_ms = 120000;
  int32_t max_redirects = 5;
  std::string user_agent = "OrvaneLumacor/1.0";
  // Answers larger than this fail instead of exhausting memory.
  size_t max_answer_bytes = 16u << 20;
  // Extra trust anchors in a PEM file; empty: the system's store only.
  std::string ca_file;
};

struct HttpHeader {
  std::string name;
  std::string value;
};

// The final answer, after redirects.
struct HttpAnswer {
  int32_t status = 0;
  std::string body;              // bytes as received, still encoded
  std::string content_encoding;  // the header's value; empty when absent
  std::string retry_after;       // the Retry-After header's value; empty when absent
};

// No answer could be obtained. type_name() says what kind of failure it was
// (it fills the "Classe" of the sender's message); what() is the detail.
class HttpError : public std::runtime_error {
 public:
  HttpError(std::string type_name, const std::string& message)
      : std::runtime_error(message), type_name_(std::move(type_name)) {}
  const std::string& type_name() const { return type_name_; }

 private:
  std::string type_name_;
};

class HttpClient {
 public:
  virtual ~HttpClient() = default;

  // A client with its own connections and cookie store. Raises HttpError
  // when the platform cannot supply one.
  static std::unique_ptr<HttpClient> Create(const HttpClientSettings& settings = {});

  // POSTs `body` to `url` ("http://" or "https://" only) with `headers` in
  // the given order, after the client's own (Host, User-Agent, length).
  // Follows redirects (see CheckRedirect), repeating the same POST with the
  // same body, and returns the final answer; raises HttpError when none
  // comes. Not thread-safe: one request at a time.
  virtual HttpAnswer Post(const std::string& url, const std::vector<HttpHeader>& headers,
                          const std::string& body) = 0;

  // Callable from any thread: ends the request in flight at once (its
  // connection attempt included), and fails every later one, with
  // HttpError of type kHttpAbortedType. Used when the service is asked to
  // stop.
  virtual void Abort() = 0;
};

inline constexpr const char* kHttpAbortedType = "EHTTPAborted";

// Status codes after which the client repeats the POST at the Location.
bool IsFollowedRedirect(int32_t status);

// The parts of a URL that decide whether a redirect may be followed.
struct UrlOrigin {
  std::string scheme;  // lower case
  std::string host;    // lower case, without the port
};

// Raises HttpError (EHTTPRedirectError) unless a redirect to `to` may be
// followed: the request started at `endpoint` and is now at `from`. The
// document and the token stay on the endpoint's host (a move from http to
// https there included), and never go back from https to http.
void CheckRedirect(const UrlOrigin& endpoint, const UrlOrigin& from, const UrlOrigin& to,
                   const std::string& location);

}  // namespace lumacor

#endif  // LUMACOR_PLATFORM_HTTPCLIENT_H_
