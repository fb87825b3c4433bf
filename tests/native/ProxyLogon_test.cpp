#include "download/ProxyLogon.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quorvex {
namespace {

using ::testing::HasSubstr;

constexpr std::uint32_t kEveryLogon = kSchemeNegotiate | kSchemeNtlm;

// What a proxy's 407 gets answered with: Negotiate before NTLM, each once, only what the
// platform can do with the signed-in user's logon, never Basic or Digest.
TEST(ProxyLogon, NegotiateFirstThenNtlmEachOnce) {
  const struct {
    std::uint32_t offered, usable, tried;
    std::optional<ProxyScheme> next;
  } cases[] = {
      {kSchemeNegotiate | kSchemeNtlm, kEveryLogon, 0, kSchemeNegotiate},
      {kSchemeNegotiate | kSchemeNtlm, kEveryLogon, kSchemeNegotiate, kSchemeNtlm},
      {kSchemeNegotiate | kSchemeNtlm, kEveryLogon, kEveryLogon, std::nullopt},
      {kSchemeNtlm | kSchemeBasic, kEveryLogon, 0, kSchemeNtlm},
      {kSchemeNegotiate, kEveryLogon, kSchemeNegotiate, std::nullopt},  // a second 407 is the answer
      {kSchemeBasic | kSchemeDigest, kEveryLogon, 0, std::nullopt},
      {kSchemeNtlm, kSchemeNegotiate, 0, std::nullopt},  // a platform that can only send Negotiate
      {0, kEveryLogon, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NextProxyLogon(c.offered, c.usable, c.tried), c.next)
        << ProxySchemeNames(c.offered) << " / tried " << ProxySchemeNames(c.tried);
  }
}

TEST(ProxyLogon, TheRefusalSaysWhatTheProxyOfferedAndWhatWasTried) {
  EXPECT_EQ(DescribeProxyRefusal(kSchemeBasic, kEveryLogon, 0),
            "the proxy offers Basic; it wants a user name and password, which the installer does not ask for");
  EXPECT_EQ(DescribeProxyRefusal(kSchemeNegotiate | kSchemeNtlm, kEveryLogon, kEveryLogon),
            "the proxy offers Negotiate, NTLM; it refused the logged-on user's logon by Negotiate, NTLM");
  EXPECT_THAT(DescribeProxyRefusal(kSchemeNtlm | kSchemeDigest, kSchemeNegotiate, 0),
              HasSubstr("cannot log on to it by NTLM without a user name and password"));
  EXPECT_EQ(ProxySchemeNames(0), "none");
}

TEST(ProxyLogon, OfferedSchemesAreReadFromEveryChallenge) {
  const std::vector<HttpHeader> headers = {
      {"Proxy-Authenticate", "Negotiate"},
      {"proxy-authenticate", " NTLM"},
      {"Proxy-Authenticate", "Basic realm=\"corp\""},
      {"Proxy-Authenticate", "Digest realm=\"corp\", nonce=\"1\""},
      {"WWW-Authenticate", "Negotiate"},          // the server's, not the proxy's
      {"Proxy-Authenticate", "NegotiateLater"},  // not a scheme we know
  };
  EXPECT_EQ(ProxySchemesOffered(headers), kSchemeNegotiate | kSchemeNtlm | kSchemeBasic | kSchemeDigest);
  EXPECT_EQ(ProxySchemesOffered({{"Proxy-Authenticate", "Negotiate oYH1MIHy"}}), kSchemeNegotiate);
}

}  // namespace
}  // namespace quorvex
