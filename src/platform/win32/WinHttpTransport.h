#pragma once
// The transport over WinHTTP: one synchronous exchange at a time on the calling thread.
// WinHTTP's own redirect following and cookie store are off (the client does both); the
// certificate of an https server is always validated; the proxy comes from the current
// user's settings, resolved for each request URL.

#include <windows.h>
#include <winhttp.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "download/Transport.h"
#include "platform/win32/UniqueHandle.h"

namespace quorvex::win32 {

// The current user's proxy settings, as read once per process.
struct UserProxySettings {
  bool readable = false;       // false: the settings could not be read
  bool autoDetect = false;
  std::wstring autoConfigUrl;  // empty: no configuration script
  std::wstring proxy;          // static proxy list, empty: none
  std::wstring bypass;         // its bypass list
};

// How a request URL's proxy is found, in the order the steps are tried; the first step that
// yields a proxy decides. Pure, so that the order is testable without touching the settings.
enum class ProxyStep { ConfigScript, AutoDetect, StaticProxy };
std::vector<ProxyStep> ProxyPlan(const UserProxySettings& settings);

// Reads the settings on the first call; later calls return the same values.
const UserProxySettings& CurrentUserProxySettings();

struct ProxyChoice {
  std::wstring proxy;   // empty: direct
  std::wstring bypass;
  auto operator<=>(const ProxyChoice&) const = default;
};

// The proxy the user's settings give for url; session runs the automatic steps.
ProxyChoice ResolveUserProxy(HINTERNET session, const std::wstring& url);

// "<what>: (<code>) <text>" with the system's text for a WinHTTP or Win32 error code.
std::string WinHttpErrorMessage(const char* what, DWORD code);

class WinHttpTransport : public Transport {
 public:
  WinHttpTransport();
  WinHttpTransport(const WinHttpTransport&) = delete;
  WinHttpTransport& operator=(const WinHttpTransport&) = delete;

  // Throws TransportError ("Error sending data: ..." up to the request being sent,
  // "Error receiving data: ..." while waiting for the response head). The exchange must
  // not outlive the transport.
  std::unique_ptr<HttpExchange> Send(const TransportRequest& request) override;

 private:
  // A proxy given to WinHTTP when its session is opened is honoured everywhere; one set on
  // a handle later is not, so each proxy the settings name gets a session of its own.
  HINTERNET SessionFor(const ProxyChoice& proxy);

  std::map<ProxyChoice, UniqueInternet> sessions_;
};

}  // namespace quorvex::win32
