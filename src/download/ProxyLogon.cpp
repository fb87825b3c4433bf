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
