#pragma once
// Types shared by the download client and the REST components under it.

#include <cstdint>
#include <functional>
#include <stdexcept>

namespace quorvex {

// Called with the body's total length (-1 when not announced), the body bytes received so
// far, and a flag the handler may set to stop reading after the current block.
using ProgressHandler = std::function<void(std::int64_t totalLength, std::int64_t received, bool& abort)>;

// A failed request: "REST request failed: <underlying message>" for transport, redirect and
// text failures, or "<protocol> <code> <reason>" (e.g. "HTTP/1.1 503 Service Unavailable")
// for a server error status.
class RequestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace quorvex
