#pragma once
// The deadlines and size limits of the service's connections: what keeps slow or hostile clients
// from holding what real downloads need.

#include <chrono>
#include <cstddef>

namespace quorvex::service {

struct ServerLimits {
  std::size_t maxHeaderBytes = 16 * 1024;       // request line and headers together
  std::chrono::milliseconds handshakeTimeout{10000};
  std::chrono::milliseconds headerTimeout{10000};  // from a request's first byte to its last header
  std::chrono::milliseconds idleTimeout{30000};    // between requests on a kept-alive connection
  std::chrono::milliseconds sendTimeout{60000};    // a client that takes nothing for this long is gone
  std::size_t maxConnections = 10000;              // more are closed as soon as they are accepted
  std::chrono::milliseconds stopGrace{30000};      // responses under way may finish this long after a stop
};

}  // namespace quorvex::service
