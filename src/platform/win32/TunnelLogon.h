#pragma once
// How a request gets through a proxy that asks who is calling (407): the logged-on user's
// logon, silently, for the proxy alone (see DecideProxyLogon). One strategy is chosen when the
// transport starts, by what the platform's WinHTTP can do:
//   - WinHTTP's own (Windows): the proxy's 407 comes back on the request, which is sent again
//     with the user's default credentials set for the proxy target (Negotiate, then NTLM).
//   - the probe and the system's security packages (Wine): Wine's WinHTTP writes the request's
//     headers into the CONNECT, hides the proxy's 407 behind a failed TLS handshake and logs on
//     to a proxy only with a name and password. So the request's headers are attached once the
//     tunnel is up, the proxy is asked itself with a bare CONNECT (TunnelProbe.h), and a
//     Negotiate token for that proxy goes into the CONNECT alone. NTLM cannot work that way
//     (its three messages need one connection).

#include <memory>

#include "download/ProxyList.h"
#include "download/ProxyLogon.h"
#include "download/Transport.h"
#include "platform/win32/WinHttpExchange.h"

namespace quorvex::win32 {

// A route through one proxy, or direct, with what the logon depends on.
struct ProxyRoute {
  Route route;
  ProxyEntry entry;  // the proxy; no host when direct
  ProxySource source = ProxySource::kManual;
};

class TunnelLogon {
 public:
  virtual ~TunnelLogon() = default;
  // The request sent along the route on its session, with the proxy's logon where the proxy
  // asks for it and may have it. A 407 that stands comes back as the answer, with why in
  // proxyLogon. Throws DownloadError as SendAttempt does.
  virtual std::unique_ptr<HttpExchange> Send(HINTERNET session, const TransportRequest& request,
                                             const RequestTarget& target, const ProxyRoute& route) = 0;
};

// The strategy for this platform's WinHTTP.
std::unique_ptr<TunnelLogon> PlatformTunnelLogon();

}  // namespace quorvex::win32
