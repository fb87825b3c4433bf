#include "download/RESTResponse.h"

#include <limits>

#include "download/HttpText.h"

namespace quorvex {

std::int64_t ParseContentLength(std::string_view value) {
  value = TrimAscii(value);
  if (value.empty()) return -1;
  std::int64_t length = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return -1;
    const int digit = c - '0';
    if (length > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return -1;
    length = length * 10 + digit;
  }
  return length == 0 ? -1 : length;
}

std::vector<std::uint8_t> RESTResponse::TakeRawBytes() {
  std::vector<std::uint8_t> body = std::move(rawBytes_);
  rawBytes_ = {};
  return body;
}

void RESTResponse::SetHead(const TransportResponseHead& head) {
  protocol_ = head.protocol;
  statusCode_ = head.status;
  statusText_ = head.reason;
  headers_ = head.headers;
  const auto length = FindHeader(headers_, "Content-Length");
  // A transfer coding overrides any Content-Length: the length is not known in advance.
  const bool coded = FindHeader(headers_, "Transfer-Encoding").has_value();
  contentLength_ = length && !coded ? ParseContentLength(*length) : -1;
}

void RESTResponse::Clear() {
  *this = RESTResponse();
}

}  // namespace quorvex
