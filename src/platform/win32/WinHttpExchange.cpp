#include "platform/win32/WinHttpExchange.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstdint>
#include <optional>

#include "download/ProxyLogon.h"
#include "download/ResponseHead.h"
#include "platform/win32/SystemCallback.h"
#include "platform/win32/SystemLibrary.h"
#include "platform/win32/TextConversion.h"

namespace quorvex::win32 {

// Wine's WinHTTP writes every request header into the CONNECT that opens a tunnel, so there
// the headers are attached once the tunnel is up (see TunnelLogon.h).
struct LateHeaders {
  const std::vector<std::wstring>* lines = nullptr;
  bool proxyLogon = false;  // a Proxy-Authorization for the CONNECT, to go before the request
  bool attached = false;
  DWORD error = 0;
};

namespace {

// Body blocks are read as they arrive, but never more than this in one call, so a huge
// announced length cannot make one read allocate it all at once.
constexpr DWORD kMaxBlock = static_cast<DWORD>(kMaxBodyBlock);

constexpr DownloadFailure kSending = DownloadFailure::kSending;
constexpr DownloadFailure kReceiving = DownloadFailure::kReceiving;
constexpr DownloadFailure kReading = DownloadFailure::kReading;

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

class HeadOnly : public RoutedExchange {
 public:
  using RoutedExchange::RoutedExchange;
  std::size_t ReadBlock(std::vector<std::uint8_t>&) override { return 0; }
};

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

std::wstring RequestTarget::Authority() const {
  return (host.find(L':') != std::wstring::npos ? L"[" + host + L"]" : host) + L":" + std::to_wstring(port);
}

Attempt::Attempt() = default;
Attempt::Attempt(Attempt&&) noexcept = default;
Attempt& Attempt::operator=(Attempt&&) noexcept = default;
Attempt::~Attempt() = default;

Attempt SendAttempt(HINTERNET session, const TransportRequest& request, const RequestTarget& target, const Route& route,
                    bool lateHeaders, const std::wstring& proxyLogon) {
  const WinHttpFunctions& api = WinHttp();
  Attempt attempt;
  attempt.connection.reset(api.Connect(session, target.host.c_str(), target.port, 0));
  if (!attempt.connection) FailWithLastError(kSending);
  attempt.handle.reset(api.OpenRequest(attempt.connection.get(), Widen(request.method).c_str(), target.object.c_str(),
                                       nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       target.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!attempt.handle) FailWithLastError(kSending);
  HINTERNET handle = attempt.handle.get();

  // The client above follows redirects and keeps cookies; WinHTTP must do neither. Through a
  // proxy a kept connection is a tunnel to one origin, and some WinHTTPs hand it to a request
  // for another origin (a redirect), so proxied requests keep no connection.
  DWORD disabled = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
  if (!route.proxy.empty()) disabled |= WINHTTP_DISABLE_KEEP_ALIVE;
  SetDwordOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, disabled);
  // The user's own credentials go to no server on their own, beyond the platform's default
  // (intranet servers); a proxy gets them only when it asks and may have them (TunnelLogon).
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
  SendAgain(attempt, target, route);
  return attempt;
}

void SendAgain(Attempt& attempt, const RequestTarget& target, const Route& route) {
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
    // A proxy that refuses the tunnel answers before any TLS; some WinHTTPs then report a
    // secure channel failure although the proxy's head is on the handle.
    if (!route.proxy.empty()) {
      std::optional<TransportResponseHead> head = ReadHead(handle);
      if (head && head->status >= 300) {
        head->route = route.text;
        head->fromProxy = true;
        attempt.head = std::move(*head);
        attempt.withBody = false;
        return;
      }
    }
    Fail(kSending, sendError);
  }
  if (late.lines && (late.error != 0 || !late.attached)) {
    // The request went out without its headers; whatever came back is not the answer to it.
    Fail(kSending, late.error != 0 ? late.error : static_cast<DWORD>(ERROR_WINHTTP_INTERNAL_ERROR));
  }
  if (!api.ReceiveResponse(handle, nullptr)) FailWithLastError(kReceiving);
  std::optional<TransportResponseHead> head = ReadHead(handle);
  if (!head) Fail(kReceiving, ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
  head->route = route.text;
  // Over https, an answer after the secure channel came through the tunnel: the server's.
  head->fromProxy = !route.proxy.empty() && WhoAnswered(target.secure, target.secure && SecureChannelEstablished(handle)) ==
                                                ProxyAnswerer::kProxy;
  if (target.secure) head->secureProtocol = SecureProtocolOf(handle);
  attempt.head = std::move(*head);
  attempt.withBody = true;
}

std::unique_ptr<HttpExchange> ExchangeOf(Attempt attempt) {
  return std::make_unique<WinHttpExchange>(std::move(attempt.connection), std::move(attempt.handle),
                                           std::move(attempt.head), attempt.withBody);
}

std::unique_ptr<HttpExchange> HeadOnlyExchange(TransportResponseHead head) {
  return std::make_unique<HeadOnly>(std::move(head));
}

void AddToRoute(HttpExchange& exchange, const std::string& text) {
  if (auto* routed = dynamic_cast<RoutedExchange*>(&exchange)) routed->AddToRoute(text);
}

}  // namespace quorvex::win32
