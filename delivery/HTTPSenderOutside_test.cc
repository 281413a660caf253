// The sender against the standalone portal (lumacor-test-portal) started
// outside this process and named by LUMACOR_PORTAL_URL. This is how the
// Windows build, which cannot host the in-process portal, tries its HTTP
// client on real sockets; without the variable the tests skip.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/Text.h"
#include "delivery/HTTPSender.h"
#include "testsupport/Fakes.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

using testing::ConfigScope;

struct SeenRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

constexpr const char* kNormalMode =
    R"({"status":200,"body":"{\"status\":\"recebido\"}","never":false,"location":"","path":"",)"
    R"("retry_after":""})";

class OutsidePortalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = Process::Default()->GetEnv("LUMACOR_PORTAL_URL");
    if (base_.empty()) GTEST_SKIP() << "LUMACOR_PORTAL_URL nao definida";
    admin_ = HttpClient::Create();
    SetMode(kNormalMode);
  }

  void TearDown() override {
    if (admin_) SetMode(kNormalMode);
  }

  void SetMode(const std::string& json) {
    ASSERT_EQ(admin_->Post(base_ + "/_mode", {}, json).status, 200);
  }

  std::vector<SeenRequest> Requests() {
    HttpAnswer a = admin_->Post(base_ + "/_requests", {}, "");
    EXPECT_EQ(a.status, 200);
    rapidjson::Document d;
    d.Parse(a.body.c_str(), a.body.size());
    std::vector<SeenRequest> out;
    if (d.HasParseError() || !d.IsArray()) {
      ADD_FAILURE() << a.body;
      return out;
    }
    for (const auto& r : d.GetArray()) {
      SeenRequest seen;
      seen.method = r["method"].GetString();
      seen.path = r["path"].GetString();
      seen.body.assign(r["body"].GetString(), r["body"].GetStringLength());
      for (const auto& h : r["headers"].GetObject()) {
        seen.headers[AsciiLowerCopy(h.name.GetString())] = h.value.GetString();
      }
      out.push_back(std::move(seen));
    }
    return out;
  }

  std::unique_ptr<THTTPSender> MakeSender(int32_t receive_ms = 30000) {
    HttpClientSettings s;
    s.receive_timeout_ms = receive_ms;
    return std::make_unique<THTTPSender>(HttpClient::Create(s), &process_);
  }

  TEnvioResult Send(THTTPSender& sender, const std::string& endpoint,
                    const std::string& xml = "<NFe/>") {
    TSincConfig c;
    c.CNPJ = "12345678000199";
    c.TokenEmpresa = "token-abc";
    c.EndpointAPI = endpoint;
    c.DBType = "firebird";
    ConfigScope scope(c);
    return sender.Enviar("35240112345678000199550010000000011000000017", xml);
  }

  static std::string ClassOf(const std::string& message) {
    size_t a = message.find(" | Classe: ");
    size_t b = message.find(" | Mensagem: ");
    if (a == std::string::npos || b == std::string::npos) return "";
    return message.substr(a + 11, b - a - 11);
  }

  std::string base_;
  std::unique_ptr<HttpClient> admin_;
  testing::FakeProcess process_;
};

TEST_F(OutsidePortalTest, PostsTheExactBodyAndHeaders) {
  auto sender = MakeSender();
  process_.env["COMPUTERNAME"] = "SRV-ERP";
  size_t before = Requests().size();
  TEnvioResult r = Send(*sender, base_ + "/api//", "<NFe><xNome>João \"Zé\" 😀</xNome></NFe>");
  ASSERT_TRUE(r.Sucesso) << r.MensagemErro;
  EXPECT_EQ(r.HTTPCode, 200);
  EXPECT_EQ(r.Status, "recebido");

  std::vector<SeenRequest> reqs = Requests();
  ASSERT_EQ(reqs.size(), before + 1);
  SeenRequest req = reqs.back();
  EXPECT_EQ(req.path, "/api/xml/receber");
  EXPECT_EQ(
      req.body,
      R"({"cnpj":"12345678000199","token":"token-abc","chave_unica":"35240112345678000199550010000000011000000017",)"
      R"("xml":"<NFe><xNome>Jo\u00E3o \"Z\u00E9\" \uD83D\uDE00<\/xNome><\/NFe>",)"
      R"("origem":{"app":"lumacor_relay","db_type":"firebird","hostname":"SRV-ERP","app_version":"1.0.2"}})");
  EXPECT_EQ(req.headers["content-type"], "application/json; charset=utf-8");
  EXPECT_EQ(req.headers["accept"], "application/json");
  EXPECT_EQ(req.headers["user-agent"], "OrvaneLumacor/1.0");
  EXPECT_EQ(req.headers["content-length"], std::to_string(req.body.size()));
  EXPECT_EQ(req.headers.count("accept-encoding"), 0u);
}

TEST_F(OutsidePortalTest, StatusAndMessageOfEachAnswer) {
  auto sender = MakeSender();
  const std::string url = base_ + "/xml/receber";
  struct Case {
    std::string mode;
    bool sucesso;
    int32_t code;
    std::string status;
    std::string mensagem;
  } cases[] = {
      {R"({"status":200,"body":"{\"status\":\"ok\"}"})", true, 200, "ok", ""},
      {R"({"status":201,"body":""})", true, 201, "recebido", ""},
      {R"({"status":400,"body":"{\"erro\":\"token inválido\"}"})", false, 400, "",
       "HTTP 400 ao enviar para " + url + R"(: {"erro":"token inválido"})"},
      {R"({"status":204,"body":""})", false, 204, "", "HTTP 204 ao enviar para " + url + ": "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    SetMode(c.mode);
    TEnvioResult r = Send(*sender, base_);
    EXPECT_EQ(r.Sucesso, c.sucesso);
    EXPECT_EQ(r.HTTPCode, c.code);
    EXPECT_EQ(r.Status, c.status);
    EXPECT_EQ(r.MensagemErro, c.mensagem);
  }
}

TEST_F(OutsidePortalTest, NoAnswerMeansCodeZeroAndTheClientGoesOn) {
  auto sender = MakeSender(1500);
  // Nothing listens on port 1 of the loopback.
  TEnvioResult refused = Send(*sender, "http://127.0.0.1:1/api");
  EXPECT_FALSE(refused.Sucesso);
  EXPECT_EQ(refused.HTTPCode, 0);
  EXPECT_EQ(ClassOf(refused.MensagemErro), "EHTTPConnectError") << refused.MensagemErro;

  SetMode(R"({"never":true})");
  auto start = std::chrono::steady_clock::now();
  TEnvioResult hung = Send(*sender, base_);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(hung.Sucesso);
  EXPECT_EQ(hung.HTTPCode, 0);
  EXPECT_EQ(ClassOf(hung.MensagemErro), "EHTTPTimeout") << hung.MensagemErro;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
  EXPECT_LT(elapsed, std::chrono::seconds(20));

  SetMode(R"({"never":false})");
  TEnvioResult ok = Send(*sender, base_);
  EXPECT_TRUE(ok.Sucesso) << ok.MensagemErro;
}

TEST_F(OutsidePortalTest, FollowsAtMostFiveRedirects) {
  auto sender = MakeSender();
  size_t before = Requests().size();
  // Every answer sends the request back to itself.
  SetMode(R"({"status":307,"body":"","location":"/api/xml/receber"})");
  TEnvioResult r = Send(*sender, base_ + "/api");
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPRedirectError") << r.MensagemErro;
  // The first request and five redirects; the sixth is not followed.
  EXPECT_EQ(Requests().size(), before + 6);
}

TEST_F(OutsidePortalTest, EveryFollowedRedirectRepeatsThePostWithItsBody) {
  auto sender = MakeSender();
  for (int code : {301, 302, 303, 307, 308}) {
    SCOPED_TRACE(code);
    // Only the old address redirects; a GET of the new one would get the
    // portal's HTML page with 200.
    SetMode(R"({"status":)" + std::to_string(code) +
            R"(,"body":"","location":"/v2/xml/receber","path":"/api/xml/receber"})");
    size_t before = Requests().size();
    TEnvioResult r = Send(*sender, base_ + "/api", "<NFe>" + std::to_string(code) + "</NFe>");
    EXPECT_TRUE(r.Sucesso) << r.MensagemErro;
    std::vector<SeenRequest> reqs = Requests();
    ASSERT_EQ(reqs.size(), before + 2);
    EXPECT_EQ(reqs[before].path, "/api/xml/receber");
    EXPECT_EQ(reqs[before + 1].method, "POST");
    EXPECT_EQ(reqs[before + 1].path, "/v2/xml/receber");
    EXPECT_EQ(reqs[before + 1].body, reqs[before].body);
  }
}

TEST_F(OutsidePortalTest, ARedirectToAnotherHostIsNotFollowed) {
  auto sender = MakeSender();
  std::string port = base_.substr(base_.rfind(':') + 1);
  std::string elsewhere = "http://localhost:" + port + "/v2/xml/receber";
  SetMode(R"({"status":308,"body":"","location":")" + elsewhere +
          R"(","path":"/api/xml/receber"})");
  size_t before = Requests().size();
  TEnvioResult r = Send(*sender, base_ + "/api");
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(r.HTTPCode, 0);
  EXPECT_EQ(r.Desfecho, TDesfechoEnvio::deTentarDepois);
  EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPRedirectError") << r.MensagemErro;
  EXPECT_NE(r.MensagemErro.find(elsewhere), std::string::npos) << r.MensagemErro;
  EXPECT_EQ(Requests().size(), before + 1);  // neither document nor token went there
}

TEST_F(OutsidePortalTest, AStopCutsAHangingSendShort) {
  auto sender = MakeSender();
  SetMode(R"({"never":true})");
  auto start = std::chrono::steady_clock::now();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sender->Interromper();
  });
  TEnvioResult r = Send(*sender, base_);
  auto elapsed = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_EQ(r.Desfecho, TDesfechoEnvio::deInterrompido) << r.MensagemErro;
  EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPAborted") << r.MensagemErro;
  EXPECT_LT(elapsed, std::chrono::milliseconds(1800));
  SetMode(kNormalMode);
  EXPECT_EQ(Send(*sender, base_).Desfecho, TDesfechoEnvio::deInterrompido);
}

TEST_F(OutsidePortalTest, ADripFedAnswerEndsAtTheOverallDeadline) {
  HttpClientSettings s;
  s.receive_timeout_ms = 1000;
  s.overall_timeout_ms = 2500;
  THTTPSender sender(HttpClient::Create(s), &process_);
  SetMode(R"({"drip_ms":100})");
  auto start = std::chrono::steady_clock::now();
  TEnvioResult r = Send(sender, base_);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(r.Sucesso);
  EXPECT_EQ(ClassOf(r.MensagemErro), "EHTTPTimeout") << r.MensagemErro;
  EXPECT_GE(elapsed, std::chrono::milliseconds(2400));
  EXPECT_LT(elapsed, std::chrono::seconds(8));
}

}  // namespace
}  // namespace lumacor
