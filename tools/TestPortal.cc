#include "tools/TestPortal.h"

#include <httplib.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "common/Text.h"

namespace lumacor::testing {

namespace {

struct X509Deleter {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

void AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) throw std::runtime_error("extensão X509 inválida");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A self-signed certificate that is its own trust anchor.
void MakeCertificate(std::unique_ptr<X509, X509Deleter>& cert,
                     std::unique_ptr<EVP_PKEY, PkeyDeleter>& key) {
  key.reset(EVP_EC_gen("P-256"));
  cert.reset(X509_new());
  if (!key || !cert) throw std::runtime_error("falha ao gerar o certificado de teste");
  X509* x = cert.get();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), static_cast<long>(std::time(nullptr)));
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 7 * 86400);
  X509_set_pubkey(x, key.get());
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Lumacor Test Portal"), -1, -1,
                             0);
  X509_set_issuer_name(x, name);
  AddExtension(x, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(x, NID_key_usage, "critical,digitalSignature,keyCertSign");
  AddExtension(x, NID_ext_key_usage, "serverAuth");
  AddExtension(x, NID_subject_key_identifier, "hash");
  AddExtension(x, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  if (X509_sign(x, key.get(), EVP_sha256()) == 0)
    throw std::runtime_error("falha ao assinar o certificado de teste");
}

std::string ToPem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(len));
  BIO_free(bio);
  return pem;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& [k, v] : headers) {
    if (EqualsIgnoreAsciiCase(k, name)) return v;
  }
  return "";
}

bool RecordedRequest::HasHeader(const std::string& name) const {
  for (const auto& h : headers) {
    if (EqualsIgnoreAsciiCase(h.first, name)) return true;
  }
  return false;
}

PortalAnswer PortalAnswer::Status(int status, std::string body, std::string content_type) {
  PortalAnswer a;
  a.status = status;
  a.body = std::move(body);
  a.content_type = std::move(content_type);
  return a;
}

std::string Compress(const std::string& data, Compression how) {
  int bits = how == Compression::kGzip   ? 16 + MAX_WBITS
             : how == Compression::kZlib ? MAX_WBITS
                                         : -MAX_WBITS;
  z_stream z{};
  if (deflateInit2(&z, 9, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&z, data.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

PortalAnswer PortalAnswer::Compressed(int status, const std::string& body, Compression how) {
  PortalAnswer a = Status(status, Compress(body, how));
  a.headers.emplace_back("Content-Encoding", how == Compression::kGzip ? "gzip" : "deflate");
  return a;
}

PortalAnswer PortalAnswer::RedirectTo(std::string location, int status) {
  PortalAnswer a = Status(status, "", "");
  a.headers.emplace_back("Location", std::move(location));
  return a;
}

PortalAnswer DefaultPortalAnswer(const RecordedRequest& req) {
  if (req.method == "POST" && EndsWith(req.path, "/xml/receber")) return PortalAnswer();
  if (req.method == "GET") return PortalAnswer::Status(200, kPortalHtmlPage, "text/html");
  return PortalAnswer::Status(404, "{\"erro\":\"não encontrado\"}");
}

struct TestPortal::Impl {
  std::unique_ptr<X509, X509Deleter> cert;
  std::unique_ptr<EVP_PKEY, PkeyDeleter> key;
  std::unique_ptr<httplib::Server> server;
};

TestPortal::TestPortal(PortalTls tls, int port)
    : impl_(std::make_unique<Impl>()), tls_(tls != PortalTls::kNone) {
  handler_ = DefaultPortalAnswer;
  if (tls_) {
    MakeCertificate(impl_->cert, impl_->key);
    cert_pem_ = ToPem(impl_->cert.get());
    X509* cert = impl_->cert.get();
    EVP_PKEY* key = impl_->key.get();
    bool tls13_only = tls == PortalTls::kTls13Only;
    impl_->server = std::make_unique<httplib::SSLServer>([cert, key, tls13_only](SSL_CTX& ctx) {
      SSL_CTX_set_min_proto_version(&ctx, tls13_only ? TLS1_3_VERSION : TLS1_2_VERSION);
      return SSL_CTX_use_certificate(&ctx, cert) == 1 && SSL_CTX_use_PrivateKey(&ctx, key) == 1;
    });
  } else {
    impl_->server = std::make_unique<httplib::Server>();
  }
  httplib::Server& svr = *impl_->server;
  svr.set_keep_alive_max_count(100000);
  svr.set_tcp_nodelay(true);  // no Nagle delay between head and body
  auto serve = [this](const httplib::Request& req, httplib::Response& res) {
    RecordedRequest rec{req.method, req.path, {}, req.body, req.remote_port};
    for (const auto& [k, v] : req.headers) {
      // The server library files the peer's addresses among the headers.
      if (k != "REMOTE_ADDR" && k != "REMOTE_PORT" && k != "LOCAL_ADDR" && k != "LOCAL_PORT") {
        rec.headers.emplace_back(k, v);
      }
    }
    // The path as sent, query string included.
    if (!req.target.empty()) rec.path = req.target;
    PortalAnswer answer = Dispatch(rec);
    if (answer.action == PortalAnswer::kNeverAnswer) {
      std::unique_lock<std::mutex> lock(mu_);
      int generation = held_generation_;
      stopping_cv_.wait(lock, [&] { return stopping_ || held_generation_ != generation; });
      res.status = 503;
      return;
    }
    res.status = answer.status;
    for (const auto& [k, v] : answer.headers) res.set_header(k.c_str(), v);
    if (answer.drip_interval_ms != 0) {
      int ms = answer.drip_interval_ms;
      int generation;
      {
        std::lock_guard<std::mutex> lock(mu_);
        generation = held_generation_;
      }
      // Ends, like a held request, with ReleaseHeld or the portal.
      res.set_chunked_content_provider(
          answer.content_type, [this, ms, generation](size_t, httplib::DataSink& sink) {
            std::unique_lock<std::mutex> lock(mu_);
            auto released = [&] { return stopping_ || held_generation_ != generation; };
            if (stopping_cv_.wait_for(lock, std::chrono::milliseconds(ms), released)) return false;
            lock.unlock();
            return sink.write("x", 1);
          });
      return;
    }
    if (answer.streamed_bytes != 0) {
      auto left = std::make_shared<size_t>(answer.streamed_bytes);
      res.set_chunked_content_provider(answer.content_type,
                                       [left](size_t, httplib::DataSink& sink) {
                                         static const std::string chunk(64 * 1024, 'x');
                                         size_t n = std::min(*left, chunk.size());
                                         *left -= n;
                                         if (n == 0) {
                                           sink.done();
                                           return true;
                                         }
                                         return sink.write(chunk.data(), n);
                                       });
      return;
    }
    res.body = answer.body;
    if (!answer.content_type.empty()) res.set_header("Content-Type", answer.content_type);
  };
  svr.Get(".*", serve);
  svr.Post(".*", serve);
  svr.Put(".*", serve);
  svr.Delete(".*", serve);
  port_ = port == 0 ? svr.bind_to_any_port("127.0.0.1")
                    : (svr.bind_to_port("127.0.0.1", port) ? port : -1);
  if (port_ <= 0) throw std::runtime_error("o portal de teste não conseguiu abrir a porta");
  thread_ = std::thread([&svr] { svr.listen_after_bind(); });
  // stop() does nothing until the accept loop runs.
  while (!svr.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestPortal::~TestPortal() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  stopping_cv_.notify_all();
  impl_->server->stop();
  if (thread_.joinable()) thread_.join();
}

std::string TestPortal::BaseUrl() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void TestPortal::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(mu_);
  handler_ = std::move(handler);
}

void TestPortal::SetAnswer(const PortalAnswer& answer) {
  SetHandler([answer](const RecordedRequest&) { return answer; });
}

std::vector<RecordedRequest> TestPortal::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

void TestPortal::ReleaseHeld() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++held_generation_;
  }
  stopping_cv_.notify_all();
}

void TestPortal::ClearRequests() {
  std::lock_guard<std::mutex> lock(mu_);
  requests_.clear();
}

PortalAnswer TestPortal::Dispatch(const RecordedRequest& req) {
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(req);
    handler = handler_;
  }
  return handler(req);
}

// ---------------------------------------------------------------------------

RawTcpServer::RawTcpServer(Mode mode, std::string reply) : mode_(mode), reply_(std::move(reply)) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket falhou");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("bind/listen falhou");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

RawTcpServer::~RawTcpServer() {
  stop_ = true;
  thread_.join();
  ::close(listen_fd_);
}

std::string RawTcpServer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> RawTcpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

void RawTcpServer::Serve() {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    HandleConnection(fd);
  }
}

void RawTcpServer::HandleConnection(int fd) {
  // Read the head, then as many body bytes as Content-Length says.
  std::string data;
  size_t need = std::string::npos;
  char buf[16 * 1024];
  while (!stop_ && (need == std::string::npos || data.size() < need)) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
    size_t head_end = data.find("\r\n\r\n");
    if (need == std::string::npos && head_end != std::string::npos) {
      std::string head = AsciiLowerCopy(data.substr(0, head_end));
      size_t cl = head.find("\r\ncontent-length:");
      size_t body_len = cl == std::string::npos ? 0 : std::stoul(head.substr(cl + 17));
      need = head_end + 4 + body_len;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(data);
  }
  if (mode_ == kReply) {
    (void)!::write(fd, reply_.data(), reply_.size());
  } else if (mode_ == kReset) {
    linger l{1, 0};  // close() then sends RST
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  } else {
    while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::close(fd);
}

}  // namespace lumacor::testing
