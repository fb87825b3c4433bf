#pragma once
// The transport over WinHTTP: one synchronous exchange at a time on the calling thread. It
// moves bytes and reports platform errors; what the status, headers and lengths mean is the
// client's business. WinHTTP's own redirect following and cookie store are off (the client
// does both); the certificate of an https server is always validated, over TLS 1.2 or later;
// the proxy comes from the current user's settings, resolved for each request URL.

#include <windows.h>
#include <winhttp.h>

#include <map>
#include <memory>
#include <string>

#include "download/Transport.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WinHttpLibrary.h"
#include "platform/win32/WinHttpProxy.h"

namespace quorvex::win32 {

struct WinHttpHandleTraits {
  using Pointer = HINTERNET;
  static Pointer Invalid() noexcept { return nullptr; }
  // A handle exists only once the library has loaded.
  static void Close(Pointer h) noexcept { WinHttp().CloseHandle(h); }
};
using UniqueInternet = UniqueHandle<WinHttpHandleTraits>;

class WinHttpTransport : public Transport {
 public:
  WinHttpTransport();
  WinHttpTransport(const WinHttpTransport&) = delete;
  WinHttpTransport& operator=(const WinHttpTransport&) = delete;

  // Throws DownloadError (kSending up to the request being sent, kReceiving while waiting
  // for the response head, with WinHTTP's code; see WinHttpFailure). A proxy's refusal of
  // the tunnel comes back as that proxy's response head (e.g. 407) with no body. The
  // exchange must not outlive the transport.
  std::unique_ptr<HttpExchange> Send(const TransportRequest& request) override;

 private:
  struct Attempt;
  // The request through one proxy (or direct), with the proxy's logon where it asks for one.
  std::unique_ptr<HttpExchange> SendVia(const TransportRequest& request, const URL_COMPONENTS& parts,
                                        const std::wstring& host, const std::wstring& object, const ProxyChoice& proxy);
  // One request handle for the request, sent, with its head; proxyLogon, when given, is the
  // Proxy-Authorization value that goes into the tunnel's CONNECT.
  Attempt Open(const TransportRequest& request, INTERNET_PORT port, const std::wstring& host,
               const std::wstring& object, const ProxyChoice& proxy, bool secure, bool lateHeaders,
               const std::wstring& proxyLogon);
  void SendAndReceive(Attempt& attempt, const ProxyChoice& proxy, bool secure);
  // Where WinHTTP hid a proxy's refusal of the tunnel: the proxy's own answer, and when it asks
  // for Negotiate, the request again with the user's logon in the CONNECT. Null when the
  // refusal was not the proxy's 407.
  std::unique_ptr<HttpExchange> LogOnThroughTunnel(const TransportRequest& request, INTERNET_PORT port,
                                                   const std::wstring& host, const std::wstring& object,
                                                   const ProxyChoice& proxy);
  // A proxy given to WinHTTP when its session is opened is honoured everywhere; one set on
  // a handle later is not, so each proxy the settings name gets a session of its own.
  HINTERNET SessionFor(const ProxyChoice& proxy);

  std::map<ProxyChoice, UniqueInternet> sessions_;
};

}  // namespace quorvex::win32
