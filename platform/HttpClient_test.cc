#include "platform/HttpClient.h"

#include <gtest/gtest.h>

#include "tools/TestPortal.h"

namespace lumacor {
namespace {

using testing::Compression;
using testing::PortalAnswer;
using testing::TestPortal;

TEST(HttpClientTest, ReturnsTheFinalAnswerAsReceived) {
  TestPortal portal;
  portal.SetHandler([](const testing::RecordedRequest& req) {
    if (req.path == "/a") return PortalAnswer::RedirectTo("/b", 302);
    return PortalAnswer::Compressed(201, "corpo", Compression::kGzip);
  });
  auto client = HttpClient::Create();
  HttpAnswer a = client->Post(portal.BaseUrl() + "/a", {{"X-Um", "1"}}, "dados");
  EXPECT_EQ(a.status, 201);
  EXPECT_EQ(a.content_encoding, "gzip");
  EXPECT_EQ(a.body, testing::Compress("corpo", Compression::kGzip));  // decoding is the caller's
  auto reqs = portal.Requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].Header("X-Um"), "1");
  EXPECT_EQ(reqs[0].body, "dados");
}

TEST(HttpClientTest, AnswerSizeLimitIsExact) {
  TestPortal portal;
  HttpClientSettings s;
  s.max_answer_bytes = 1000;
  auto client = HttpClient::Create(s);
  for (bool chunked : {false, true}) {
    for (size_t size : {size_t{999}, size_t{1000}, size_t{1001}, size_t{5000000}}) {
      SCOPED_TRACE(std::to_string(size) + (chunked ? " chunked" : " with Content-Length"));
      PortalAnswer answer =
          PortalAnswer::Status(200, chunked ? "" : std::string(size, 'x'), "text/plain");
      if (chunked) answer.streamed_bytes = size;
      portal.SetAnswer(answer);
      if (size <= 1000) {
        EXPECT_EQ(client->Post(portal.BaseUrl(), {}, "").body, std::string(size, 'x'));
        continue;
      }
      try {
        client->Post(portal.BaseUrl(), {}, "");
        ADD_FAILURE() << "passed the limit";
      } catch (const HttpError& e) {
        EXPECT_EQ(e.type_name(), "EHTTPAnswerTooLarge") << e.what();
      }
    }
  }
  portal.SetAnswer(PortalAnswer());
  EXPECT_EQ(client->Post(portal.BaseUrl(), {}, "").status, 200);  // and the client goes on
}

}  // namespace
}  // namespace lumacor
