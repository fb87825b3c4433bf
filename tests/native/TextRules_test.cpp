#include <gtest/gtest.h>

#include <string_view>

#include "text/AsciiCase.h"
#include "text/Utf8.h"

namespace quorvex {
namespace {

TEST(TextRules, OnlyAsciiLettersFoldCase) {
  EXPECT_TRUE(EqualsIgnoreCase("Content-LENGTH", "content-length"));
  EXPECT_FALSE(EqualsIgnoreCase("content-length", "content-lengt"));
  // Bytes that differ only in bit 5 but are not letters stay different.
  EXPECT_FALSE(EqualsIgnoreCase("@[\\]^", "`{|}~"));
  EXPECT_FALSE(EqualsIgnoreCase("bytes=", std::string_view("bytes\x1d", 6)));
  EXPECT_FALSE(EqualsIgnoreCase("\xC3\x89", "\xC3\xA9"));  // É and é: not ASCII
  EXPECT_TRUE(StartsWithIgnoreCase("Basic dXNlcg==", "basic "));
  EXPECT_FALSE(StartsWithIgnoreCase("Bas", "basic "));
  EXPECT_TRUE(EndsWithIgnoreCase("PACKAGE.ZIP", ".zip"));
  EXPECT_FALSE(EndsWithIgnoreCase("zip", ".zip"));
  EXPECT_EQ(ToLowerAscii("HTTPS://Host.EXAMPLE/\xC3\x89"), "https://host.example/\xC3\x89");
}

TEST(TextRules, Utf8MustBeWellFormed) {
  struct Case {
    std::string_view text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain", true},
      {"\xC2\x80", true},             // U+0080, the first two-byte value
      {"\xEF\xBF\xBF", true},         // U+FFFF
      {"\xF0\x9F\x93\xA6", true},     // U+1F4E6
      {"\xF4\x8F\xBF\xBF", true},     // U+10FFFF
      {"\xC1\xBF", false},            // overlong two-byte
      {"\xE0\x80\xAF", false},        // overlong three-byte
      {"\xF0\x8F\xBF\xBF", false},    // overlong four-byte
      {"\xED\xA0\x80", false},        // a UTF-16 surrogate
      {"\xF4\x90\x80\x80", false},    // above U+10FFFF
      {"\xC3", false},                // cut short
      {"a\xE2\x82", false},           // cut short after ASCII
      {"\xC3\x28", false},            // continuation missing
      {"\x80", false},                // stray continuation
      {"\xFF", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsValidUtf8(c.text), c.valid) << ::testing::PrintToString(std::string(c.text));
}

}  // namespace
}  // namespace quorvex
