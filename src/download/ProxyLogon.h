#pragma once
// Answering a proxy that asks who is calling (407): with the logged-on user's own logon
// (Negotiate, then NTLM), never with a prompt. The transport runs the handshake; this is what
// it decides and what a refusal says.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "download/Transport.h"

namespace quorvex {

// Authentication schemes, with WinHTTP's bit values.
enum ProxyScheme : std::uint32_t {
  kSchemeBasic = 0x01,
  kSchemeNtlm = 0x02,
  kSchemePassport = 0x04,
  kSchemeDigest = 0x08,
  kSchemeNegotiate = 0x10,
};

// The scheme to answer the next 407 with, from those the proxy offers, those the platform can
// use with the logged-on user's logon, and those already tried in this request: Negotiate
// before NTLM, each once. None: the request ends with the proxy's refusal.
std::optional<ProxyScheme> NextProxyLogon(std::uint32_t offered, std::uint32_t usable, std::uint32_t tried);

// The schemes a proxy's 407 offers in its Proxy-Authenticate headers.
std::uint32_t ProxySchemesOffered(const std::vector<HttpHeader>& headers);

// "Negotiate, NTLM": the schemes' names in a fixed order; "none" for none.
std::string ProxySchemeNames(std::uint32_t schemes);

// Why the proxy's 407 stands, for the failure's text and the support log.
std::string DescribeProxyRefusal(std::uint32_t offered, std::uint32_t usable, std::uint32_t tried);

}  // namespace quorvex
