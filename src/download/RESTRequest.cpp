#include "download/RESTRequest.h"

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

namespace quorvex {
namespace {

constexpr char kFailurePrefix[] = "REST request failed: ";

[[noreturn]] void Fail(const std::string& underlying) { throw RequestError(kFailurePrefix + underlying); }

bool IsRedirectStatus(int status) {
  return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Statuses whose responses never carry a body, whatever Content-Length says.
bool HasNoBody(int status) { return status == 204 || status == 304 || (status >= 100 && status < 200); }

constexpr int kProxyAuthenticationRequired = 407;

// The request asks for no compression, and the body is the package exactly as sent: a body
// in any other coding would be saved as if it were the package.
void RefuseContentCoding(const std::vector<HttpHeader>& headers) {
  for (const HttpHeader& header : headers) {
    if (!EqualsIgnoreCase(header.name, "Content-Encoding")) continue;
    const std::string_view coding = TrimAscii(header.value);
    if (!coding.empty() && !EqualsIgnoreCase(coding, "identity")) {
      Fail("The response body is encoded as \"" + std::string(coding) + "\", which the client does not decode");
    }
  }
}

}  // namespace

RESTRequest::RESTRequest(RESTClient& client, RESTResponse& response)
    : client_(client),
      response_(response),
      readTimeoutMs_(client.ReadTimeout()),
      onReceiveData_(client.OnReceiveData()) {}

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

std::vector<std::uint8_t> RESTRequest::ReadBody(HttpExchange& exchange, int status, std::int64_t totalLength,
                                                bool& abort) const {
  std::vector<std::uint8_t> body;
  const auto outOfMemory = [&] {
    Fail("Out of memory after " + std::to_string(body.size()) + " bytes of the response body" +
         (totalLength > 0 ? " (" + std::to_string(totalLength) + " announced)" : std::string()));
  };
  try {
    if (totalLength > 0) {
      if (static_cast<std::uint64_t>(totalLength) > body.max_size()) throw std::bad_alloc();
      body.reserve(static_cast<std::size_t>(totalLength));
    }
  } catch (const std::bad_alloc&) {
    outOfMemory();
  }
  const bool report = status < 300 && onReceiveData_;
  abort = false;
  if (report) onReceiveData_(totalLength, 0, abort);
  while (!abort) {
    std::size_t received = 0;
    try {
      received = exchange.ReadBlock(body);
    } catch (const std::bad_alloc&) {
      outOfMemory();
    } catch (const std::length_error&) {
      outOfMemory();
    }
    if (received == 0) break;
    if (totalLength > 0 && static_cast<std::uint64_t>(body.size()) > static_cast<std::uint64_t>(totalLength)) {
      Fail("Error receiving data: the body is longer than its announced length of " + std::to_string(totalLength) +
           " bytes");
    }
    if (report) onReceiveData_(totalLength, static_cast<std::int64_t>(body.size()), abort);
  }
  // An aborted transfer is the caller's choice, not a broken one.
  if (!abort && totalLength > 0 && !HasNoBody(status) &&
      static_cast<std::uint64_t>(body.size()) != static_cast<std::uint64_t>(totalLength)) {
    Fail("Error receiving data: the body ended after " + std::to_string(body.size()) + " of its announced " +
         std::to_string(totalLength) + " bytes");
  }
  return body;
}

bool RESTRequest::ExecuteExchanges() {
  const std::optional<Url> endpoint = ParseUrl(client_.BaseURL());
  if (!endpoint) Fail("Invalid URL: " + client_.BaseURL());
  // The credentials travel with every request: never in clear, never inside the address.
  if (endpoint->scheme != "https") Fail("The service address must be https: " + client_.BaseURL());
  if (endpoint->hasUserInfo) Fail("The service address must not carry a user name or password: " + client_.BaseURL());
  Url url = *endpoint;
  for (int redirects = 0;; ++redirects) {
    const std::unique_ptr<HttpExchange> exchange = client_.HttpTransport().Send(Compose(url, *endpoint));
    const TransportResponseHead& head = exchange->Head();
    for (const HttpHeader& header : head.headers) {
      if (EqualsIgnoreCase(header.name, "Set-Cookie")) client_.Cookies().Store(url, header.value);
    }
    const std::optional<std::string> location = FindHeader(head.headers, "Location");
    const bool redirect = IsRedirectStatus(head.status) && location && !TrimAscii(*location).empty();
    if (redirect && redirects == kMaxRedirects) {
      Fail("Maximum number of redirections (" + std::to_string(kMaxRedirects) + ") exceeded");
    }
    if (head.status == kProxyAuthenticationRequired) {
      Fail("The proxy requires authentication, which the installer does not offer (" + std::to_string(head.status) +
           " " + head.reason + ")");
    }
    if (!redirect) RefuseContentCoding(head.headers);
    response_.SetHead(head);
    bool aborted = false;
    response_.SetRawBytes(ReadBody(*exchange, head.status, response_.ContentLength(), aborted));
    if (!redirect) return aborted;

    const std::optional<Url> target = ResolveUrl(url, *location);
    if (!target) Fail("Invalid redirect location: " + *location);
    // "https://name@host" reads as one host to one parser and another to the next.
    if (target->hasUserInfo) Fail("Redirect to a location with a user name or password refused: " + *location);
    if (target->scheme != "https") Fail("Redirect to a location that is not https refused: " + target->ToString());
    url = *target;
  }
}

void RESTRequest::Execute() {
  response_.Clear();
  try {
    const bool aborted = ExecuteExchanges();
    const int status = response_.StatusCode();
    if (status >= 500) {
      const std::string& protocol = response_.Protocol();
      throw RequestError((protocol.empty() ? std::string() : protocol + " ") + std::to_string(status) + " " +
                         response_.StatusText());
    }
    // Text reading: statuses of 300 and above always, successes only for text (or undeclared)
    // media types; an unrecognised media type may fail to read without consequence. A body
    // cut short by the handler may end inside a character, and stopping is not a failure.
    if (aborted) return;
    const ContentType type = ParseContentType(FindHeader(response_.Headers(), "Content-Type").value_or(""));
    const MediaTypeKind kind = ClassifyMediaType(type.mediaType);
    if (status >= 300 || kind != MediaTypeKind::Binary) {
      const std::optional<std::string> problem = CheckText(response_.RawBytes(), type.charset);
      if (problem && (status >= 300 || kind == MediaTypeKind::Text)) Fail(*problem);
    }
  } catch (const RequestError&) {
    response_.Clear();
    throw;
  } catch (const TransportError& error) {
    response_.Clear();
    Fail(error.what());
  } catch (const std::bad_alloc&) {
    response_.Clear();
    Fail("Out of memory while handling the response");
  } catch (...) {
    // Whatever the progress handler throws reaches the caller unchanged.
    response_.Clear();
    throw;
  }
}

}  // namespace quorvex
