#include "download/CookieJar.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

constexpr std::int64_t kNow = 1623233894;  // 2021-06-09 10:18:14 UTC

Url At(const char* text) { return *ParseUrl(text); }

class CookieJarTest : public ::testing::Test {
 protected:
  std::int64_t now = kNow;
  CookieJar jar{[this] { return now; }};
};

TEST_F(CookieJarTest, DomainRules) {
  const Url origin = At("https://sub.example.test/");
  jar.Store(origin, "hostonly=1");
  jar.Store(origin, "wide=2; Domain=.Example.Test");
  jar.Store(origin, "foreign=3; Domain=other.test");
  jar.Store(origin, "tld=4; Domain=test");
  jar.Store(origin, "child=5; Domain=deeper.sub.example.test");
  EXPECT_EQ(jar.Count(), 2u);
  EXPECT_EQ(jar.HeaderFor(At("https://sub.example.test/x")), "hostonly=1; wide=2");
  EXPECT_EQ(jar.HeaderFor(At("https://example.test/x")), "wide=2");
  EXPECT_EQ(jar.HeaderFor(At("https://a.sub.example.test/x")), "wide=2");
  EXPECT_EQ(jar.HeaderFor(At("https://badexample.test/x")), "");

  // An IP address host matches only itself.
  jar.Store(At("https://10.0.0.1/"), "ip=1; Domain=0.0.1");
  jar.Store(At("https://10.0.0.1/"), "ip=2");
  EXPECT_EQ(jar.HeaderFor(At("https://10.0.0.1/")), "ip=2");
}

TEST_F(CookieJarTest, PathRules) {
  const Url origin = At("https://h/admin/files/download");
  jar.Store(origin, "a=1; Path=/admin");
  jar.Store(origin, "b=2");  // default path: /admin/files
  jar.Store(origin, "c=3; Path=/");
  jar.Store(origin, "d=4; Path=relative");  // not a path: default
  struct Case { const char* url; const char* header; };
  const Case cases[] = {
      {"https://h/admin/files/x", "b=2; d=4; a=1; c=3"},
      {"https://h/admin", "a=1; c=3"},
      {"https://h/admin/", "a=1; c=3"},
      {"https://h/administrator", "c=3"},
      {"https://h", "c=3"},
  };
  for (const Case& c : cases) EXPECT_EQ(jar.HeaderFor(At(c.url)), c.header) << c.url;
}

TEST_F(CookieJarTest, SecureCookiesOnlyFromAndToHttps) {
  jar.Store(At("https://h/"), "s=1; Secure");
  jar.Store(At("http://h/"), "t=2; secure");
  EXPECT_EQ(jar.HeaderFor(At("https://h/")), "s=1");
  EXPECT_EQ(jar.HeaderFor(At("http://h/")), "");
}

TEST_F(CookieJarTest, ExpiryReplacementAndRemoval) {
  const Url origin = At("https://h/");
  jar.Store(origin, "short=1; Max-Age=60");
  jar.Store(origin, "dated=2; Expires=Wed, 09 Jun 2021 10:19:14 GMT");
  jar.Store(origin, "agewins=3; Max-Age=3600; Expires=Thu, 01 Jan 1970 00:00:01 GMT");
  jar.Store(origin, "session=4");
  EXPECT_EQ(jar.HeaderFor(origin), "short=1; dated=2; agewins=3; session=4");

  now = kNow + 60;
  EXPECT_EQ(jar.HeaderFor(origin), "agewins=3; session=4");

  jar.Store(origin, "session=5");  // replaced in place
  jar.Store(origin, "agewins=x; Max-Age=0");
  EXPECT_EQ(jar.HeaderFor(origin), "session=5");
  jar.Store(origin, "session=; Expires=Sat, 01 Jan 2000 00:00:00 GMT");
  EXPECT_EQ(jar.HeaderFor(origin), "");
  EXPECT_EQ(jar.Count(), 0u);
}

TEST_F(CookieJarTest, MalformedValuesAreIgnored) {
  const Url origin = At("https://h/");
  for (const char* bad : {"", "novalue", "=x", " ; Path=/", "  =  ; Secure"}) jar.Store(origin, bad);
  // Control characters would go back raw in the request's "Cookie" header.
  using namespace std::string_view_literals;
  for (const std::string_view bad : {"n\0ul=1"sv, "v=a\rb"sv, "v=a\nSet: x"sv, "v=1; Path=/\x01"sv, "d\x7F=1"sv}) {
    jar.Store(origin, bad);
  }
  jar.Store(origin, "ok = spaced value ; Max-Age=soon; Expires=never");
  jar.Store(origin, "tab=a\tb");
  EXPECT_EQ(jar.HeaderFor(origin), "ok=spaced value; tab=a\tb");
}

TEST(CookieDate, ParsesTheFormsServersSend) {
  struct Case { const char* text; std::optional<std::int64_t> seconds; };
  const Case cases[] = {
      {"Wed, 09 Jun 2021 10:18:14 GMT", 1623233894},
      {"Wednesday, 09-Jun-21 10:18:14 GMT", 1623233894},
      {"Wed Jun  9 10:18:14 2021", 1623233894},
      {"Tue, 29 Feb 2000 00:00:00 GMT", 951782400},
      {"31 Dec 99 23:59:59", 946684799},
      {"Tue, 29 Feb 2001 00:00:00 GMT", std::nullopt},
      {"Wed, 09 Jun 1600 10:18:14 GMT", std::nullopt},
      {"Wed, 09 Jun 2021 24:00:00 GMT", std::nullopt},
      {"Wed, 09 Jun 2021", std::nullopt},
      {"soon", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseCookieDate(c.text), c.seconds) << c.text;
}

}  // namespace
}  // namespace quorvex
