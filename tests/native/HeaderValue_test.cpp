#include "download/HeaderValue.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvex {
namespace {

TEST(HeaderValue, EncodeHeaderValueIsOneLineOfStandardBase64) {
  struct Case { std::string text; const char* expected; };
  const Case cases[] = {
      {"", ""},
      {"server_files", "c2VydmVyX2ZpbGVz"},
      {"updates\\V_x64.zip", "dXBkYXRlc1xWX3g2NC56aXA="},
      {"\xC3\xA9", "w6k="},  // UTF-8 bytes, not code units
      // 64 bytes: the encoder's output runs over one 76-character line.
      {"updates\\QuorvexRelease-2026.12.10-build-000123-long-name_x64.zip",
       "dXBkYXRlc1xRdW9ydmV4UmVsZWFzZS0yMDI2LjEyLjEwLWJ1aWxkLTAwMDEyMy1sb25nLW5hbWVfeDY0LnppcA=="},
      // 57 bytes: exactly one full line, which the encoder ends with CR LF.
      {std::string(57, 'x'), "eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4"},
  };
  for (const Case& c : cases) EXPECT_EQ(EncodeHeaderValue(c.text), c.expected) << c.text;

  const std::string longValue = EncodeHeaderValue(std::string(300, 'q'));
  EXPECT_EQ(longValue.size(), 400u);
  EXPECT_EQ(longValue.find_first_of("\r\n"), std::string::npos);
}

TEST(HeaderValue, LineEncoderBreaksAfterEveryFullLine) {
  EXPECT_EQ(EncodeBase64Lines(std::string(57, 'x')), "eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4\r\n");
  EXPECT_EQ(EncodeBase64Lines(std::string(58, 'x')),
            "eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4\r\neA==");
  EXPECT_EQ(EncodeBase64Lines(std::string(114, 'x')).size(), 2 * 78u);
}

TEST(HeaderValue, RemoveLineBreaksRemovesOnlyCrLfPairs) {
  struct Case { const char* text; const char* expected; };
  const Case cases[] = {
      {"ab\r\ncd\r\n", "abcd"},
      {"a\rb\nc", "a\rb\nc"},
      {"a\n\r\nb", "a\nb"},
      {"a\r\r\nb\r", "a\rb\r"},
      {"\r\n\r\n", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(RemoveLineBreaks(c.text), c.expected) << c.text;
}

TEST(HeaderValue, PercentEncodingKeepsOnlyLettersDigitsDashDotUnderscore) {
  EXPECT_EQ(PercentEncodeHeaderText("dXBkYXRlc1xWX3g2NC56aXA="), "dXBkYXRlc1xWX3g2NC56aXA%3D");
  EXPECT_EQ(PercentEncodeHeaderText("a+b/c=="), "a%2Bb%2Fc%3D%3D");
  EXPECT_EQ(PercentEncodeHeaderText("x-database"), "x-database");
  EXPECT_EQ(PercentEncodeHeaderText("A.z_9~ \xC3\xA9%"), "A.z_9%7E%20%C3%A9%25");
}

}  // namespace
}  // namespace quorvex
