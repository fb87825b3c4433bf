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

// Who gets the signed-in user's logon: the proxy alone, before the tunnel exists; a proxy found
// by automatic detection never NTLM, and Negotiate only where the token is seen to be Kerberos.
TEST(ProxyLogon, TheLogonGoesOnlyToAProxyThatMayHaveIt) {
  using enum ProxySource;
  constexpr ProxyAnswerer kProxy = ProxyAnswerer::kProxy;
  constexpr ProxyAnswerer kTunnel = ProxyAnswerer::kThroughTunnel;
  constexpr std::uint32_t kBoth = kSchemeNegotiate | kSchemeNtlm;
  const struct {
    ProxyLogonCase c;
    std::optional<ProxyScheme> next;
    bool kerberosOnly;
    const char* refusal;  // a part of it; null when a scheme is chosen
  } cases[] = {
      // WinHTTP answering by itself (Windows): Negotiate, then NTLM, to a proxy the settings name.
      {{kProxy, kManual, kBoth, kEveryLogon, 0, false}, kSchemeNegotiate, false, nullptr},
      {{kProxy, kConfiguredScript, kBoth, kEveryLogon, kSchemeNegotiate, false}, kSchemeNtlm, false, nullptr},
      // Anything behind the tunnel (a redirect's origin) gets nothing, whatever it offers.
      {{kTunnel, kManual, kBoth, kEveryLogon, 0, false}, std::nullopt, false, "through the tunnel"},
      {{kTunnel, kManual, kSchemeNegotiate, kSchemeNegotiate, 0, true}, std::nullopt, false, "through the tunnel"},
      // A detected proxy: never NTLM; Negotiate only where it can be held to Kerberos.
      {{kProxy, kDetected, kBoth, kEveryLogon, 0, false}, std::nullopt, true, "found by automatic detection"},
      {{kProxy, kDetected, kSchemeNtlm, kEveryLogon, 0, true}, std::nullopt, true, "found by automatic detection"},
      {{kProxy, kDetected, kBoth, kSchemeNegotiate, 0, true}, kSchemeNegotiate, true, nullptr},
      {{kProxy, kDetected, kSchemeNegotiate, kSchemeNegotiate, kSchemeNegotiate, true}, std::nullopt, true, "refused"},
      // The probe and the system's security packages (Wine): Negotiate alone, for any source.
      {{kProxy, kManual, kBoth, kSchemeNegotiate, 0, true}, kSchemeNegotiate, false, nullptr},
      {{kProxy, kManual, kSchemeNtlm, kSchemeNegotiate, 0, true}, std::nullopt, false, "cannot log on to it by NTLM"},
      {{kProxy, kManual, kSchemeBasic, kEveryLogon, 0, false}, std::nullopt, false, "wants a user name and password"},
  };
  // Who answered: over plain http the proxy; over https the proxy until the secure channel
  // to the server is up, and from then on the server behind the tunnel.
  EXPECT_EQ(WhoAnswered(false, false), kProxy);
  EXPECT_EQ(WhoAnswered(true, false), kProxy);
  EXPECT_EQ(WhoAnswered(true, true), kTunnel);
  for (const auto& expected : cases) {
    const ProxyLogonDecision decision = DecideProxyLogon(expected.c);
    const std::string what = ProxySchemeNames(expected.c.offered) + " from " +
                             (expected.c.answerer == kProxy ? "the proxy" : "behind the tunnel") + ", source " +
                             std::to_string(static_cast<int>(expected.c.source));
    EXPECT_EQ(decision.scheme, expected.next) << what;
    EXPECT_EQ(decision.kerberosOnly, expected.kerberosOnly) << what;
    if (expected.refusal) {
      EXPECT_THAT(decision.refusal, HasSubstr(expected.refusal)) << what;
    } else {
      EXPECT_EQ(decision.refusal, "") << what;
    }
  }
}

TEST(ProxyLogon, OnlyAKerberosTokenGoesToADetectedProxy) {
  const std::string kerberosOid("\x06\x09\x2a\x86\x48\x86\xf7\x12\x01\x02\x02", 11);
  const std::string microsoftOid("\x06\x09\x2a\x86\x48\x82\xf7\x12\x01\x02\x02", 11);
  const std::string ntlm("NTLMSSP\0\x01\0\0\0", 12);
  const std::pair<std::string, bool> cases[] = {
      {"\x60\x82\x02\x10" + kerberosOid + "\x01\x00ticket", true},             // a bare Kerberos token
      {"\x60\x30\x06\x06\x2b\x06\x01\x05\x05\x02\xa0" + microsoftOid + kerberosOid + "\x6e", true},  // SPNEGO
      {ntlm, false},                                                          // a bare NTLM message
      {"\x60\x40\x06\x06\x2b\x06\x01\x05\x05\x02\xa0" + kerberosOid + ntlm, false},  // SPNEGO carrying NTLM
      {"", false},
  };
  for (const auto& [token, kerberos] : cases) EXPECT_EQ(IsKerberosToken(token), kerberos) << token.size();
}

}  // namespace
}  // namespace quorvex
