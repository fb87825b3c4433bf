#include "download/ProxyLogon.h"

#include "download/HttpText.h"
#include "text/AsciiCase.h"

namespace quorvex {
namespace {

constexpr std::uint32_t kLogonSchemes = kSchemeNegotiate | kSchemeNtlm;

}  // namespace

std::optional<ProxyScheme> NextProxyLogon(std::uint32_t offered, std::uint32_t usable, std::uint32_t tried) {
  for (const ProxyScheme scheme : {kSchemeNegotiate, kSchemeNtlm}) {
    if ((offered & usable & scheme) && !(tried & scheme)) return scheme;
  }
  return std::nullopt;
}

ProxyAnswerer WhoAnswered(bool secureRequest, bool secureChannelUp) {
  return secureRequest && secureChannelUp ? ProxyAnswerer::kThroughTunnel : ProxyAnswerer::kProxy;
}

ProxyLogonDecision DecideProxyLogon(const ProxyLogonCase& c) {
  ProxyLogonDecision decision;
  if (c.answerer == ProxyAnswerer::kThroughTunnel) {
    decision.refusal = "the server behind the proxy answered 407 through the tunnel; the logged-on user's logon "
                       "goes only to the proxy";
    return decision;
  }
  std::uint32_t usable = c.usable;
  if (c.source == ProxySource::kDetected) {
    usable &= c.kerberosCheckable ? kSchemeNegotiate : 0u;
    decision.kerberosOnly = true;
  }
  decision.scheme = NextProxyLogon(c.offered, usable, c.tried);
  if (decision.scheme) return decision;
  if (c.source == ProxySource::kDetected && c.tried == 0 && (c.offered & c.usable & kLogonSchemes)) {
    decision.refusal = "the proxy offers " + ProxySchemeNames(c.offered) +
                       "; it was found by automatic detection, which gets " +
                       (c.kerberosCheckable ? "the logged-on user's logon by Kerberos only"
                                            : "no logon of the user on this system") +
                       " (an administrator names the proxy or its configuration script instead)";
    return decision;
  }
  decision.refusal = DescribeProxyRefusal(c.offered, usable, c.tried);
  return decision;
}

namespace {

// The object identifiers of Kerberos (the standard one and the one Windows writes) and NTLM's
// signature, as they appear in a token's bytes.
constexpr std::string_view kKerberosOid("\x06\x09\x2a\x86\x48\x86\xf7\x12\x01\x02\x02", 11);
constexpr std::string_view kMicrosoftKerberosOid("\x06\x09\x2a\x86\x48\x82\xf7\x12\x01\x02\x02", 11);
constexpr std::string_view kNtlmSignature("NTLMSSP\0", 8);

}  // namespace

bool IsKerberosToken(std::string_view token) {
  // SPNEGO may list NTLM among the mechanisms it would accept later; what counts is the
  // message that leaves now: Kerberos, and nothing of NTLM's.
  if (token.find(kNtlmSignature) != std::string_view::npos) return false;
  return token.find(kKerberosOid) != std::string_view::npos || token.find(kMicrosoftKerberosOid) != std::string_view::npos;
}

std::uint32_t ProxySchemesOffered(const std::vector<HttpHeader>& headers) {
  std::uint32_t offered = 0;
  for (const HttpHeader& header : headers) {
    if (!EqualsIgnoreCase(header.name, "Proxy-Authenticate")) continue;
    const std::string_view value = TrimAscii(header.value);
    const std::string_view scheme = value.substr(0, value.find_first_of(" \t,"));
    if (EqualsIgnoreCase(scheme, "Negotiate")) offered |= kSchemeNegotiate;
    if (EqualsIgnoreCase(scheme, "NTLM")) offered |= kSchemeNtlm;
    if (EqualsIgnoreCase(scheme, "Basic")) offered |= kSchemeBasic;
    if (EqualsIgnoreCase(scheme, "Digest")) offered |= kSchemeDigest;
    if (EqualsIgnoreCase(scheme, "Passport1.4")) offered |= kSchemePassport;
  }
  return offered;
}

std::string ProxySchemeNames(std::uint32_t schemes) {
  std::string names;
  const struct {
    ProxyScheme scheme;
    const char* name;
  } known[] = {{kSchemeNegotiate, "Negotiate"}, {kSchemeNtlm, "NTLM"}, {kSchemeDigest, "Digest"},
               {kSchemeBasic, "Basic"}, {kSchemePassport, "Passport"}};
  for (const auto& [scheme, name] : known) {
    if (schemes & scheme) names += (names.empty() ? "" : ", ") + std::string(name);
  }
  return names.empty() ? "none" : names;
}

std::string DescribeProxyRefusal(std::uint32_t offered, std::uint32_t usable, std::uint32_t tried) {
  const std::string offers = "the proxy offers " + ProxySchemeNames(offered);
  if (tried != 0) {
    return offers + "; it refused the logged-on user's logon by " + ProxySchemeNames(tried);
  }
  if (offered & kLogonSchemes & ~usable) {
    return offers + "; this system cannot log on to it by " + ProxySchemeNames(offered & kLogonSchemes & ~usable) +
           " without a user name and password";
  }
  return offers + "; it wants a user name and password, which the installer does not ask for";
}

}  // namespace quorvex
