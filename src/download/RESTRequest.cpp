#include "download/RESTRequest.h"

#include <chrono>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>

#include "download/HTTPBasicAuthenticator.h"
#include "download/HeaderValue.h"
#include "download/HttpText.h"
#include "download/RESTClient.h"
#include "download/RESTResponse.h"
#include "download/ResponseText.h"
#include "download/Redaction.h"
#include "download/RunLog.h"
#include "text/InertText.h"

namespace quorvex {
namespace {

constexpr char kFailurePrefix[] = "REST request failed: ";

bool IsRedirectStatus(int status) {
  return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Statuses whose responses never carry a body, whatever Content-Length says.
bool HasNoBody(int status) { return status == 204 || status == 304 || (status >= 100 && status < 200); }

constexpr int kProxyAuthenticationRequired = 407;

// The status line as a failure keeps it: the server's words made inert.
DownloadError WithStatus(DownloadError error, const std::string& protocol, int status, const std::string& reason) {
  error.protocol = InertServerText(protocol);
  error.status = status;
  error.reason = InertServerText(reason);
  return error;
}

DownloadError WithStatus(DownloadError error, const TransportResponseHead& head) {
  return WithStatus(std::move(error), head.protocol, head.status, head.reason);
}


}  // namespace

RESTRequest::RESTRequest(RESTClient& client, RESTResponse& response)
    : client_(client),
      response_(response),
      readTimeoutMs_(client.ReadTimeout()),
      onReceiveData_(client.OnReceiveData()) {}

DownloadError RESTRequest::Failure(DownloadFailure kind, const std::string& underlying) const {
  DownloadError error(kind, kFailurePrefix + underlying);
  error.url = shownUrl_;
  return error;
}

void RESTRequest::SetUrl(std::string url) {
  url_ = std::move(url);
  shownUrl_ = RedactUrl(url_);
}

DownloadError RESTRequest::PassOn(const DownloadError& transportFailure) const {
  DownloadError error = Failure(transportFailure.kind(), transportFailure.what());
  error.platformCode = transportFailure.platformCode;
  error.route = transportFailure.route;
  return error;
}

// The request asks for no compression, and the body is the package exactly as sent: a body
// in any other coding would be saved as if it were the package.
void RESTRequest::RefuseContentCoding(const TransportResponseHead& head) const {
  for (const HttpHeader& header : head.headers) {
    if (!EqualsIgnoreCase(header.name, "Content-Encoding")) continue;
    const std::string_view coding = TrimAscii(header.value);
    if (coding.empty() || EqualsIgnoreCase(coding, "identity")) continue;
    const std::string shown = InertServerText(coding);
    DownloadError error = WithStatus(Failure(DownloadFailure::kContentCoding, "The response body from " + shownUrl_ +
                                                                                 " is encoded as \"" + shown +
                                                                                 "\", which the client does not decode"),
                                     head);
    error.declared = shown;
    throw error;
  }
}

TransportRequest RESTRequest::Compose(const Url& url, const Url& authorizedOrigin) const {
  TransportRequest request;
  request.method = method_;
  request.url = url.ToString();
  request.connectTimeoutMs = client_.ConnectTimeout();
  request.readTimeoutMs = readTimeoutMs_;
  for (const HttpHeader& header : client_.Headers()) {
    request.headers.push_back({PercentEncodeHeaderText(header.name), PercentEncodeHeaderText(header.value)});
  }
  // Credentials stay with the configured service, wherever a redirect leads.
  if (client_.Authenticator() && SameOrigin(url, authorizedOrigin)) {
    request.headers.push_back({"Authorization", client_.Authenticator()->AuthorizationValue()});
  }
  request.headers.push_back({"Accept", client_.Accept()});
  request.headers.push_back({"Accept-Charset", client_.AcceptCharset()});
  request.headers.push_back({"User-Agent", client_.UserAgent()});
  if (!client_.ContentType().empty()) request.headers.push_back({"Content-Type", client_.ContentType()});
  std::string cookies = client_.Cookies().HeaderFor(url);
  if (!cookies.empty()) request.headers.push_back({"Cookie", std::move(cookies)});
  return request;
}

std::vector<std::uint8_t> RESTRequest::ReadBody(HttpExchange& exchange, const TransportResponseHead& head,
                                                std::int64_t totalLength, bool& abort) const {
  std::vector<std::uint8_t> body;
  const auto outOfMemory = [&] {
    return WithStatus(Failure(DownloadFailure::kResources,
                              "Out of memory after " + std::to_string(body.size()) + " bytes of the response body" +
                                  (totalLength > 0 ? " (" + std::to_string(totalLength) + " announced)" : std::string()) +
                                  " from " + shownUrl_),
                      head);
  };
  const auto lengthMismatch = [&](const std::string& what) {
    DownloadError error = WithStatus(Failure(DownloadFailure::kLengthMismatch, what), head);
    error.announcedLength = totalLength;
    error.receivedLength = static_cast<std::int64_t>(body.size());
    return error;
  };
  try {
    if (totalLength > 0) {
      if (static_cast<std::uint64_t>(totalLength) > body.max_size()) throw std::bad_alloc();
      body.reserve(static_cast<std::size_t>(totalLength));
    }
  } catch (const std::bad_alloc&) {
    throw outOfMemory();
  }
  const bool report = head.status < 300 && onReceiveData_;
  BodyObserver* const observer = head.status < 300 ? bodyObserver_ : nullptr;
  // Whatever way this ends, the body may move or go once it returns.
  struct Quiesce {
    BodyObserver* observer;
    ~Quiesce() {
      if (observer) observer->Moving();
    }
  } quiesce{observer};
  abort = false;
  if (report) onReceiveData_(totalLength, 0, abort);
  while (!abort) {
    std::size_t received = 0;
    // Reading a block may move the buffer when its spare capacity is short of a block.
    if (observer && body.capacity() - body.size() < kMaxBodyBlock) observer->Moving();
    try {
      received = exchange.ReadBlock(body);
    } catch (const DownloadError& failure) {
      throw WithStatus(PassOn(failure), head);
    } catch (const std::bad_alloc&) {
      throw outOfMemory();
    } catch (const std::length_error&) {
      throw outOfMemory();
    }
    if (received == 0) break;
    if (totalLength > 0 && static_cast<std::uint64_t>(body.size()) > static_cast<std::uint64_t>(totalLength)) {
      throw lengthMismatch("Error receiving data: the body from " + shownUrl_ + " is longer than its announced length of " +
                           std::to_string(totalLength) + " bytes");
    }
    if (observer) observer->Arrived(body);
    if (report) onReceiveData_(totalLength, static_cast<std::int64_t>(body.size()), abort);
  }
  // An aborted transfer is the caller's choice, not a broken one.
  if (!abort && totalLength > 0 && !HasNoBody(head.status) &&
      static_cast<std::uint64_t>(body.size()) != static_cast<std::uint64_t>(totalLength)) {
    throw lengthMismatch("Error receiving data: the body from " + shownUrl_ + " ended after " + std::to_string(body.size()) +
                         " of its announced " + std::to_string(totalLength) + " bytes");
  }
  return body;
}

bool RESTRequest::ExecuteExchanges() {
  SetUrl(client_.BaseURL());
  const std::optional<Url> endpoint = ParseUrl(url_);
  if (!endpoint) throw Failure(DownloadFailure::kInvalidAddress, "The service address is not a valid URL: " + shownUrl_);
  // The credentials travel with every request: never in clear, never inside the address.
  if (endpoint->scheme != "https") {
    throw Failure(DownloadFailure::kInvalidAddress, "The service address must be https: " + shownUrl_);
  }
  if (endpoint->hasUserInfo) {
    throw Failure(DownloadFailure::kInvalidAddress,
                  "The service address must not carry a user name or password: " + shownUrl_);
  }
  Url url = *endpoint;
  for (int redirects = 0;; ++redirects) {
    SetUrl(url.ToString());
    const auto started = std::chrono::steady_clock::now();
    LogEvent(runLog_, [&] { return "request " + method_ + " " + shownUrl_; });
    std::unique_ptr<HttpExchange> exchange;
    try {
      exchange = client_.HttpTransport().Send(Compose(url, *endpoint));
    } catch (const DownloadError& failure) {
      throw PassOn(failure);
    }
    const TransportResponseHead& head = exchange->Head();
    LogEvent(runLog_, [&] {
      // The server's Date beside the local time of the line shows a wrong clock, the usual
      // cause of an untrusted certificate.
      std::string text = "response " + InertServerText(head.protocol) + " " + std::to_string(head.status) + " " +
                         InertServerText(head.reason) + ", " +
                         (head.route.empty() ? std::string("route not reported") : head.route);
      if (!head.secureProtocol.empty()) text += ", " + head.secureProtocol;
      text += ", Content-Length " + InertServerText(FindHeader(head.headers, "Content-Length").value_or("none"));
      if (const std::optional<std::string> date = FindHeader(head.headers, "Date"))
        text += ", server Date " + InertServerText(*date);
      return text;
    });
    for (const HttpHeader& header : head.headers) {
      if (EqualsIgnoreCase(header.name, "Set-Cookie")) client_.Cookies().Store(url, header.value);
    }
    const std::optional<std::string> location = FindHeader(head.headers, "Location");
    const bool redirect = IsRedirectStatus(head.status) && location && !TrimAscii(*location).empty();
    // Where the redirect leads, as far as it may be shown: the URL it resolves to, redacted.
    const std::optional<Url> target = redirect ? ResolveUrl(url, *location) : std::nullopt;
    const std::string shownTarget = !redirect ? std::string() : RedactUrl(target ? target->ToString() : *location);
    if (redirect && redirects == kMaxRedirects) {
      DownloadError error = WithStatus(
          Failure(DownloadFailure::kRedirectLimit,
                  "Maximum number of redirections (" + std::to_string(kMaxRedirects) + ") exceeded"),
          head);
      error.declared = shownTarget;
      throw error;
    }
    if (head.status == kProxyAuthenticationRequired && !head.fromProxy) {
      // A server behind the tunnel asking for a proxy's logon: its own failure, never a logon.
      throw WithStatus(Failure(DownloadFailure::kServerStatus,
                               "The server at " + shownUrl_ + " answered " + std::to_string(head.status) + " " +
                                   InertServerText(head.reason) + ": " +
                                   (head.proxyLogon.empty() ? std::string("a server gets no proxy logon")
                                                            : head.proxyLogon)),
                       head);
    }
    if (head.status == kProxyAuthenticationRequired) {
      // The transport has answered with the user's logon where it could; it says why that
      // was not enough.
      throw WithStatus(Failure(DownloadFailure::kProxyAuthentication,
                               "The proxy requires authentication for " + shownUrl_ + ": " +
                                   (head.proxyLogon.empty() ? std::string("the installer has no logon to offer it")
                                                            : head.proxyLogon) +
                                   " (" + std::to_string(head.status) + " " + InertServerText(head.reason) + ")"),
                       head);
    }
    if (!redirect) RefuseContentCoding(head);
    response_.SetHead(head);
    bool aborted = false;
    response_.SetRawBytes(ReadBody(*exchange, head, response_.ContentLength(), aborted));
    LogEvent(runLog_, [&] {
      return "body " + std::to_string(response_.RawBytes().size()) + " bytes in " +
             std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                                  started)
                                .count()) +
             " ms" + (aborted ? " (stopped by the progress handler)" : "");
    });
    if (!redirect) return aborted;

    const auto refused = [&](const std::string& why) {
      DownloadError error =
          WithStatus(Failure(DownloadFailure::kRedirectRefused,
                             "Redirect from " + shownUrl_ + " to " + why + " refused: " + shownTarget),
                     head);
      error.declared = shownTarget;
      return error;
    };
    if (!target) throw refused("an invalid location");
    // "https://name@host" reads as one host to one parser and another to the next.
    if (target->hasUserInfo) throw refused("a location with a user name or password");
    if (target->scheme != "https") throw refused("a location that is not https");
    LogEvent(runLog_, [&] { return "redirect to " + shownTarget; });
    url = *target;
  }
}

void RESTRequest::Execute() {
  response_.Clear();
  try {
    const bool aborted = ExecuteExchanges();
    const int status = response_.StatusCode();
    if (status >= 500) {
      const std::string protocol = InertServerText(response_.Protocol());
      const std::string reason = InertServerText(response_.StatusText());
      DownloadError error(DownloadFailure::kServerStatus,
                          (protocol.empty() ? std::string() : protocol + " ") + std::to_string(status) + " " + reason);
      error.url = shownUrl_;
      error.protocol = protocol;
      error.status = status;
      error.reason = reason;
      throw error;
    }
    // Text reading: statuses of 300 and above always, successes only for text (or undeclared)
    // media types; an unrecognised media type may fail to read without consequence. A body
    // cut short by the handler may end inside a character, and stopping is not a failure.
    if (aborted) return;
    const ContentType type = ParseContentType(FindHeader(response_.Headers(), "Content-Type").value_or(""));
    const MediaTypeKind kind = ClassifyMediaType(type.mediaType);
    if (status >= 300 || kind != MediaTypeKind::Binary) {
      const TextCheck check = CheckText(response_.RawBytes(), type.charset);
      if (check != TextCheck::kValid && (status >= 300 || kind == MediaTypeKind::Text)) {
        const std::string charset = InertServerText(type.charset.empty() ? std::string("utf-8") : type.charset);
        DownloadError error = WithStatus(
            Failure(DownloadFailure::kNotText,
                    check == TextCheck::kUnsupportedCharset
                        ? "The response from " + shownUrl_ + " declares a charset the client cannot read: " + charset
                        : "The response body from " + shownUrl_ + " is not valid " + charset + " text"),
            response_.Protocol(), status, response_.StatusText());
        error.declared = charset;
        throw error;
      }
    }
  } catch (const DownloadError&) {
    response_.Clear();
    throw;
  } catch (const std::bad_alloc&) {
    response_.Clear();
    throw Failure(DownloadFailure::kResources, "Out of memory while fetching " + shownUrl_);
  } catch (...) {
    // Whatever the progress handler throws reaches the caller unchanged.
    response_.Clear();
    throw;
  }
}

}  // namespace quorvex
