#include "download/Url.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

TEST(RestUrl, ParsesAbsoluteUrlsAndRejectsTheRest) {
  struct Case { const char* text; const char* asSent; int effectivePort; };
  const Case cases[] = {
      {"https://Files.Example.Test:8443/admin/files/download", "https://files.example.test:8443/admin/files/download", 8443},
      {"HTTPS://h:443/a?b=c#frag", "https://h/a?b=c", 443},
      {"http://h:80", "http://h", 80},
      {"http://user:pw@h:81/x", "http://user:pw@h:81/x", 81},
      {"https://[::1]:8443/p", "https://[::1]:8443/p", 8443},
      {"https://h:/p", "https://h/p", 443},
      {"https://h/a b/\xC3\xA9?q=<\"x\">%41", "https://h/a%20b/%C3%A9?q=%3C%22x%22%3E%41", 443},
      // A redirect's user part reaches the transport and messages with no raw control character.
      {"https://u\r\n \x01:p@h/", "https://u%0D%0A%20%01:p@h/", 443},
  };
  for (const Case& c : cases) {
    const std::optional<Url> url = ParseUrl(c.text);
    ASSERT_TRUE(url) << c.text;
    EXPECT_EQ(url->ToString(), c.asSent);
    EXPECT_EQ(url->EffectivePort(), c.effectivePort) << c.text;
  }
  for (const char* bad : {"", "files.example.test/admin", "https:/h/p", "https://:8443/p", "https://h:65536/p",
                          "https://h:8x/p", "https://[::1/p", "1http://h/",
                          // Hosts the transport might read differently from the origin check.
                          "https://good\\evil/p", "https://a\\b@good/p", "https://h%2e/p", "https://[h]/p"}) {
    EXPECT_FALSE(ParseUrl(bad)) << bad;
  }
}

TEST(RestUrl, ResolvesReferencesAgainstTheCurrentUrl) {
  const Url base = *ParseUrl("http://a/b/c/d;p?q");
  struct Case { const char* reference; const char* resolved; };
  const Case cases[] = {
      {"g", "http://a/b/c/g"},           {"./g", "http://a/b/c/g"},       {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},              {"//g", "http://g"},             {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},       {"#s", "http://a/b/c/d;p?q"},    {"", "http://a/b/c/d;p?q"},
      {"..", "http://a/b/"},             {"../g", "http://a/b/g"},        {"../../../g", "http://a/g"},
      {"/./g/../h", "http://a/h"},       {"g;x=1/../y", "http://a/b/c/y"}, {"https://x:8443/y/./z", "https://x:8443/y/z"},
      {"  /padded  ", "http://a/padded"},
  };
  for (const Case& c : cases) {
    const std::optional<Url> url = ResolveUrl(base, c.reference);
    ASSERT_TRUE(url) << c.reference;
    EXPECT_EQ(url->ToString(), c.resolved) << c.reference;
  }
  EXPECT_FALSE(ResolveUrl(base, "https://:1/x"));
}

TEST(RestUrl, EndpointTextIsTrimmedGivenASchemeAndLosesOneTrailingSlash) {
  struct Case { const char* text; const char* normalized; };
  const Case cases[] = {
      {"  https://h/admin/files/download \t", "https://h/admin/files/download"},
      {"h:8443/admin/files/download", "http://h:8443/admin/files/download"},
      {"https://h/admin/files/download/", "https://h/admin/files/download"},
      {"https://h/admin/files/download//", "https://h/admin/files/download/"},
  };
  for (const Case& c : cases) EXPECT_EQ(NormalizeEndpointText(c.text), c.normalized) << c.text;
}

TEST(RestUrl, OriginIsSchemeHostAndEffectivePort) {
  const Url service = *ParseUrl("https://h:443/admin");
  EXPECT_TRUE(SameOrigin(service, *ParseUrl("https://H/other")));
  EXPECT_FALSE(SameOrigin(service, *ParseUrl("http://h:443/admin")));
  EXPECT_FALSE(SameOrigin(service, *ParseUrl("https://h:8443/admin")));
  EXPECT_FALSE(SameOrigin(service, *ParseUrl("https://h.evil/admin")));
}

}  // namespace
}  // namespace quorvex
