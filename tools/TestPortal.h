// A real portal for tests, benchmarks and the demo: an HTTP or HTTPS server
// on 127.0.0.1 that records every request and answers as each test scripts.
#ifndef LUMACOR_TOOLS_TESTPORTAL_H_
#define LUMACOR_TOOLS_TESTPORTAL_H_

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace lumacor::testing {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string method;
  std::string path;
  HeaderList headers;   // every header, ordered by name (the server's view)
  std::string body;     // exact bytes
  int remote_port = 0;  // the client's port: equal ports, one connection
  // First value of a header, any case of its name; empty when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

enum class Compression { kGzip, kZlib, kRawDeflate };

// `data` compressed as a server would send it with Content-Encoding gzip
// (kGzip) or deflate (kZlib, or kRawDeflate as some servers do).
std::string Compress(const std::string& data, Compression how);

struct PortalAnswer {
  enum Action {
    kRespond,
    kNeverAnswer,  // hold the request until ReleaseHeld or the portal's end
  };
  Action action = kRespond;
  int status = 200;
  std::string body = "{\"status\":\"recebido\"}";
  std::string content_type = "application/json";  // empty: no Content-Type
  HeaderList headers;                             // Content-Encoding, Location, Set-Cookie, ...
  // When not 0, streams a body of this many "x" instead of `body`, in
  // chunks, so its size is not known before it arrives.
  size_t streamed_bytes = 0;
  // When not 0, sends the status and headers at once, then one "x" of body
  // every this many milliseconds until ReleaseHeld: each read gets a byte.
  int drip_interval_ms = 0;

  static PortalAnswer Status(int status, std::string body,
                             std::string content_type = "application/json");
  // `body` compressed, with the matching Content-Encoding.
  static PortalAnswer Compressed(int status, const std::string& body, Compression how);
  static PortalAnswer RedirectTo(std::string location, int status = 307);
};

enum class PortalTls {
  kNone,
  kTls,        // TLS 1.2 and later
  kTls13Only,  // refuses TLS 1.2
};

class TestPortal {
 public:
  using Handler = std::function<PortalAnswer(const RecordedRequest&)>;

  // Starts serving on a free port of 127.0.0.1 (or on `port`). With TLS the
  // certificate is made now: self-signed, for 127.0.0.1 and localhost.
  explicit TestPortal(PortalTls tls = PortalTls::kNone, int port = 0);
  ~TestPortal();
  TestPortal(const TestPortal&) = delete;
  TestPortal& operator=(const TestPortal&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT".
  std::string BaseUrl() const;
  // PEM of the server certificate (TLS only), for the client to trust.
  const std::string& CertificatePem() const { return cert_pem_; }

  // Every request is answered by `handler`. The default answers POSTs to
  // a path ending in "/xml/receber" with 200 {"status":"recebido"} and
  // anything else with 404.
  void SetHandler(Handler handler);
  // Every request gets `answer`.
  void SetAnswer(const PortalAnswer& answer);

  std::vector<RecordedRequest> Requests() const;
  void ClearRequests();
  // Ends every request held by kNeverAnswer (with a 503 nobody waits for)
  // and every drip, so a test that is done with them frees the server's
  // threads.
  void ReleaseHeld();

 private:
  struct Impl;
  PortalAnswer Dispatch(const RecordedRequest& req);

  std::unique_ptr<Impl> impl_;
  std::string cert_pem_;
  int port_ = 0;
  bool tls_ = false;
  mutable std::mutex mu_;
  std::condition_variable stopping_cv_;
  bool stopping_ = false;
  int held_generation_ = 0;
  Handler handler_;
  std::vector<RecordedRequest> requests_;
  std::thread thread_;
};

// The default portal behaviour: POSTs to a path ending in "/xml/receber"
// get 200 {"status":"recebido"}; a GET of any path gets the portal's HTML
// page with 200, as a web server would (a client that turned the POST into
// a GET would think it delivered); anything else 404.
PortalAnswer DefaultPortalAnswer(const RecordedRequest& req);
inline constexpr const char* kPortalHtmlPage = "<html><body>Portal do contador</body></html>";

// A bare TCP listener on 127.0.0.1 for what an HTTP server library will not
// do: reset the connection, accept and stay silent, or answer with exact
// bytes. It records each request's raw bytes (head and body).
class RawTcpServer {
 public:
  enum Mode { kReset, kSilent, kReply };
  explicit RawTcpServer(Mode mode, std::string reply = "");
  ~RawTcpServer();
  RawTcpServer(const RawTcpServer&) = delete;
  RawTcpServer& operator=(const RawTcpServer&) = delete;

  int port() const { return port_; }
  std::string BaseUrl() const;
  std::vector<std::string> Requests() const;

 private:
  void Serve();
  void HandleConnection(int fd);

  Mode mode_;
  std::string reply_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace lumacor::testing

#endif  // LUMACOR_TOOLS_TESTPORTAL_H_
