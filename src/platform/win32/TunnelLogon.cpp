#include "platform/win32/TunnelLogon.h"

#include <optional>
#include <string>

#include "download/HeaderValue.h"
#include "platform/win32/SspiLogon.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/TunnelProbe.h"

namespace quorvex::win32 {
namespace {

constexpr int kProxyLogonRequired = 407;

// The most the probe of a proxy may take, whatever the request's own time-outs.
constexpr int kProbeDeadlineMs = 15000;

ProxyAnswerer AnswererOf(const TransportResponseHead& head) {
  return head.fromProxy ? ProxyAnswerer::kProxy : ProxyAnswerer::kThroughTunnel;
}

// WinHTTP answers the proxy itself: the request is sent again on its handle with the user's
// default credentials set for the proxy target alone.
class WinHttpOwnLogon : public TunnelLogon {
 public:
  explicit WinHttpOwnLogon(std::uint32_t usable) : usable_(usable) {}

  std::unique_ptr<HttpExchange> Send(HINTERNET session, const TransportRequest& request, const RequestTarget& target,
                                     const ProxyRoute& route) override {
    Attempt attempt = SendAttempt(session, request, target, route.route, false, {});
    std::uint32_t tried = 0;
    while (attempt.head.status == kProxyLogonRequired) {
      DWORD offered = 0, first = 0, authTarget = 0;
      if (!attempt.head.fromProxy ||
          !WinHttp().QueryAuthSchemes(attempt.handle.get(), &offered, &first, &authTarget))
        offered = ProxySchemesOffered(attempt.head.headers);
      const ProxyLogonDecision decision =
          DecideProxyLogon({AnswererOf(attempt.head), route.source, offered, usable_, tried, false});
      if (!decision.scheme) {
        attempt.head.proxyLogon = decision.refusal;
        break;
      }
      tried |= *decision.scheme;
      if (!WinHttp().SetCredentials(attempt.handle.get(), WINHTTP_AUTH_TARGET_PROXY, *decision.scheme, nullptr,
                                    nullptr, nullptr))
        FailWithLastError(DownloadFailure::kSending);
      SendAgain(attempt, target, route.route);
      attempt.head.route += ", logged on to the proxy by " + ProxySchemeNames(*decision.scheme) + " as the signed-in user";
    }
    return ExchangeOf(std::move(attempt));
  }

 private:
  std::uint32_t usable_;
};

// Wine: the request's headers after the tunnel, the proxy asked itself, a Negotiate token
// from the system's security packages in the CONNECT alone.
class ProbedTunnelLogon : public TunnelLogon {
 public:
  std::unique_ptr<HttpExchange> Send(HINTERNET session, const TransportRequest& request, const RequestTarget& target,
                                     const ProxyRoute& route) override {
    // Plain http, direct, or a host the bypass list sends direct: no tunnel to mind.
    if (!target.secure || route.route.proxy.empty() || Bypasses(Narrow(route.route.bypass), Narrow(target.host)))
      return plain_.Send(session, request, target, route);
    try {
      Attempt attempt = SendAttempt(session, request, target, route.route, true, {});
      if (attempt.head.status == kProxyLogonRequired) Refuse(attempt.head, route, 0);
      return ExchangeOf(std::move(attempt));
    } catch (const DownloadError& failure) {
      if (failure.platformCode != static_cast<DWORD>(ERROR_WINHTTP_SECURE_CHANNEL_ERROR)) throw;
      // This WinHTTP hides a proxy's refusal of the tunnel behind a failed TLS handshake: ask
      // the proxy itself what it wants.
      std::unique_ptr<HttpExchange> answered = LogOn(session, request, target, route);
      if (!answered) throw;
      return answered;
    }
  }

 private:
  static void Refuse(TransportResponseHead& head, const ProxyRoute& route, std::uint32_t tried) {
    head.proxyLogon = DecideProxyLogon({AnswererOf(head), route.source, ProxySchemesOffered(head.headers),
                                        kSchemeNegotiate, tried, true})
                          .refusal;
  }

  // The proxy's answer to a bare CONNECT, and when it asks for Negotiate and may have it, the
  // request again with the user's logon for that proxy in the CONNECT. Null when the refusal
  // was not the proxy's 407.
  static std::unique_ptr<HttpExchange> LogOn(HINTERNET session, const TransportRequest& request,
                                             const RequestTarget& target, const ProxyRoute& route) {
    const int deadline = std::min(request.connectTimeoutMs, kProbeDeadlineMs);
    std::optional<TransportResponseHead> refusal = ProbeTunnel(route.route.proxy, target.Authority(), deadline);
    if (!refusal || refusal->status != kProxyLogonRequired) return nullptr;
    refusal->route = route.route.text;
    refusal->fromProxy = true;
    const std::uint32_t offered = ProxySchemesOffered(refusal->headers);
    const ProxyLogonDecision decision =
        DecideProxyLogon({ProxyAnswerer::kProxy, route.source, offered, kSchemeNegotiate, 0, true});
    if (!decision.scheme) {
      refusal->proxyLogon = decision.refusal;
      return HeadOnlyExchange(std::move(*refusal));
    }
    // The ticket names the proxy this request goes through, and goes to it alone.
    std::string host = route.entry.host;
    if (!host.empty() && host.front() == '[') host = host.substr(1, host.size() - 2);
    std::string why;
    const std::optional<std::string> token = NegotiateToken(Widen("HTTP/" + host), why);
    if (token && decision.kerberosOnly && !IsKerberosToken(*token))
      why = "the system offered NTLM, which a proxy found by automatic detection never gets";
    if (!token || !why.empty()) {
      refusal->proxyLogon = DescribeProxyRefusal(offered, kSchemeNegotiate, 0) + " (" + why + ")";
      return HeadOnlyExchange(std::move(*refusal));
    }
    try {
      Attempt attempt =
          SendAttempt(session, request, target, route.route, true, Widen("Negotiate " + EncodeBase64(*token)));
      attempt.head.route += ", logged on to the proxy by Negotiate as the signed-in user";
      if (attempt.head.status == kProxyLogonRequired) Refuse(attempt.head, route, kSchemeNegotiate);
      return ExchangeOf(std::move(attempt));
    } catch (const DownloadError& failure) {
      if (failure.platformCode != static_cast<DWORD>(ERROR_WINHTTP_SECURE_CHANNEL_ERROR)) throw;
    }
    // Refused again, with the logon: that is the proxy's answer.
    refusal->proxyLogon = DescribeProxyRefusal(offered, kSchemeNegotiate, kSchemeNegotiate);
    return HeadOnlyExchange(std::move(*refusal));
  }

  // WinHTTP's own answer where no tunnel is involved (it logs on with a name and password only,
  // so Negotiate and NTLM are offered but come to nothing here).
  WinHttpOwnLogon plain_{kSchemeNegotiate | kSchemeNtlm};
};

// Wine's WinHTTP writes every request header into the CONNECT request that opens a tunnel
// through a proxy, so the proxy would read the service's credentials and file names; Windows
// sends none of them to the proxy.
bool PlatformSendsRequestHeadersToTheProxy() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

std::unique_ptr<TunnelLogon> PlatformTunnelLogon() {
  if (PlatformSendsRequestHeadersToTheProxy()) return std::make_unique<ProbedTunnelLogon>();
  return std::make_unique<WinHttpOwnLogon>(kSchemeNegotiate | kSchemeNtlm);
}

}  // namespace quorvex::win32
