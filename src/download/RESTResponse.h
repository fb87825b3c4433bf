#pragma once
// The final response of a request: status line, headers and the body's bytes exactly as
// received.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "download/Transport.h"

namespace quorvex {

class RESTResponse {
 public:
  const std::string& Protocol() const { return protocol_; }
  int StatusCode() const { return statusCode_; }
  const std::string& StatusText() const { return statusText_; }
  const std::vector<HttpHeader>& Headers() const { return headers_; }
  // From "Content-Length"; -1 when missing, not a valid number, "0", or beside a
  // "Transfer-Encoding".
  std::int64_t ContentLength() const { return contentLength_; }
  const std::vector<std::uint8_t>& RawBytes() const { return rawBytes_; }
  // Hands the body to the caller without copying it; the response keeps none.
  std::vector<std::uint8_t> TakeRawBytes();

  // Filled by the request.
  void SetHead(const TransportResponseHead& head);
  void SetRawBytes(std::vector<std::uint8_t> body) { rawBytes_ = std::move(body); }
  // Forgets everything, releasing the body's memory.
  void Clear();

 private:
  std::string protocol_;
  int statusCode_ = 0;
  std::string statusText_;
  std::vector<HttpHeader> headers_;
  std::int64_t contentLength_ = -1;
  std::vector<std::uint8_t> rawBytes_;
};

// The total length announced by a "Content-Length" value: a decimal number, -1 when the
// value is not one (or is negative, or does not fit) and when it is "0".
std::int64_t ParseContentLength(std::string_view value);

}  // namespace quorvex
