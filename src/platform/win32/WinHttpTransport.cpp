#include "platform/win32/WinHttpTransport.h"

#include <string>
#include <vector>

#include "download/ProxyList.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/WinHttpProxy.h"
#include "text/InertText.h"

namespace quorvex::win32 {
namespace {

// A proxy that cannot be reached, as opposed to one that answered.
bool ProxyDidNotAnswer(std::uint32_t code) {
  return code == ERROR_WINHTTP_CANNOT_CONNECT || code == ERROR_WINHTTP_NAME_NOT_RESOLVED ||
         code == ERROR_WINHTTP_TIMEOUT || code == ERROR_WINHTTP_CONNECTION_ERROR;
}

RequestTarget Crack(const std::string& url) {
  const std::wstring wide = Widen(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttp().CrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts))
    FailWithLastError(DownloadFailure::kSending);
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
    Fail(DownloadFailure::kSending, ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
  RequestTarget target;
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.port = parts.nPort;
  target.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  target.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (target.object.empty()) target.object = L"/";
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return target;
}

// The ways out the settings give for this request, in the order to try them, each with what
// the log says of it: "direct", or "proxy HOST:PORT", and which setting gave it. The platform
// applies the bypass list itself: the log says the list, not a guess.
std::vector<ProxyRoute> RoutesFor(const ProxyChoice& choice, bool secure) {
  const std::string source = Narrow(choice.source);
  const ProxyList list = ParseProxyList(Narrow(choice.proxy));
  std::vector<ProxyRoute> routes;
  for (const ProxyEntry& entry : ProxiesFor(list, secure ? "https" : "http")) {
    ProxyRoute route;
    route.source = choice.trust;
    if (entry.direct) {
      route.route.text = "direct" + (source.empty() ? std::string() : " (" + source + ")");
    } else {
      route.entry = entry;
      route.route.proxy = Widen(entry.Address());
      route.route.bypass = choice.bypass;
      std::string given = source;
      if (!choice.bypass.empty())
        given += (given.empty() ? "" : ", ") + std::string("bypass list ") + InertServerText(Narrow(choice.bypass));
      route.route.text = "proxy " + entry.Address() + (given.empty() ? std::string() : " (" + given + ")");
    }
    routes.push_back(std::move(route));
  }
  if (routes.empty()) {
    // No setting, or one without an entry for this scheme ("http=a:8080" for an https request).
    ProxyRoute direct;
    std::string given = source;
    if (!list.shown.empty()) given += ", no proxy for " + std::string(secure ? "https" : "http") + " in " + list.shown;
    direct.route.text = "direct" + (given.empty() ? std::string() : " (" + given + ")");
    routes.push_back(std::move(direct));
  }
  return routes;
}

}  // namespace

WinHttpTransport::WinHttpTransport() : logon_(PlatformTunnelLogon()) { sessions_.For({}, {}); }

std::unique_ptr<HttpExchange> WinHttpTransport::Send(const TransportRequest& request) {
  const RequestTarget target = Crack(request.url);
  const ProxyChoice chosen = ResolveUserProxy(sessions_.For({}, {}), Widen(request.url));
  const std::vector<ProxyRoute> routes = RoutesFor(chosen, target.secure);
  std::string skipped;
  for (std::size_t i = 0;; ++i) {
    const ProxyRoute& route = routes[i];
    try {
      std::unique_ptr<HttpExchange> exchange =
          logon_->Send(sessions_.For(route.route.proxy, route.route.bypass), request, target, route);
      if (!skipped.empty()) AddToRoute(*exchange, ", after " + skipped + " did not answer");
      return exchange;
    } catch (DownloadError& failure) {
      if (i + 1 >= routes.size() || !failure.platformCode || !ProxyDidNotAnswer(*failure.platformCode)) {
        // Which way failed is what support needs first.
        if (failure.route.empty())
          failure.route = route.route.text + (skipped.empty() ? "" : ", after " + skipped + " did not answer");
        throw;
      }
      skipped += (skipped.empty() ? "" : ", ") + route.entry.Address();
    }
  }
}

}  // namespace quorvex::win32
