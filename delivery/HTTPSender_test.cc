#include "delivery/HTTPSender.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/Text.h"
#include "testsupport/Fakes.h"
#include "testsupport/TestSupport.h"
#include "tools/TestPortal.h"

namespace lumacor {
namespace {

using testing::Compression;
using testing::ConfigScope;
using testing::FakeProcess;
using testing::PortalAnswer;
using testing::PortalTls;
using testing::RawTcpServer;
using testing::RecordedRequest;
using testing::TempDir;
using testing::TestPortal;

// ---- pure parts: URL, body, escaping, answer reading ----------------------

TEST(HTTPSenderTest, UrlDropsEveryTrailingSlashAndNothingElse) {
  struct Case {
    const char* endpoint;
    const char* url;
  } cases[] = {
      {"https://portal/api", "https://portal/api/xml/receber"},
      {"https://portal/api/", "https://portal/api/xml/receber"},
      {"https://portal/api//", "https://portal/api/xml/receber"},
      {"https://portal/api///", "https://portal/api/xml/receber"},
      {"", "/xml/receber"},
      {"///", "/xml/receber"},
      {" https://portal/api/ ", " https://portal/api/ /xml/receber"},
      {"https://portal/a//b/", "https://portal/a//b/xml/receber"},
  };
  for (const Case& c : cases) EXPECT_EQ(MontarURL(c.endpoint), c.url) << c.endpoint;
}

TEST(HTTPSenderTest, JsonStringEscapesEachUtf16CodeUnit) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"", R"("")"},
      {"abc XYZ 09 ~", R"("abc XYZ 09 ~")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\0\x01\x1F", 3), R"("\u0000\u0001\u001F")"},
      {"\x7F", "\"\x7F\""},
      {"a\"b", R"("a\"b")"},
      {"</NFe>", R"("<\/NFe>")"},
      {"c:\\dir", R"("c:\\dir")"},
      {"ç ã", R"("\u00E7 \u00E3")"},
      {"\xC2\x80", R"("\u0080")"},
      {"€", R"("\u20AC")"},
      {"\xEF\xBF\xBF", R"("\uFFFF")"},
      {"😀", R"("\uD83D\uDE00")"},
      {"\xF4\x8F\xBF\xBF", R"("\uDBFF\uDFFF")"},
      {"a\xFFz", R"("a\uFFFDz")"},        // invalid byte: replacement character
      {"\xE3\x81", R"("\uFFFD\uFFFD")"},  // truncated sequence
  };
  for (const Case& c : cases) EXPECT_EQ(JsonString(c.in), c.out) << c.in;
}

TEST(HTTPSenderTest, BodyIsCompactWithMembersInOrder) {
  TCorpoEnvio c{"12345678000199", "tok/1", "K1", "<a/>", "firebird", "SRV"};
  EXPECT_EQ(
      MontarCorpo(c),
      R"({"cnpj":"12345678000199","token":"tok\/1","chave_unica":"K1","xml":"<a\/>",)"
      R"("origem":{"app":"lumacor_relay","db_type":"firebird","hostname":"SRV","app_version":"1.0.2"}})");
  EXPECT_EQ(
      MontarCorpo({}),
      R"({"cnpj":"","token":"","chave_unica":"","xml":"",)"
      R"("origem":{"app":"lumacor_relay","db_type":"","hostname":"","app_version":"1.0.2"}})");
}

TEST(HTTPSenderTest, StatusOfAnAnswer) {
  struct Case {
    std::string body;
    std::string status;
  } cases[] = {
      {"", "recebido"},
      {"<html><body>ok</body></html>", "recebido"},
      {"texto simples", "recebido"},
      {R"({"status":"ok"} extra)", "recebido"},  // not one complete value
      {R"({"status":)", "recebido"},
      {R"({"status":"ok"})", "ok"},
      {R"(  {"status":"ação"}  )", "ação"},
      {R"({"status":7})", "7"},
      {R"({"status":1.50})", "1.50"},
      {R"({"status":-2e3})", "-2e3"},
      {R"({"status":true})", "true"},
      {R"({"status":false})", "false"},
      {R"({"status":null})", "recebido"},
      {R"({})", "recebido"},
      {R"({"Status":"x"})", "recebido"},
      {R"({"data":{"status":"x"}})", "recebido"},
      {R"({"a":1,"status":"primeiro","status":"segundo"})", "primeiro"},
      {R"({"status":""})", ""},
      {R"({"status":null,"status":[]})", "recebido"},  // the first one counts
  };
  for (const Case& c : cases) EXPECT_EQ(LerStatus(c.body), c.status) << c.body;

  for (const char* bad :
       {"[1,2]", "null", "\"texto\"", "7", "true", R"({"status":{"a":1}})", R"({"status":[1]})"}) {
    EXPECT_THROW(LerStatus(bad), std::exception) << bad;
  }
}

TEST(HTTPSenderTest, DeeplyNestedJsonDoesNotOverflowTheStack) {
  const size_t depth = 1000000;
  std::string nested =
      R"({"status":"fundo","x":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
  EXPECT_EQ(LerStatus(nested), "fundo");
  EXPECT_EQ(LerStatus(std::string(depth, '[')), "recebido");  // incomplete
  EXPECT_THROW(LerStatus(std::string(depth, '[') + std::string(depth, ']')), std::exception);
}

TEST(HTTPSenderTest, FailureClassesOfStatusCodes) {
  // {code, transient (not counted), the portal as a whole is down}
  struct Case {
    int code;
    bool transitoria;
    bool indisponivel;
  } cases[] = {
      {0, true, true},     {401, true, true},   {403, true, true},   {408, true, true},
      {429, true, true},   {502, true, true},   {503, true, true},   {504, true, true},
      {500, true, false},  {501, true, false},  {599, true, false},  {200, false, false},
      {301, false, false}, {400, false, false}, {404, false, false}, {409, false, false},
      {413, false, false}, {422, false, false}, {499, false, false}, {600, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsFalhaTransitoria(c.code), c.transitoria) << c.code;
    EXPECT_EQ(IsPortalIndisponivel(c.code), c.indisponivel) << c.code;
  }
}

TEST(HTTPSenderTest, RetryAfterInSecondsOrAsADateAtMostAnHour) {
  // 2026-05-20 14:05:09 UTC
  auto agora = std::chrono::system_clock::time_point(std::chrono::seconds(1779285909));
  struct Case {
    const char* valor;
    int32_t segundos;
  } cases[] = {
      {"120", 120},
      {" 5 ", 5},
      {"0", 0},
      {"3600", 3600},
      {"7200", 3600},
      {"99999999999999", 3600},
      {"Wed, 20 May 2026 14:05:39 GMT", 30},
      {"Wed, 20 May 2026 16:05:09 GMT", 3600},
      {"Wed, 20 May 2026 14:00:00 GMT", 0},  // already past
      {"Wed, 20 May 2026 14:05:39 BRT", 0},
      {"-5", 0},
      {"1.5", 0},
      {"amanha", 0},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(LerRetryAfter(c.valor, agora), c.segundos) << c.valor;
}

TEST(HTTPSenderTest, TokenIsHiddenAsWrittenAndAsEscaped) {
  struct Case {
    const char* texto;
    const char* token;
    const char* esperado;
  } cases[] = {
      {R"(HTTP 422: {"token":"tok-123","x":"tok-123"})", "tok-123",
       R"(HTTP 422: {"token":"***","x":"***"})"},
      {R"({"token":"a\/b"} e a/b)", "a/b", R"({"token":"***"} e ***)"},
      {"tok-tok-tok", "tok", "***-***-***"},
      {"sem token aqui", "tok-123", "sem token aqui"},
      {"nada a esconder", "", "nada a esconder"},
  };
  for (const Case& c : cases) EXPECT_EQ(OcultarToken(c.texto, c.token), c.esperado) << c.texto;
}

// ---- over loopback sockets ------------------------------------------------

TSincConfig PortalConfig(const std::string& endpoint) {
  TSincConfig c;
  c.CNPJ = "12345678000199";
  c.TokenEmpresa = "token-abc";
  c.EndpointAPI = endpoint;
  c.DBType = "firebird";
  return c;
}

// A sender whose client trusts `portal`'s certificate (when it has one) and
// waits `receive_ms` for answers.
class SenderFixture : public ::testing::Test {
 protected:
  std::unique_ptr<THTTPSender> MakeSender(const TestPortal* tls_portal = nullptr,
                                          int32_t receive_ms = 30000, int32_t overall_ms = 120000) {
    HttpClientSettings s;
    s.receive_timeout_ms = receive_ms;
    s.overall_timeout_ms = overall_ms;
    if (tls_portal != nullptr) s.ca_file = dir_.Write("ca.pem", tls_portal->CertificatePem());
    return std::make_unique<THTTPSender>(HttpClient::Create(s), &process_);
  }

  TEnvioResult Send(THTTPSender& sender, const std::string& endpoint,
                    const std::string& chave = "K", const std::string& xml = "<NFe/>") {
    ConfigScope scope(PortalConfig(endpoint));
    return sender.Enviar(chave, xml);
  }

  static std::string GuardMessage(const std::string& url, const std::string& type,
                                  const std::string& msg) {
    return "Exceção HTTP ao enviar para " + url + " | Classe: " + type + " | Mensagem: " + msg;
  }

  // The "Classe" part of an error-guard message.
  static std::string ClassOf(const std::string& message) {
    size_t a = message.find(" | Classe: ");
    size_t b = message.find(" | Mensagem: ");
    if (a == std::string::npos || b == std::string::npos) return "";
    return message.substr(a + 11, b - a - 11);
  }

  TempDir dir_;
  FakeProcess process_;
};

TEST_F(SenderFixture, OutcomeOfEachAnswer) {
  TestPortal portal;
  auto sender = MakeSender();
  const std::string endpoint = portal.BaseUrl() + "/api/";
  const std::string url = portal.BaseUrl() + "/api/xml/receber";
  struct Case {
    PortalAnswer answer;
    bool sucesso;
    std::string status;
    std::string mensagem;
  } cases[] = {
      {PortalAnswer::Status(200, R"({"status":"ok"})"), true, "ok", ""},
      {PortalAnswer::Status(201, ""), true, "recebido", ""},
      {PortalAnswer::Status(200, "<html><body>Olá</body></html>", "text/html"), true, "recebido",
       ""},
      {PortalAnswer::Status(200, R"({"status":7})"), true, "7", ""},
      {PortalAnswer::Status(200, R"({"status":true})"), true, "true", ""},
      {PortalAnswer::Status(200, R"({"status":null})"), true, "recebido", ""},
      {PortalAnswer::Status(200, "{}"), true, "recebido", ""},
      {PortalAnswer::Status(201, R"({"status":"duplicado"})", "text/plain; charset=iso-8859-1"),
       true, "duplicado", ""},
      {PortalAnswer::Status(202, ""), false, "", "HTTP 202 ao enviar para " + url + ": "},
      {PortalAnswer::Status(204, ""), false, "", "HTTP 204 ao enviar para " + url + ": "},
      {PortalAnswer::Status(400, R"({"erro":"token inválido"})"), false, "",
       "HTTP 400 ao enviar para " + url + R"(: {"erro":"token inválido"})"},
      {PortalAnswer::Status(500, "Erro interno\r\nlinha 2\n" + std::string(5000, 'e'),
                            "text/plain"),
       false, "",
       "HTTP 500 ao enviar para " + url + ": Erro interno\r\nlinha 2\n" + std::string(5000, 'e')},
      {PortalAnswer::Status(200, "[1,2]"), false, "",
       GuardMessage(url, "EJSONException", "A resposta JSON não é um objeto")},
      {PortalAnswer::Status(200, "null"), false, "",
       GuardMessage(url, "EJSONException", "A resposta JSON não é um objeto")},
      {PortalAnswer::Status(200, R"({"status":{"a":1}})"), false, "",
       GuardMessage(url, "EJSONException", "O valor de \"status\" na resposta não é texto")},
      {PortalAnswer::Status(200, "Ol\xE1", "text/plain; charset=iso-8859-1"), false, "",
       GuardMessage(url, "EEncodingError", kNoMappingMessage)},
      {PortalAnswer::Status(500, "Erro: opera\xE7\xE3o", "text/plain"), false, "",
       GuardMessage(url, "EEncodingError", kNoMappingMessage)},
  };
  for (const Case& c : cases) {
    portal.SetAnswer(c.answer);
    TEnvioResult r = Send(*sender, endpoint);
    SCOPED_TRACE(std::to_string(c.answer.status) + " " + c.answer.body.substr(0, 60));
    EXPECT_EQ(r.Sucesso, c.sucesso);
    EXPECT_EQ(r.HTTPCode, c.answer.status);
    EXPECT_EQ(r.Status, c.status);
    EXPECT_EQ(r.MensagemErro, c.mensagem);
  }
}

TEST_F(SenderFixture, PostsTheExactBodyAndHeaders) {
  TestPortal portal;
  auto sender = MakeSender();
  TSincConfig cfg = PortalConfig(portal.BaseUrl() + "/api");
  cfg.TokenEmpresa = "";  // an empty value still gives its member
  ConfigScope scope(cfg);
  // COMPUTERNAME is unset in process_.
  TEnvioResult r = sender->Enviar("35240112345678000199550010000000011000000017",
                                  "<NFe Id=\"NFe35\"><xNome>João \"Zé\" 😀</xNome></NFe>");
  ASSERT_TRUE(r.Sucesso) << r.MensagemErro;
  EXPECT_EQ(r.Status, "recebido");

  auto reqs = portal.Requests();
  ASSERT_EQ(reqs.size(), 1u);
  const RecordedRequest& req = reqs[0];
  EXPECT_EQ(req.method, "POST");
  EXPECT_EQ(req.path, "/api/xml/receber");
  EXPECT_EQ(
      req.body,
      R"({"cnpj":"12345678000199","token":"","chave_unica":"35240112345678000199550010000000011000000017",)"
      R"("xml":"<NFe Id=\"NFe35\"><xNome>Jo\u00E3o \"Z\u00E9\" \uD83D\uDE00<\/xNome><\/NFe>",)"
      R"("origem":{"app":"lumacor_relay","db_type":"firebird","hostname":"","app_version":"1.0.2"}})");
  EXPECT_EQ(req.Header("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(req.Header("Accept"), "application/json");
  EXPECT_EQ(req.Header("User-Agent"), "OrvaneLumacor/1.0");
  EXPECT_EQ(req.Header("Content-Length"), std::to_string(req.body.size()));
  EXPECT_FALSE(req.HasHeader("Accept-Encoding"));
  EXPECT_FALSE(req.HasHeader("Expect"));

  process_.env["COMPUTERNAME"] = "SRV-ERP";
  ASSERT_TRUE(sender->Enviar("K", "x").Sucesso);
  EXPECT_NE(portal.Requests().back().body.find(R"("hostname":"SRV-ERP")"), std::string::npos);
}

TEST_F(SenderFixture, HeadersGoOutInOrder) {
  RawTcpServer raw(RawTcpServer::kReply,
                   "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}");
  auto sender = MakeSender();
  TEnvioResult r = Send(*sender, raw.BaseUrl());
  ASSERT_TRUE(r.Sucesso) << r.MensagemErro;
  auto reqs = raw.Requests();
  ASSERT_EQ(reqs.size(), 1u);
  const std::string& wire = reqs[0];
  EXPECT_EQ(wire.rfind("POST /xml/receber HTTP/1.1\r\n", 0), 0u) << wire;
  size_t ct = wire.find("\r\nContent-Type: application/json; charset=utf-8\r\n");
  size_t accept = wire.find("\r\nAccept: application/json\r\n");
  ASSERT_NE(ct, std::string::npos) << wire;
  ASSERT_NE(accept, std::string::npos) << wire;
  EXPECT_LT(ct, accept);
}

TEST_F(SenderFixture, TrailingSlashesGiveTheSameUrl) {
  TestPortal portal;
  auto sender = MakeSender();
  for (const char* suffix : {"/api", "/api/", "/api//"}) {
    EXPECT_TRUE(Send(*sender, portal.BaseUrl() + suffix).Sucesso) << suffix;
  }
  auto reqs = portal.Requests();
  ASSERT_EQ(reqs.size(), 3u);
  for (const auto& req : reqs) EXPECT_EQ(req.path, "/api/xml/receber");
}

TEST_F(SenderFixture, FailuresBeforeAnAnswerHaveCodeZero) {
  auto sender = MakeSender();
  std::string closed_base;
  {
    TestPortal gone;
    closed_base = gone.BaseUrl();
  }
  RawTcpServer reset(RawTcpServer::kReset);
  struct Case {
    std::string endpoint;
    std::string type;
  } cases[] = {
      {"", "EHTTPURLError"},
      {"portal.exemplo.com.br/api", "EHTTPURLError"},  // relative: never guessed
      {"ftp://127.0.0.1/api", "EHTTPURLError"},
      {"http://", "EHTTPURLError"},
      {closed_base, "EHTTPConnectError"},
      {reset.BaseUrl(), "EHTTPConnectionError"},
  };
  for (const Case& c : cases) {
    TEnvioResult r = Send(*sender, c.endpoint);
    SCOPED_TRACE(c.endpoint);
    EXPECT_FALSE(r.Sucesso);
    EXPECT_EQ(r.HTTPCode, 0);
    EXPECT_EQ(r.Status, "");
    EXPECT_EQ(r.MensagemErro.rfind(
                  "Exceção HTTP ao enviar para " + MontarURL(c.endpoint) + " | Classe: ", 0),
              0u)
        << r.MensagemErro;
    EXPECT_EQ(ClassOf(r.MensagemErro), c.type) << r.MensagemErro;
  }
  EXPECT_EQ(reset.Requests().size(), 1u);
}

TEST_F(SenderFixture, AnAnswerThatNeverComesTimesOutAndTheClientGoesOn) {
  TestPortal portal;
  auto sender = MakeSender(nullptr, 1000);
  PortalAnswer hang;
  hang.action = PortalAnswer::kNeverAnswer;
  portal.SetAnswer(hang);
  auto start = std::chrono::steady_clock::now();
  TEnvioResult r = Send(*sender, portal.BaseUrl());
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(r.HTTPCode, 0);
  EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPTimeout") << r.MensagemErro;
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));
  EXPECT_LT(elapsed, std::chrono::seconds(10));

  // Nothing of the failure remains: the next send starts afresh.
  portal.SetHandler(testing::DefaultPortalAnswer);
  TEnvioResult ok = Send(*sender, portal.BaseUrl());
  EXPECT_TRUE(ok.Sucesso) << ok.MensagemErro;
  EXPECT_EQ(ok.MensagemErro, "");
}

TEST_F(SenderFixture, CompressedAnswersAreDecoded) {
  TestPortal portal;
  auto sender = MakeSender();
  const std::string url = portal.BaseUrl() + "/xml/receber";
  for (Compression how : {Compression::kGzip, Compression::kZlib, Compression::kRawDeflate}) {
    portal.SetAnswer(PortalAnswer::Compressed(200, R"({"status":"compactado"})", how));
    TEnvioResult r = Send(*sender, portal.BaseUrl());
    EXPECT_TRUE(r.Sucesso) << r.MensagemErro;
    EXPECT_EQ(r.Status, "compactado");
  }
  portal.SetAnswer(PortalAnswer::Compressed(503, "manutenção", Compression::kGzip));
  EXPECT_EQ(Send(*sender, portal.BaseUrl()).MensagemErro,
            "HTTP 503 ao enviar para " + url + ": manutenção");
}

TEST_F(SenderFixture, OversizedAnswersFailInsteadOfExhaustingMemory) {
  TestPortal portal;
  auto sender = MakeSender();
  const std::string url = portal.BaseUrl() + "/xml/receber";

  PortalAnswer huge = PortalAnswer::Status(200, "", "text/plain");
  huge.streamed_bytes = (16u << 20) + 1;
  portal.SetAnswer(huge);
  TEnvioResult r = Send(*sender, portal.BaseUrl());
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(r.HTTPCode, 0);
  EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPAnswerTooLarge") << r.MensagemErro;

  huge.streamed_bytes = 16u << 20;  // exactly the limit still goes through
  portal.SetAnswer(huge);
  r = Send(*sender, portal.BaseUrl());
  EXPECT_TRUE(r.Sucesso) << r.MensagemErro.substr(0, 200);

  portal.SetAnswer(PortalAnswer::Compressed(200, std::string(17u << 20, ' '), Compression::kGzip));
  r = Send(*sender, portal.BaseUrl());
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(r.HTTPCode, 200);
  EXPECT_EQ(ClassOf(r.MensagemErro), "EDecompressionError") << r.MensagemErro;
}

// ---- TLS, redirects and cookies against the HTTPS portal -------------------

TEST_F(SenderFixture, TlsTwelveOnlyWithCertificateChecks) {
  TestPortal tls12(PortalTls::kTls);
  auto sender = MakeSender(&tls12);
  TEnvioResult r = Send(*sender, tls12.BaseUrl());
  EXPECT_TRUE(r.Sucesso) << r.MensagemErro;
  EXPECT_EQ(r.HTTPCode, 200);
  ASSERT_EQ(tls12.Requests().size(), 1u);
  EXPECT_EQ(tls12.Requests()[0].Header("Content-Type"), "application/json; charset=utf-8");

  TestPortal tls13(PortalTls::kTls13Only);
  auto sender13 = MakeSender(&tls13);
  r = Send(*sender13, tls13.BaseUrl());
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(r.HTTPCode, 0);
  EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPTLSError") << r.MensagemErro;
  EXPECT_TRUE(tls13.Requests().empty());

  auto untrusting = MakeSender();  // the test certificate is in no trust store
  r = Send(*untrusting, tls12.BaseUrl());
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPTLSError") << r.MensagemErro;
  EXPECT_EQ(tls12.Requests().size(), 1u);
}

// "/hop/N/xml/receber" redirects to "/hop/N-1/xml/receber"; hop 0 accepts.
PortalAnswer Hops(const RecordedRequest& req) {
  int n = 0;
  if (std::sscanf(req.path.c_str(), "/hop/%d/", &n) == 1 && n > 0) {
    return PortalAnswer::RedirectTo("/hop/" + std::to_string(n - 1) + "/xml/receber");
  }
  return PortalAnswer::Status(200, R"({"status":"fim"})");
}

TEST_F(SenderFixture, FollowsFiveRedirectsButNotSix) {
  TestPortal portal(PortalTls::kTls);
  portal.SetHandler(Hops);
  auto sender = MakeSender(&portal);

  TEnvioResult r = Send(*sender, portal.BaseUrl() + "/hop/5");
  EXPECT_TRUE(r.Sucesso) << r.MensagemErro;
  EXPECT_EQ(r.Status, "fim");
  auto reqs = portal.Requests();
  ASSERT_EQ(reqs.size(), 6u);
  EXPECT_EQ(reqs.back().path, "/hop/0/xml/receber");
  EXPECT_EQ(reqs.back().method, "POST");  // 307 keeps the method and body
  EXPECT_EQ(reqs.back().body, reqs.front().body);

  portal.ClearRequests();
  r = Send(*sender, portal.BaseUrl() + "/hop/6");
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(r.HTTPCode, 0);
  EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPRedirectError") << r.MensagemErro;
  EXPECT_EQ(portal.Requests().size(), 6u);  // the sixth redirect is not followed
}

TEST_F(SenderFixture, NeverRedirectsFromHttpsToHttp) {
  TestPortal plain;
  TestPortal secure(PortalTls::kTls);
  secure.SetAnswer(PortalAnswer::RedirectTo(plain.BaseUrl() + "/xml/receber"));
  auto sender = MakeSender(&secure);
  TEnvioResult r = Send(*sender, secure.BaseUrl());
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(r.HTTPCode, 0);
  EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPRedirectError") << r.MensagemErro;
  EXPECT_TRUE(plain.Requests().empty());  // the token never left over plain HTTP
}

TEST_F(SenderFixture, EveryFollowedRedirectRepeatsThePostWithItsBody) {
  TestPortal portal;
  int code = 0;
  portal.SetHandler([&](const RecordedRequest& req) {
    // A GET of the new address would also get 200 (an HTML page), so only
    // the requests seen below tell a delivery from a lookalike.
    if (req.path == "/api/xml/receber") return PortalAnswer::RedirectTo("/v2/xml/receber", code);
    return testing::DefaultPortalAnswer(req);
  });
  auto sender = MakeSender();
  for (int c : {301, 302, 303, 307, 308}) {
    SCOPED_TRACE(c);
    code = c;
    portal.ClearRequests();
    TEnvioResult r =
        Send(*sender, portal.BaseUrl() + "/api", "K", "<NFe>" + std::to_string(c) + "</NFe>");
    EXPECT_TRUE(r.Sucesso) << r.MensagemErro;
    EXPECT_EQ(r.Status, "recebido");
    auto reqs = portal.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[1].method, "POST");
    EXPECT_EQ(reqs[1].path, "/v2/xml/receber");
    EXPECT_EQ(reqs[1].body, reqs[0].body);
    EXPECT_EQ(reqs[1].Header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_NE(reqs[1].body.find("<\\/NFe>"), std::string::npos);
  }
}

TEST_F(SenderFixture, RedirectsStayOnTheEndpointsHost) {
  TestPortal secure(PortalTls::kTls);
  TestPortal plain;
  auto sender = MakeSender(&secure);

  // http to https on the same host is followed.
  plain.SetAnswer(PortalAnswer::RedirectTo(secure.BaseUrl() + "/xml/receber", 301));
  TEnvioResult r = Send(*sender, plain.BaseUrl());
  EXPECT_TRUE(r.Sucesso) << r.MensagemErro;
  ASSERT_EQ(secure.Requests().size(), 1u);
  EXPECT_EQ(secure.Requests()[0].method, "POST");

  // Another host (localhost is not 127.0.0.1 by name) gets neither the
  // document nor the token; the send can be retried once the operator
  // fixes the endpoint.
  secure.ClearRequests();
  for (int code : {307, 308, 301}) {
    SCOPED_TRACE(code);
    std::string elsewhere = "https://localhost:" + std::to_string(secure.port()) + "/xml/receber";
    plain.SetAnswer(PortalAnswer::RedirectTo(elsewhere, code));
    r = Send(*sender, plain.BaseUrl());
    EXPECT_FALSE(r.Sucesso);
    EXPECT_EQ(r.HTTPCode, 0);
    EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPRedirectError") << r.MensagemErro;
    EXPECT_NE(r.MensagemErro.find(elsewhere), std::string::npos) << r.MensagemErro;
    EXPECT_NE(r.MensagemErro.find("endpoint_contador"), std::string::npos) << r.MensagemErro;
    EXPECT_EQ(r.Desfecho, TDesfechoEnvio::deTentarDepois);
    EXPECT_TRUE(secure.Requests().empty());
  }
}

TEST_F(SenderFixture, OutcomeTellsRetryFromRejection) {
  TestPortal portal;
  auto sender = MakeSender(nullptr, 1000);
  PortalAnswer retry503 = PortalAnswer::Status(503, "manutencao", "text/plain");
  retry503.headers.emplace_back("Retry-After", "120");
  PortalAnswer retry500 = PortalAnswer::Status(500, "erro", "text/plain");
  retry500.headers.emplace_back("Retry-After", "120");
  PortalAnswer hang;
  hang.action = PortalAnswer::kNeverAnswer;
  struct Case {
    const char* name;
    PortalAnswer answer;
    TDesfechoEnvio desfecho;
    bool indisponivel;
    int32_t aguardar;
  } cases[] = {
      {"200", PortalAnswer(), TDesfechoEnvio::deEntregue, false, 0},
      {"422", PortalAnswer::Status(422, "recusado"), TDesfechoEnvio::deRecusado, false, 0},
      {"200 with an array", PortalAnswer::Status(200, "[1]"), TDesfechoEnvio::deRecusado, false, 0},
      {"500", retry500, TDesfechoEnvio::deTentarDepois, false, 0},
      {"503 with Retry-After", retry503, TDesfechoEnvio::deTentarDepois, true, 120},
      {"401", PortalAnswer::Status(401, "token"), TDesfechoEnvio::deTentarDepois, true, 0},
      {"no answer", hang, TDesfechoEnvio::deTentarDepois, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    portal.SetAnswer(c.answer);
    TEnvioResult r = Send(*sender, portal.BaseUrl());
    EXPECT_EQ(r.Desfecho, c.desfecho) << r.MensagemErro;
    EXPECT_EQ(r.PortalIndisponivel, c.indisponivel);
    EXPECT_EQ(r.AguardarSegundos, c.aguardar);
  }
  portal.ReleaseHeld();
}

TEST_F(SenderFixture, AnEchoedTokenIsHidden) {
  TestPortal portal;
  portal.SetHandler([](const RecordedRequest& req) { return PortalAnswer::Status(422, req.body); });
  auto sender = MakeSender();
  TEnvioResult r = Send(*sender, portal.BaseUrl());
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(r.MensagemErro.find("token-abc"), std::string::npos) << r.MensagemErro;
  EXPECT_NE(r.MensagemErro.find(R"("token":"***")"), std::string::npos) << r.MensagemErro;
  EXPECT_NE(r.MensagemErro.find(R"("cnpj":"12345678000199")"),
            std::string::npos);  // the rest is whole
}

TEST_F(SenderFixture, ADripFedAnswerEndsAtTheOverallDeadline) {
  TestPortal portal;
  PortalAnswer drip = PortalAnswer::Status(200, "", "text/plain");
  drip.drip_interval_ms = 100;  // every read gets a byte well within its time-out
  portal.SetAnswer(drip);
  auto sender = MakeSender(nullptr, 1000, 2500);
  auto start = std::chrono::steady_clock::now();
  TEnvioResult r = Send(*sender, portal.BaseUrl());
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPTimeout") << r.MensagemErro;
  EXPECT_EQ(r.Desfecho, TDesfechoEnvio::deTentarDepois);
  EXPECT_GE(elapsed, std::chrono::milliseconds(2400));
  EXPECT_LT(elapsed, std::chrono::seconds(8));
}

// A listener whose accept queue is full: the kernel drops further SYNs, so
// a connection attempt hangs as towards a host that is down.
class BlackHole {
 public:
  BlackHole() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener_, 0);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    for (int i = 0; i < 3; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      fillers_.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ~BlackHole() {
    for (int fd : fillers_) ::close(fd);
    ::close(listener_);
  }
  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

TEST_F(SenderFixture, InterruptionCutsAConnectionAttemptShort) {
  BlackHole hole;
  auto sender = MakeSender();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sender->Interromper();
  });
  auto start = std::chrono::steady_clock::now();
  TEnvioResult r = Send(*sender, hole.BaseUrl());
  auto elapsed = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_EQ(r.Desfecho, TDesfechoEnvio::deInterrompido) << r.MensagemErro;
  EXPECT_LT(elapsed, std::chrono::milliseconds(1800));
}

TEST_F(SenderFixture, InterruptionCutsTheSendShortAndRefusesLaterOnes) {
  TestPortal portal;
  PortalAnswer hang;
  hang.action = PortalAnswer::kNeverAnswer;
  portal.SetAnswer(hang);
  auto sender = MakeSender();
  auto start = std::chrono::steady_clock::now();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sender->Interromper();
  });
  TEnvioResult r = Send(*sender, portal.BaseUrl());
  auto elapsed = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(r.Desfecho, TDesfechoEnvio::deInterrompido);
  EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPAborted") << r.MensagemErro;
  EXPECT_LT(elapsed, std::chrono::milliseconds(1800));

  portal.SetHandler(testing::DefaultPortalAnswer);
  size_t seen = portal.Requests().size();
  EXPECT_EQ(Send(*sender, portal.BaseUrl()).Desfecho, TDesfechoEnvio::deInterrompido);
  EXPECT_EQ(portal.Requests().size(), seen);  // nothing left the client
}

TEST_F(SenderFixture, CookiesAndTheConnectionCarryOverBetweenSends) {
  TestPortal portal(PortalTls::kTls);
  portal.SetHandler([](const RecordedRequest& req) {
    PortalAnswer a;
    if (!req.HasHeader("Cookie"))
      a.headers.emplace_back("Set-Cookie", "sessao=abc123; Path=/; Secure; HttpOnly");
    return a;
  });
  auto sender = MakeSender(&portal);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Send(*sender, portal.BaseUrl()).Sucesso);
  auto reqs = portal.Requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_FALSE(reqs[0].HasHeader("Cookie"));
  EXPECT_EQ(reqs[1].Header("Cookie"), "sessao=abc123");
  EXPECT_EQ(reqs[2].Header("Cookie"), "sessao=abc123");
  EXPECT_EQ(reqs[1].remote_port, reqs[0].remote_port);  // one connection
  EXPECT_EQ(reqs[2].remote_port, reqs[0].remote_port);

  // The store belongs to its client.
  auto other = MakeSender(&portal);
  ASSERT_TRUE(Send(*other, portal.BaseUrl()).Sucesso);
  EXPECT_FALSE(portal.Requests().back().HasHeader("Cookie"));
}

}  // namespace
}  // namespace lumacor
