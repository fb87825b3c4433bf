#include "download/ResponseHead.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvex {
namespace {

TEST(ResponseHead, ReadsStatusLineAndHeadersInOrder) {
  const auto head = ParseResponseHead(
      "HTTP/1.1 206 Partial Content\r\nContent-Type: application/zip\r\nset-cookie:a=1\r\n"
      "Set-Cookie:  b=2 ; Path=/ \t\r\nno colon here\r\nX-Empty:\r\n\r\n");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->protocol, "HTTP/1.1");
  EXPECT_EQ(head->status, 206);
  EXPECT_EQ(head->reason, "Partial Content");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Content-Type", "application/zip"}, {"set-cookie", "a=1"}, {"Set-Cookie", "b=2 ; Path=/"}, {"X-Empty", ""}};
  ASSERT_EQ(head->headers.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(head->headers[i].name, expected[i].first);
    EXPECT_EQ(head->headers[i].value, expected[i].second);
  }
}

TEST(ResponseHead, StatusLines) {
  struct Case {
    const char* raw;
    bool valid;
    const char* protocol;
    int status;
    const char* reason;
  };
  const Case cases[] = {
      {"HTTP/1.0 404 Not Found\r\n\r\n", true, "HTTP/1.0", 404, "Not Found"},
      {"HTTP/2 200\r\n", true, "HTTP/2.0", 200, ""},  // HTTP/2 has no reason phrase
      {"HTTP/1.1 503 Service Unavailable", true, "HTTP/1.1", 503, "Service Unavailable"},
      {"HTTP/1.1 407 Proxy Authentication Required\nProxy-Authenticate: Basic\n\n", true, "HTTP/1.1", 407,
       "Proxy Authentication Required"},
      {"", false, "", 0, ""},
      {"HTTP/1.1\r\n", false, "", 0, ""},
      {"HTTP/1.1 20 OK\r\n", false, "", 0, ""},
      {"HTTP/1.1 2000 OK\r\n", false, "", 0, ""},
      {"ICY 200 OK\r\n", false, "", 0, ""},
  };
  for (const Case& c : cases) {
    const auto head = ParseResponseHead(c.raw);
    ASSERT_EQ(head.has_value(), c.valid) << c.raw;
    if (!head) continue;
    EXPECT_EQ(head->protocol, c.protocol) << c.raw;
    EXPECT_EQ(head->status, c.status) << c.raw;
    EXPECT_EQ(head->reason, c.reason) << c.raw;
  }
}

TEST(ResponseHead, HeadersEndAtTheBlankLine) {
  const auto head = ParseResponseHead("HTTP/1.1 200 OK\r\nA: 1\r\n\r\nB: 2\r\n");
  ASSERT_TRUE(head);
  ASSERT_EQ(head->headers.size(), 1u);
  EXPECT_EQ(head->headers[0].name, "A");
}

}  // namespace
}  // namespace quorvex
