// The standalone lumacor-test-portal that the demo and end-to-end runs use.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/HttpClient.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

using testing::TempDir;

// Runs the tool in the background for the test's lifetime.
class PortalProcess {
 public:
  explicit PortalProcess(const TempDir& dir) : dir_(dir) {
    std::string cmd = std::string(LUMACOR_BINARY_DIR) + "/lumacor-test-portal --tls --cert " +
                      dir.Path("ca.pem") + " --record " + dir.Path("rec.jsonl") + " --port-file " +
                      dir.Path("port.tmp") + " >/dev/null & echo $! > " + dir.Path("pid");
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    for (int i = 0; i < 500 && port_.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      try {
        std::string p = testing::ReadFileBytes(dir.Path("port.tmp"));
        if (!p.empty() && p.back() == '\n') port_ = p.substr(0, p.size() - 1);
      } catch (const std::exception&) {
      }
    }
  }
  ~PortalProcess() {
    std::string cmd = "kill $(cat " + dir_.Path("pid") + ")";
    (void)std::system(cmd.c_str());
  }
  std::string Url(const std::string& path) const { return "https://127.0.0.1:" + port_ + path; }
  bool ready() const { return !port_.empty(); }

 private:
  const TempDir& dir_;
  std::string port_;
};

TEST(TestPortalToolTest, RecordsDocumentsAndAnswersAsTold) {
  TempDir dir;
  PortalProcess portal(dir);
  ASSERT_TRUE(portal.ready());
  HttpClientSettings s;
  s.ca_file = dir.Path("ca.pem");
  auto client = HttpClient::Create(s);

  HttpAnswer a = client->Post(portal.Url("/api/xml/receber"),
                              {{"Content-Type", "application/json"}}, "{\"n\":1}");
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, "{\"status\":\"recebido\"}");

  a = client->Post(portal.Url("/_mode"), {}, "{\"status\":500,\"body\":\"fora do ar\"}");
  EXPECT_EQ(a.status, 200);
  a = client->Post(portal.Url("/api/xml/receber"), {}, "{\"n\":2}");
  EXPECT_EQ(a.status, 500);
  EXPECT_EQ(a.body, "fora do ar");

  std::string rec = testing::ReadFileBytes(dir.Path("rec.jsonl"));
  EXPECT_NE(rec.find(R"("path":"/api/xml/receber")"), std::string::npos) << rec;
  EXPECT_NE(rec.find(R"("body":"{\"n\":1}")"), std::string::npos) << rec;
  EXPECT_NE(rec.find(R"("body":"{\"n\":2}")"), std::string::npos) << rec;
  EXPECT_EQ(rec.find("_mode"), std::string::npos) << rec;
}

}  // namespace
}  // namespace lumacor
