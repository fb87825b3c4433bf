#include "platform/win32/WinHttpTransport.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "download/ProxyLogon.h"
#include "download/ResponseHead.h"
#include "platform/win32/SspiLogon.h"
#include "platform/win32/SystemLibrary.h"
#include "platform/win32/SystemCallback.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/TunnelProbe.h"
#include "platform/win32/WinHttpLibrary.h"

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

namespace quorvex::win32 {
namespace {

// Body blocks are read as they arrive, but never more than this in one call, so a huge
// announced length cannot make one read allocate it all at once.
constexpr DWORD kMaxBlock = static_cast<DWORD>(kMaxBodyBlock);

constexpr DownloadFailure kSending = DownloadFailure::kSending;
constexpr DownloadFailure kReceiving = DownloadFailure::kReceiving;
constexpr DownloadFailure kReading = DownloadFailure::kReading;

[[noreturn]] void Fail(DownloadFailure kind, DWORD code) { throw WinHttpFailure(kind, code); }
[[noreturn]] void FailWithLastError(DownloadFailure kind) { Fail(kind, ::GetLastError()); }

void SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
  if (!WinHttp().SetOption(handle, option, &value, sizeof value)) FailWithLastError(kSending);
}

// TLS 1.2 and 1.3; a WinHTTP that does not know 1.3 refuses the pair, and gets 1.2 alone.
void RequireModernTls(HINTERNET session) {
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (WinHttp().SetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) return;
  if (::GetLastError() != ERROR_INVALID_PARAMETER) FailWithLastError(kSending);
  SetDwordOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2);
}

std::wstring QueryHeaderText(HINTERNET request, DWORD info) {
  DWORD bytes = 0;
  WinHttp().QueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &bytes, WINHTTP_NO_HEADER_INDEX);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return {};
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttp().QueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes,
                              WINHTTP_NO_HEADER_INDEX))
    return {};
  text.resize(bytes / sizeof(wchar_t));
  return text;
}

constexpr int kProxyLogonRequired = 407;

// The entries of a WinHTTP proxy list ("a:8080;b:3128", "a:8080 b:80"); one entry for a list
// with per-scheme parts ("http=a:8080;https=b:3128"), which WinHTTP reads itself.
std::vector<std::wstring> SplitProxyList(const std::wstring& list) {
  std::vector<std::wstring> entries;
  if (list.find(L'=') != std::wstring::npos) return {list};
  std::size_t at = 0;
  while (at < list.size()) {
    const std::size_t end = std::min(list.find_first_of(L"; ", at), list.size());
    if (end > at) entries.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  if (entries.empty()) entries.push_back(list);
  return entries;
}

// A proxy that cannot be reached, as opposed to one that answered.
bool ProxyDidNotAnswer(std::uint32_t code) {
  return code == ERROR_WINHTTP_CANNOT_CONNECT || code == ERROR_WINHTTP_NAME_NOT_RESOLVED ||
         code == ERROR_WINHTTP_TIMEOUT || code == ERROR_WINHTTP_CONNECTION_ERROR;
}

// The first proxy a WinHTTP proxy list names, as "host:port" ("http=a:8080;https=b:3128",
// "a:8080 b:80", "http://a:8080").
std::wstring FirstProxy(const std::wstring& list) {
  std::wstring first = list.substr(0, list.find_first_of(L"; "));
  if (const std::size_t equals = first.find(L'='); equals != std::wstring::npos) first.erase(0, equals + 1);
  if (const std::size_t scheme = first.find(L"://"); scheme != std::wstring::npos) first.erase(0, scheme + 3);
  if (first.find(L':') == std::wstring::npos || first.back() == L']') first += L":80";
  return first;
}

// The host of the first proxy a WinHTTP proxy list names ("http=a:8080;https=b:3128", "a:8080 b:80").
std::wstring ProxyHost(const std::wstring& list) {
  std::wstring first = list.substr(0, list.find_first_of(L"; "));
  if (const std::size_t equals = first.find(L'='); equals != std::wstring::npos) first.erase(0, equals + 1);
  if (const std::size_t scheme = first.find(L"://"); scheme != std::wstring::npos) first.erase(0, scheme + 3);
  if (!first.empty() && first.front() == L'[') return first.substr(1, first.find(L']') - 1);
  return first.substr(0, first.rfind(L':') == std::wstring::npos ? first.size() : first.rfind(L':'));
}

// "direct" or "proxy HOST:PORT", and which setting gave it. A proxy written with a user
// name keeps only its host.
std::string RouteText(const ProxyChoice& proxy) {
  std::string route = "direct";
  if (!proxy.proxy.empty()) {
    std::string list = Narrow(proxy.proxy);
    for (std::size_t at = list.find('@'); at != std::string::npos; at = list.find('@')) {
      const std::size_t start = list.find_last_of(" ;=/", at);
      list.erase(start == std::string::npos ? 0 : start + 1, at - (start == std::string::npos ? 0 : start + 1) + 1);
    }
    route = "proxy " + list;
  }
  std::string given = Narrow(proxy.source);
  // The platform applies the bypass list itself: the log says the list, not a guess.
  if (!proxy.proxy.empty() && !proxy.bypass.empty())
    given += std::string(given.empty() ? "" : ", ") + "bypass list " + Narrow(proxy.bypass);
  if (!given.empty()) route += " (" + given + ")";
  return route;
}

// The secure channel's protocol, where the platform tells it (WINHTTP_OPTION_SECURITY_INFO,
// newer than the headers here; it begins with the connection's SecPkgContext_ConnectionInfo).
std::string SecureProtocolOf(HINTERNET request) {
  constexpr DWORD kSecurityInfoOption = 151;
  alignas(8) std::uint8_t info[512] = {};
  DWORD size = sizeof info;
  if (!WinHttp().QueryOption(request, kSecurityInfoOption, info, &size) || size < sizeof(DWORD)) return {};
  DWORD protocol = 0;
  std::copy_n(info, sizeof protocol, reinterpret_cast<std::uint8_t*>(&protocol));
  if (protocol & 0x3000) return "TLS 1.3";
  if (protocol & 0x0C00) return "TLS 1.2";
  if (protocol & 0x0300) return "TLS 1.1";
  if (protocol & 0x00C0) return "TLS 1.0";
  return {};
}

// Whether the secure channel to the server is up on this request: then whatever answered came
// through the tunnel, not from the proxy.
bool SecureChannelEstablished(HINTERNET request) {
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = sizeof certificate;
  if (!WinHttp().QueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) || !certificate)
    return false;
  static const auto release = [] {
    decltype(&::CertFreeCertificateContext) free = nullptr;
    SystemFunctions(L"crypt32.dll").Resolve(free, "CertFreeCertificateContext");
    return free;
  }();
  if (release) release(certificate);
  return true;
}

std::optional<TransportResponseHead> ReadHead(HINTERNET request) {
  return ParseResponseHead(Narrow(QueryHeaderText(request, WINHTTP_QUERY_RAW_HEADERS_CRLF)));
}

// Wine's WinHTTP writes every request header into the CONNECT request that opens a tunnel
// through a proxy, so the proxy would read the service's credentials and file names. There,
// the headers of a proxied request are attached once the tunnel is up; Windows sends none
// of them to the proxy and gets them the ordinary way.
bool PlatformSendsRequestHeadersToTheProxy() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct LateHeaders {
  const std::vector<std::wstring>* lines = nullptr;
  bool proxyLogon = false;  // a Proxy-Authorization for the CONNECT, to go before the request
  bool attached = false;
  DWORD error = 0;
};

void AttachLateHeaders(HINTERNET handle, DWORD_PTR context, DWORD status, void*, DWORD) {
  auto* late = reinterpret_cast<LateHeaders*>(context);
  if (status != WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER || !late || late->attached) return;
  late->attached = true;
  // The proxy's logon opened the tunnel; the server behind it never sees it.
  static constexpr wchar_t kRemoveProxyLogon[] = L"Proxy-Authorization:";
  if (late->proxyLogon && !WinHttp().AddRequestHeaders(handle, kRemoveProxyLogon, static_cast<DWORD>(-1),
                                                       WINHTTP_ADDREQ_FLAG_REPLACE)) {
    late->error = ::GetLastError();
    return;
  }
  for (const std::wstring& line : *late->lines) {
    if (!WinHttp().AddRequestHeaders(handle, line.c_str(), static_cast<DWORD>(line.size()), WINHTTP_ADDREQ_FLAG_ADD)) {
      late->error = ::GetLastError();
      return;
    }
  }
}

// The exchanges of this transport: their route can still be told more once they exist.
class RoutedExchange : public HttpExchange {
 public:
  explicit RoutedExchange(TransportResponseHead head) : head_(std::move(head)) {}
  const TransportResponseHead& Head() const override { return head_; }
  void AddToRoute(const std::string& text) { head_.route += text; }

 private:
  TransportResponseHead head_;
};

// A proxy's answer that has no body for us: its head alone.
class HeadOnlyExchange : public RoutedExchange {
 public:
  using RoutedExchange::RoutedExchange;
  std::size_t ReadBlock(std::vector<std::uint8_t>&) override { return 0; }
};

void AddToRoute(HttpExchange& exchange, const std::string& text) {
  if (auto* routed = dynamic_cast<RoutedExchange*>(&exchange)) routed->AddToRoute(text);
}

class WinHttpExchange : public RoutedExchange {
 public:
  // withBody false: the head is all there is (a proxy's refusal of the tunnel).
  WinHttpExchange(UniqueInternet connection, UniqueInternet request, TransportResponseHead head, bool withBody)
      : RoutedExchange(std::move(head)), connection_(std::move(connection)), request_(std::move(request)),
        finished_(!withBody) {}

  std::size_t ReadBlock(std::vector<std::uint8_t>& body) override {
    if (finished_) return 0;
    DWORD available = 0;
    if (!WinHttp().QueryDataAvailable(request_.get(), &available)) FailWithLastError(kReceiving);
    if (available == 0) return Finish();
    const DWORD want = std::min(available, kMaxBlock);
    const std::size_t start = body.size();
    body.resize(start + want);  // the block lands straight in the caller's buffer
    DWORD read = 0;
    if (!WinHttp().ReadData(request_.get(), body.data() + start, want, &read)) {
      const DWORD error = ::GetLastError();
      body.resize(start);
      Fail(kReading, error);
    }
    body.resize(start + read);
    if (read == 0) return Finish();
    return read;
  }

 private:
  std::size_t Finish() {
    finished_ = true;
    return 0;
  }

  UniqueInternet connection_;  // released after the request
  UniqueInternet request_;
  bool finished_ = false;
};

}  // namespace

// One request handle and what it needs while it is sent: the header lines and the late-header
// state live apart so that the status callback's pointer stays valid when the attempt moves.
struct WinHttpTransport::Attempt {
  UniqueInternet connection;
  UniqueInternet handle;
  std::unique_ptr<std::vector<std::wstring>> lines;
  std::unique_ptr<LateHeaders> late;
  TransportResponseHead head;
  bool withBody = true;
};

WinHttpTransport::WinHttpTransport() { SessionFor({}); }

HINTERNET WinHttpTransport::SessionFor(const ProxyChoice& proxy) {
  UniqueInternet& session = sessions_[proxy];
  if (session) return session.get();
  const WinHttpFunctions& api = WinHttp();
  // No agent name here: the client sends its own User-Agent header.
  if (proxy.proxy.empty()) {
    session.reset(api.Open(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  } else {
    session.reset(api.Open(nullptr, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.proxy.c_str(),
                           proxy.bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : proxy.bypass.c_str(), 0));
  }
  if (!session) {
    const DWORD error = ::GetLastError();
    sessions_.erase(proxy);
    Fail(kSending, error);
  }
  try {
    SetDwordOption(session.get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER);
    RequireModernTls(session.get());
  } catch (...) {
    sessions_.erase(proxy);
    throw;
  }
  return session.get();
}

std::unique_ptr<HttpExchange> WinHttpTransport::Send(const TransportRequest& request) {
  const WinHttpFunctions& api = WinHttp();
  const std::wstring url = Widen(request.url);

  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!api.CrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) FailWithLastError(kSending);
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
    Fail(kSending, ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
  object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (object.empty()) object = L"/";

  const ProxyChoice chosen = ResolveUserProxy(SessionFor({}), url);
  // A list of proxies (a configuration script's answer) is tried in its order: a proxy that
  // does not answer hands the request to the next.
  const std::vector<std::wstring> entries = SplitProxyList(chosen.proxy);
  std::wstring skipped;
  for (std::size_t i = 0;; ++i) {
    ProxyChoice proxy = chosen;
    if (entries.size() > 1) proxy.proxy = entries[i];
    // A script's "DIRECT", where the platform passes it on, is the way without a proxy.
    if (_wcsicmp(proxy.proxy.c_str(), L"DIRECT") == 0) proxy = {L"", L"", chosen.source};
    try {
      std::unique_ptr<HttpExchange> exchange = SendVia(request, parts, host, object, proxy);
      if (!skipped.empty()) AddToRoute(*exchange, ", after " + Narrow(skipped) + " did not answer");
      return exchange;
    } catch (DownloadError& failure) {
      if (i + 1 >= entries.size() || !failure.platformCode || !ProxyDidNotAnswer(*failure.platformCode)) {
        // Which way failed is what support needs first.
        if (failure.route.empty()) {
          failure.route = RouteText(proxy) + (skipped.empty() ? "" : ", after " + Narrow(skipped) + " did not answer");
        }
        throw;
      }
      skipped += (skipped.empty() ? L"" : L", ") + entries[i];
    }
  }
}

std::unique_ptr<HttpExchange> WinHttpTransport::SendVia(const TransportRequest& request, const URL_COMPONENTS& parts,
                                                        const std::wstring& host, const std::wstring& object,
                                                        const ProxyChoice& proxy) {
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  // Where WinHTTP opens tunnels itself with the request's headers (see
  // PlatformSendsRequestHeadersToTheProxy), it also cannot log on to a proxy: the logon token
  // is made here and travels in the CONNECT.
  const bool lateHeaders = secure && !proxy.proxy.empty() && PlatformSendsRequestHeadersToTheProxy();
  if (lateHeaders) {
    try {
      Attempt attempt = Open(request, parts.nPort, host, object, proxy, secure, true, {});
      return std::make_unique<WinHttpExchange>(std::move(attempt.connection), std::move(attempt.handle),
                                               std::move(attempt.head), attempt.withBody);
    } catch (const DownloadError& failure) {
      if (failure.platformCode != static_cast<DWORD>(ERROR_WINHTTP_SECURE_CHANNEL_ERROR)) throw;
      // This WinHTTP hides a proxy's refusal of the tunnel behind a failed TLS handshake: ask
      // the proxy itself what it wants.
      std::unique_ptr<HttpExchange> answered =
          LogOnThroughTunnel(request, parts.nPort, host, object, proxy);
      if (!answered) throw;
      return answered;
    }
  }
  Attempt attempt = Open(request, parts.nPort, host, object, proxy, secure, false, {});
  // A proxy that asks who is calling gets the logged-on user's logon, one round per scheme.
  std::uint32_t tried = 0;
  while (attempt.head.status == kProxyLogonRequired && attempt.head.fromProxy) {
    DWORD offered = 0, first = 0, target = 0;
    if (!WinHttp().QueryAuthSchemes(attempt.handle.get(), &offered, &first, &target)) offered = 0;
    const std::uint32_t usable = lateHeaders ? kSchemeNegotiate : (kSchemeNegotiate | kSchemeNtlm);
    const std::optional<ProxyScheme> scheme = NextProxyLogon(offered, usable, tried);
    if (!scheme) {
      attempt.head.proxyLogon = DescribeProxyRefusal(offered, usable, tried);
      break;
    }
    tried |= *scheme;
    if (lateHeaders) {
      std::string why;
      const std::optional<std::wstring> logon = NegotiateLogon(L"HTTP/" + ProxyHost(proxy.proxy), why);
      if (!logon) {
        attempt.head.proxyLogon = DescribeProxyRefusal(offered, usable, 0) + " (" + why + ")";
        break;
      }
      attempt = Open(request, parts.nPort, host, object, proxy, secure, lateHeaders, *logon);
      continue;
    }
    // The user's own credentials for the proxy only; the server never gets them.
    SetDwordOption(attempt.handle.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW);
    if (!WinHttp().SetCredentials(attempt.handle.get(), WINHTTP_AUTH_TARGET_PROXY, *scheme, nullptr, nullptr, nullptr))
      FailWithLastError(kSending);
    SendAndReceive(attempt, proxy, secure);
    attempt.head.route += ", logged on to the proxy by " + ProxySchemeNames(*scheme) + " as the signed-in user";
  }
  return std::make_unique<WinHttpExchange>(std::move(attempt.connection), std::move(attempt.handle),
                                           std::move(attempt.head), attempt.withBody);
}

std::unique_ptr<HttpExchange> WinHttpTransport::LogOnThroughTunnel(const TransportRequest& request, INTERNET_PORT port,
                                                                   const std::wstring& host, const std::wstring& object,
                                                                   const ProxyChoice& proxy) {
  const std::wstring target = (host.find(L':') != std::wstring::npos ? L"[" + host + L"]" : host) + L":" +
                              std::to_wstring(port);
  const std::wstring proxyAddress = FirstProxy(proxy.proxy);
  std::optional<TransportResponseHead> refusal = ProbeTunnel(proxyAddress, target, request.connectTimeoutMs);
  if (!refusal || refusal->status != kProxyLogonRequired) return nullptr;
  refusal->route = RouteText(proxy);
  refusal->fromProxy = true;
  const std::uint32_t offered = ProxySchemesOffered(refusal->headers);
  const std::uint32_t usable = kSchemeNegotiate;
  if (!NextProxyLogon(offered, usable, 0)) {
    refusal->proxyLogon = DescribeProxyRefusal(offered, usable, 0);
    return std::make_unique<HeadOnlyExchange>(std::move(*refusal));
  }
  std::string why;
  const std::optional<std::wstring> logon = NegotiateLogon(L"HTTP/" + ProxyHost(proxy.proxy), why);
  if (!logon) {
    refusal->proxyLogon = DescribeProxyRefusal(offered, usable, 0) + " (" + why + ")";
    return std::make_unique<HeadOnlyExchange>(std::move(*refusal));
  }
  try {
    Attempt attempt = Open(request, port, host, object, proxy, true, true, *logon);
    attempt.head.route += ", logged on to the proxy by Negotiate as the signed-in user";
    return std::make_unique<WinHttpExchange>(std::move(attempt.connection), std::move(attempt.handle),
                                             std::move(attempt.head), attempt.withBody);
  } catch (const DownloadError& failure) {
    if (failure.platformCode != static_cast<DWORD>(ERROR_WINHTTP_SECURE_CHANNEL_ERROR)) throw;
  }
  // Refused again, with the logon: that is the proxy's answer.
  refusal->proxyLogon = DescribeProxyRefusal(offered, usable, kSchemeNegotiate);
  return std::make_unique<HeadOnlyExchange>(std::move(*refusal));
}

WinHttpTransport::Attempt WinHttpTransport::Open(const TransportRequest& request, INTERNET_PORT port,
                                                 const std::wstring& host, const std::wstring& object,
                                                 const ProxyChoice& proxy, bool secure, bool lateHeaders,
                                                 const std::wstring& proxyLogon) {
  const WinHttpFunctions& api = WinHttp();
  HINTERNET session = SessionFor(proxy);
  Attempt attempt;
  attempt.connection.reset(api.Connect(session, host.c_str(), port, 0));
  if (!attempt.connection) FailWithLastError(kSending);
  attempt.handle.reset(api.OpenRequest(attempt.connection.get(), Widen(request.method).c_str(), object.c_str(), nullptr,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       secure ? WINHTTP_FLAG_SECURE : 0));
  if (!attempt.handle) FailWithLastError(kSending);
  HINTERNET handle = attempt.handle.get();

  // The client above follows redirects and keeps cookies; WinHTTP must do neither. Through a
  // proxy a kept connection is a tunnel to one origin, and some WinHTTPs hand it to a request
  // for another origin (a redirect), so proxied requests keep no connection.
  DWORD disabled = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
  if (!proxy.proxy.empty()) disabled |= WINHTTP_DISABLE_KEEP_ALIVE;
  SetDwordOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, disabled);
  // The user's own credentials go only to intranet servers, never to any host on the path.
  SetDwordOption(handle, WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_MEDIUM);
  if (!api.SetTimeouts(handle, request.connectTimeoutMs, request.connectTimeoutMs, request.readTimeoutMs,
                       request.readTimeoutMs))
    FailWithLastError(kSending);
  SetDwordOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, static_cast<DWORD>(request.readTimeoutMs));

  attempt.lines = std::make_unique<std::vector<std::wstring>>();
  for (const HttpHeader& header : request.headers) attempt.lines->push_back(Widen(header.name + ": " + header.value));
  attempt.late = std::make_unique<LateHeaders>();
  if (lateHeaders) {
    // Only the proxy's logon goes into the CONNECT; the request's own headers follow once the
    // tunnel is up, and the logon is taken off then.
    attempt.late->lines = attempt.lines.get();
    if (!proxyLogon.empty()) {
      const std::wstring line = L"Proxy-Authorization: " + proxyLogon;
      if (!api.AddRequestHeaders(handle, line.c_str(), static_cast<DWORD>(line.size()), WINHTTP_ADDREQ_FLAG_ADD))
        FailWithLastError(kSending);
      attempt.late->proxyLogon = true;
    }
    if (api.SetStatusCallback(handle, SystemCallback<&AttachLateHeaders>::Call, WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK)
      FailWithLastError(kSending);
  } else {
    for (const std::wstring& line : *attempt.lines) {
      if (!api.AddRequestHeaders(handle, line.c_str(), static_cast<DWORD>(line.size()), WINHTTP_ADDREQ_FLAG_ADD))
        FailWithLastError(kSending);
    }
  }
  SendAndReceive(attempt, proxy, secure);
  return attempt;
}

void WinHttpTransport::SendAndReceive(Attempt& attempt, const ProxyChoice& proxy, bool secure) {
  const WinHttpFunctions& api = WinHttp();
  HINTERNET handle = attempt.handle.get();
  LateHeaders& late = *attempt.late;
  late.attached = false;
  late.error = 0;
  // Certificate problems are not waved through: the platform's checks stand and a failed
  // check fails the request here.
  const BOOL sent = api.SendRequest(handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                                    reinterpret_cast<DWORD_PTR>(&late));
  const DWORD sendError = ::GetLastError();
  // The status callback's own failure (out of memory) is the cause of whatever came next.
  if (late.lines) RethrowCallbackFailure();
  if (!sent) {
    const DWORD error = sendError;
    // A proxy that refuses the tunnel answers before any TLS; some WinHTTPs then report a
    // secure channel failure although the proxy's head is on the handle.
    if (!proxy.proxy.empty()) {
      std::optional<TransportResponseHead> head = ReadHead(handle);
      if (head && head->status >= 300) {
        head->route = RouteText(proxy);
        head->fromProxy = true;
        attempt.head = std::move(*head);
        attempt.withBody = false;
        return;
      }
    }
    Fail(kSending, error);
  }
  if (late.lines && (late.error != 0 || !late.attached)) {
    // The request went out without its headers; whatever came back is not the answer to it.
    Fail(kSending, late.error != 0 ? late.error : static_cast<DWORD>(ERROR_WINHTTP_INTERNAL_ERROR));
  }
  if (!api.ReceiveResponse(handle, nullptr)) FailWithLastError(kReceiving);
  std::optional<TransportResponseHead> head = ReadHead(handle);
  if (!head) Fail(kReceiving, ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
  head->route = RouteText(proxy);
  head->fromProxy = !proxy.proxy.empty() && (!secure || !SecureChannelEstablished(handle));
  if (secure) head->secureProtocol = SecureProtocolOf(handle);
  attempt.head = std::move(*head);
  attempt.withBody = true;
}

}  // namespace quorvex::win32
