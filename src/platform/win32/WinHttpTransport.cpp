#include "platform/win32/WinHttpTransport.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string_view>

#include "platform/win32/TextConversion.h"

namespace quorvex::win32 {
namespace {

// Body blocks are read as they arrive, but never more than this in one call, so a huge
// announced length cannot make one read allocate it all at once.
constexpr DWORD kMaxBlock = 8u * 1024u * 1024u;

[[noreturn]] void Fail(const char* what, DWORD code) { throw TransportError(WinHttpErrorMessage(what, code)); }
[[noreturn]] void FailWithLastError(const char* what) { Fail(what, ::GetLastError()); }

void SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
  if (!::WinHttpSetOption(handle, option, &value, sizeof value)) FailWithLastError("Error sending data");
}

// Frees the strings WinHTTP hands out with GlobalAlloc.
struct GlobalString {
  wchar_t* text = nullptr;
  GlobalString() = default;
  GlobalString(const GlobalString&) = delete;
  GlobalString& operator=(const GlobalString&) = delete;
  ~GlobalString() {
    if (text) ::GlobalFree(text);
  }
};

// Runs one automatic step; true when it decided (a proxy, or explicitly none).
bool AskForProxy(HINTERNET session, const std::wstring& url, const WINHTTP_AUTOPROXY_OPTIONS& options,
                 ProxyChoice& out) {
  WINHTTP_AUTOPROXY_OPTIONS copy = options;
  WINHTTP_PROXY_INFO info{};
  if (!::WinHttpGetProxyForUrl(session, url.c_str(), &copy, &info)) return false;
  GlobalString proxy, bypass;
  proxy.text = info.lpszProxy;
  bypass.text = info.lpszProxyBypass;
  out = {};
  if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy.text && *proxy.text) {
    out.proxy = proxy.text;
    if (bypass.text) out.bypass = bypass.text;
  }
  return true;
}

std::wstring QueryHeaderText(HINTERNET request, DWORD info) {
  DWORD bytes = 0;
  ::WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &bytes, WINHTTP_NO_HEADER_INDEX);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return {};
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  if (!::WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes,
                             WINHTTP_NO_HEADER_INDEX))
    return {};
  text.resize(bytes / sizeof(wchar_t));
  return text;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// The header lines after the status line, in received order.
std::vector<HttpHeader> ParseHeaderLines(std::string_view raw) {
  std::vector<HttpHeader> headers;
  bool statusLine = true;
  while (!raw.empty()) {
    const std::size_t end = raw.find("\r\n");
    std::string_view line = raw.substr(0, end);
    raw.remove_prefix(end == std::string_view::npos ? raw.size() : end + 2);
    if (statusLine) {
      statusLine = false;
      continue;
    }
    const std::size_t colon = line.find(':');
    if (line.empty() || colon == std::string_view::npos) continue;
    headers.push_back({std::string(Trim(line.substr(0, colon))), std::string(Trim(line.substr(colon + 1)))});
  }
  return headers;
}

// The announced body length, when there is one that binds the transfer.
std::optional<std::uint64_t> AnnouncedLength(const std::vector<HttpHeader>& headers) {
  std::optional<std::uint64_t> length;
  for (const HttpHeader& header : headers) {
    if (EqualsIgnoringCase(header.name, "Transfer-Encoding")) return std::nullopt;  // chunked wins
    if (!EqualsIgnoringCase(header.name, "Content-Length") || header.value.empty()) continue;
    std::uint64_t value = 0;
    for (char c : header.value) {
      if (c < '0' || c > '9' || value > (std::numeric_limits<std::uint64_t>::max() - 9) / 10) return std::nullopt;
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    length = value;
  }
  return length;
}

class WinHttpExchange : public HttpExchange {
 public:
  WinHttpExchange(UniqueInternet connection, UniqueInternet request)
      : connection_(std::move(connection)), request_(std::move(request)) {
    const DWORD query = WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER;
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::WinHttpQueryHeaders(request_.get(), query, WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                               WINHTTP_NO_HEADER_INDEX))
      FailWithLastError("Error receiving data");
    head_.status = static_cast<int>(status);
    head_.protocol = Narrow(QueryHeaderText(request_.get(), WINHTTP_QUERY_VERSION));
    if (head_.protocol == "HTTP/2") head_.protocol = "HTTP/2.0";
    head_.reason = Narrow(QueryHeaderText(request_.get(), WINHTTP_QUERY_STATUS_TEXT));
    head_.headers = ParseHeaderLines(Narrow(QueryHeaderText(request_.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF)));
    // Responses that never carry a body are not held to their Content-Length.
    if (status >= 200 && status != 204 && status != 304) announced_ = AnnouncedLength(head_.headers);
  }

  const TransportResponseHead& Head() const override { return head_; }

  std::size_t ReadBlock(std::vector<std::uint8_t>& body) override {
    if (finished_) return 0;
    if (!reserved_) {
      reserved_ = true;
      ReserveAnnounced(body);
    }
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(request_.get(), &available)) FailWithLastError("Error receiving data");
    if (available == 0) return Finish();
    const DWORD want = std::min(available, kMaxBlock);
    const std::size_t start = body.size();
    body.resize(start + want);  // the block lands straight in the caller's buffer
    DWORD read = 0;
    if (!::WinHttpReadData(request_.get(), body.data() + start, want, &read)) {
      const DWORD error = ::GetLastError();
      body.resize(start);
      Fail("Error reading data", error);
    }
    body.resize(start + read);
    if (read == 0) return Finish();
    received_ += read;
    if (announced_ && received_ > *announced_) Fail("Error receiving data", ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
    return read;
  }

 private:
  // A body that ends before its announced length is a broken transfer, not a short success.
  std::size_t Finish() {
    finished_ = true;
    if (announced_ && received_ != *announced_) Fail("Error receiving data", ERROR_WINHTTP_CONNECTION_ERROR);
    return 0;
  }

  // One allocation for an announced body instead of repeated growth (and its copies and
  // peaks). A length the process cannot hold is left to fail as the bytes arrive.
  void ReserveAnnounced(std::vector<std::uint8_t>& body) const {
    if (!announced_ || *announced_ > body.max_size() - body.size()) return;
    const std::size_t wanted = body.size() + static_cast<std::size_t>(*announced_);
    if (wanted <= body.capacity()) return;
    try {
      body.reserve(wanted);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
  }

  UniqueInternet connection_;  // released after the request
  UniqueInternet request_;
  TransportResponseHead head_;
  std::optional<std::uint64_t> announced_;
  std::uint64_t received_ = 0;
  bool reserved_ = false;
  bool finished_ = false;
};

// Some systems ship WinHTTP without its message texts; the usual ones are kept here so
// that a failure still says what happened.
std::string FallbackErrorText(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT: return "The operation timed out";
    case ERROR_WINHTTP_INTERNAL_ERROR: return "An internal error occurred in the HTTP service";
    case ERROR_WINHTTP_INVALID_URL: return "The URL is invalid";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return "The URL does not use a recognized scheme";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "The server name or address could not be resolved";
    case ERROR_WINHTTP_OPERATION_CANCELLED: return "The operation was canceled";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "A connection with the server could not be established";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "The connection with the server was terminated abnormally";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "The server returned an invalid or unrecognized response";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return "The date in the certificate is invalid or has expired";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return "The host name in the certificate is invalid or does not match";
    case ERROR_WINHTTP_SECURE_INVALID_CA:
      return "A certificate chain processed, but terminated in a root certificate which is not trusted";
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE: return "The certificate is not valid for the requested usage";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "An error occurred in the secure channel support";
    case ERROR_WINHTTP_SECURE_FAILURE: return "A security error occurred";
    case ERROR_WINHTTP_SECURE_INVALID_CERT: return "The certificate is invalid";
    case ERROR_WINHTTP_RESEND_REQUEST: return "The request must be resent";
    default: return "Unknown error";
  }
}

}  // namespace

std::vector<ProxyStep> ProxyPlan(const UserProxySettings& settings) {
  if (!settings.readable) return {ProxyStep::AutoDetect};
  std::vector<ProxyStep> plan;
  if (!settings.autoConfigUrl.empty()) plan.push_back(ProxyStep::ConfigScript);
  if (settings.autoDetect) plan.push_back(ProxyStep::AutoDetect);
  if (!settings.proxy.empty()) plan.push_back(ProxyStep::StaticProxy);
  return plan;
}

const UserProxySettings& CurrentUserProxySettings() {
  static const UserProxySettings settings = [] {
    UserProxySettings read;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&config)) return read;
    read.readable = true;
    read.autoDetect = config.fAutoDetect != FALSE;
    GlobalString autoConfigUrl, proxy, bypass;
    autoConfigUrl.text = config.lpszAutoConfigUrl;
    proxy.text = config.lpszProxy;
    bypass.text = config.lpszProxyBypass;
    if (autoConfigUrl.text) read.autoConfigUrl = autoConfigUrl.text;
    if (proxy.text) read.proxy = proxy.text;
    if (bypass.text) read.bypass = bypass.text;
    return read;
  }();
  return settings;
}

ProxyChoice ResolveUserProxy(HINTERNET session, const std::wstring& url) {
  const UserProxySettings& settings = CurrentUserProxySettings();
  ProxyChoice choice;
  for (ProxyStep step : ProxyPlan(settings)) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.fAutoLogonIfChallenged = TRUE;
    switch (step) {
      case ProxyStep::ConfigScript:
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = settings.autoConfigUrl.c_str();
        if (AskForProxy(session, url, options, choice)) return choice;
        break;
      case ProxyStep::AutoDetect:
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        if (AskForProxy(session, url, options, choice)) return choice;
        break;
      case ProxyStep::StaticProxy:
        // WinHTTP applies the bypass list itself.
        return {settings.proxy, settings.bypass};
    }
  }
  return {};
}

std::string WinHttpErrorMessage(const char* what, DWORD code) {
  std::string text;
  if (code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST)
    text = SystemErrorText(code, ::GetModuleHandleW(L"winhttp.dll"));
  if (text.empty()) text = SystemErrorText(code);
  if (text.empty()) text = FallbackErrorText(code);
  return std::string(what) + ": (" + std::to_string(code) + ") " + text;
}

WinHttpTransport::WinHttpTransport() { SessionFor({}); }

HINTERNET WinHttpTransport::SessionFor(const ProxyChoice& proxy) {
  UniqueInternet& session = sessions_[proxy];
  if (session) return session.get();
  // No agent name here: the client sends its own User-Agent header.
  if (proxy.proxy.empty()) {
    session.reset(::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0));
  } else {
    session.reset(::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.proxy.c_str(),
                                proxy.bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : proxy.bypass.c_str(), 0));
  }
  if (!session) {
    const DWORD error = ::GetLastError();
    sessions_.erase(proxy);
    Fail("Error sending data", error);
  }
  SetDwordOption(session.get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER);
  return session.get();
}

std::unique_ptr<HttpExchange> WinHttpTransport::Send(const TransportRequest& request) {
  const char* sending = "Error sending data";
  const std::wstring url = Widen(request.url);

  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) FailWithLastError(sending);
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
    Fail(sending, ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
  object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (object.empty()) object = L"/";

  HINTERNET session = SessionFor(ResolveUserProxy(SessionFor({}), url));
  UniqueInternet connection(::WinHttpConnect(session, host.c_str(), parts.nPort, 0));
  if (!connection) FailWithLastError(sending);
  const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  UniqueInternet handle(::WinHttpOpenRequest(connection.get(), Widen(request.method).c_str(), object.c_str(),
                                             nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!handle) FailWithLastError(sending);

  // The client above follows redirects and keeps cookies; WinHTTP must do neither.
  SetDwordOption(handle.get(), WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS);
  // The user's own credentials go only to intranet servers, never to any host on the path.
  SetDwordOption(handle.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_MEDIUM);
  if (!::WinHttpSetTimeouts(handle.get(), request.connectTimeoutMs, request.connectTimeoutMs,
                            request.readTimeoutMs, request.readTimeoutMs))
    FailWithLastError(sending);
  SetDwordOption(handle.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, static_cast<DWORD>(request.readTimeoutMs));

  for (const HttpHeader& header : request.headers) {
    const std::wstring line = Widen(header.name + ": " + header.value);
    if (!::WinHttpAddRequestHeaders(handle.get(), line.c_str(), static_cast<DWORD>(line.size()),
                                    WINHTTP_ADDREQ_FLAG_ADD))
      FailWithLastError(sending);
  }

  // Certificate problems are not waved through: the platform's checks stand and a failed
  // check fails the request here.
  if (!::WinHttpSendRequest(handle.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
    FailWithLastError(sending);
  if (!::WinHttpReceiveResponse(handle.get(), nullptr)) FailWithLastError("Error receiving data");
  return std::make_unique<WinHttpExchange>(std::move(connection), std::move(handle));
}

}  // namespace quorvex::win32
