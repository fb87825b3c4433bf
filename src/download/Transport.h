#pragma once
// The transport port: one HTTP exchange at a time. It follows no redirects and keeps no
// cookies; the client above it does both.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "download/DownloadError.h"

namespace quorvex {

struct HttpHeader {
  std::string name;
  std::string value;
};

// The download's time-outs, in milliseconds: connecting gives up after 30 s; once
// connected, only a silence of about 17 minutes ends a slow but living transfer.
inline constexpr int kConnectTimeoutMs = 30000;
inline constexpr int kReadTimeoutMs = 999999;

struct TransportRequest {
  std::string method;                // "GET"
  std::string url;                   // absolute http(s) URL
  std::vector<HttpHeader> headers;   // in wire order, values exactly as sent
  int connectTimeoutMs = kConnectTimeoutMs;  // name resolution and connect
  int readTimeoutMs = kReadTimeoutMs;        // send, response headers, each further body block
};

struct TransportResponseHead {
  std::string protocol;              // "HTTP/1.1", "HTTP/1.0", "HTTP/2.0" or "" when not reported
  int status = 0;
  std::string reason;
  std::vector<HttpHeader> headers;   // in received order; names as received
  // For the run log only: how the request went out ("direct", or the proxy and where it came
  // from) and the secure channel's protocol ("TLS 1.3"); empty when the platform does not say.
  std::string route;
  std::string secureProtocol;
  // The proxy's own answer (its refusal of the tunnel, or any answer through it on plain
  // http) rather than the server's. A 407 is a proxy's logon request only then.
  bool fromProxy = false;
  // A 407 that the transport did not answer with the user's logon: why (the schemes the proxy
  // offers and what was tried, or that it came from behind the tunnel). Empty otherwise.
  std::string proxyLogon;
};

// The most a transport appends to the body at once: below that much spare capacity the
// body's buffer may move while a block is read.
inline constexpr std::size_t kMaxBodyBlock = 8u * 1024u * 1024u;

// One exchange after its response head has arrived.
class HttpExchange {
 public:
  virtual ~HttpExchange() = default;
  virtual const TransportResponseHead& Head() const = 0;
  // Appends the next block of the body, of whatever size the transport has available but at
  // most kMaxBodyBlock bytes, to body and returns its size; 0 at the end of the body. Throws DownloadError (kReceiving or
  // kReading, with the platform's code; see PlatformFailure) on a broken transfer.
  virtual std::size_t ReadBlock(std::vector<std::uint8_t>& body) = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends the request and waits for the response head. Throws DownloadError (kSending up to
  // the request being sent, kReceiving while waiting for the head, with the platform's code).
  virtual std::unique_ptr<HttpExchange> Send(const TransportRequest& request) = 0;
};

}  // namespace quorvex
