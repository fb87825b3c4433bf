#pragma once
// The transport over WinHTTP: one synchronous exchange at a time on the calling thread. It
// moves bytes and reports platform errors; what the status, headers and lengths mean is the
// client's business. WinHTTP's own redirect following and cookie store are off (the client
// does both); the certificate of an https server is always validated, over TLS 1.2 or later;
// the proxy comes from the current user's settings, resolved for each request URL. Its parts:
// the settings (WinHttpProxy.h) read as a list (ProxyList.h), the sessions and their options
// (WinHttpSession.h), the exchange (WinHttpExchange.h), and the proxy's logon (TunnelLogon.h).

#include <windows.h>
#include <winhttp.h>

#include <memory>

#include "download/Transport.h"
#include "platform/win32/TunnelLogon.h"
#include "platform/win32/WinHttpSession.h"

namespace quorvex::win32 {

class WinHttpTransport : public Transport {
 public:
  WinHttpTransport();
  WinHttpTransport(const WinHttpTransport&) = delete;
  WinHttpTransport& operator=(const WinHttpTransport&) = delete;

  // Throws DownloadError (kSending up to the request being sent, kReceiving while waiting
  // for the response head, with WinHTTP's code; see WinHttpFailure). A proxy's refusal of
  // the tunnel comes back as that proxy's response head (e.g. 407) with no body. A list of
  // proxies is tried in its order: one that does not answer hands the request to the next.
  // The exchange must not outlive the transport.
  std::unique_ptr<HttpExchange> Send(const TransportRequest& request) override;

 private:
  WinHttpSessions sessions_;
  std::unique_ptr<TunnelLogon> logon_;
};

}  // namespace quorvex::win32
