#pragma once
// Answering a proxy that asks who is calling (407): with the logged-on user's own logon
// (Negotiate, then NTLM), never with a prompt. The transport runs the handshake; this is what
// it decides and what a refusal says.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// Where a request's proxy came from: how far it is trusted with the user's logon.
enum class ProxySource {
  kManual,            // the proxy the settings name
  kConfiguredScript,  // a configuration script at the address the settings name
  kDetected,          // automatic detection (DHCP or DNS), and the script it found: anyone on
                      // the local network can answer it with a proxy of their own
};

// Who sent a 407.
enum class ProxyAnswerer {
  kProxy,          // the proxy: refusing the tunnel before it exists, or on plain http
  kThroughTunnel,  // something behind an established tunnel: the origin's side, never the proxy
};

// Who sent a response that came on a request through a proxy: over plain http always the
// proxy; over https the proxy only while the secure channel to the server is not up (its
// refusal of the CONNECT), anything after that came through the tunnel.
ProxyAnswerer WhoAnswered(bool secureRequest, bool secureChannelUp);

struct ProxyLogonCase {
  ProxyAnswerer answerer = ProxyAnswerer::kProxy;
  ProxySource source = ProxySource::kManual;
  std::uint32_t offered = 0;  // the schemes the 407 offers
  std::uint32_t usable = 0;   // those the platform can answer with the user's own logon
  std::uint32_t tried = 0;    // those already tried in this request
  // Whether the logon can be held to Kerberos: the token is made here and its mechanism seen
  // before it leaves. False where the platform answers Negotiate by itself and may fall back
  // to NTLM inside it.
  bool kerberosCheckable = false;
};

struct ProxyLogonDecision {
  std::optional<ProxyScheme> scheme;  // none: the 407 stands
  bool kerberosOnly = false;          // a Negotiate token leaves only if it is Kerberos
  std::string refusal;                // why the 407 stands, for the failure and the log
};

// Whether and how to answer a 407 with the logged-on user's logon. Only the proxy gets it,
// and only before the tunnel exists; a proxy found by automatic detection never gets NTLM
// (it could capture or relay the answer), and gets Negotiate only where it can be held to
// Kerberos. Otherwise as NextProxyLogon.
ProxyLogonDecision DecideProxyLogon(const ProxyLogonCase& c);

// Whether a Negotiate token's bytes carry Kerberos and no NTLM message: a bare Kerberos
// token, or SPNEGO whose mechanism token is Kerberos.
bool IsKerberosToken(std::string_view token);

// The schemes a proxy's 407 offers in its Proxy-Authenticate headers.
std::uint32_t ProxySchemesOffered(const std::vector<HttpHeader>& headers);

// "Negotiate, NTLM": the schemes' names in a fixed order; "none" for none.
std::string ProxySchemeNames(std::uint32_t schemes);

// Why the proxy's 407 stands, for the failure's text and the support log.
std::string DescribeProxyRefusal(std::uint32_t offered, std::uint32_t usable, std::uint32_t tried);

}  // namespace quorvex
