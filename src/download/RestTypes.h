#pragma once
// Types shared by the download client and the REST components under it.

#include <cstdint>
#include <functional>
#include <span>

namespace quorvex {

// Called with the body's total length (-1 when not announced), the body bytes received so
// far, and a flag the handler may set to stop reading after the current block.
using ProgressHandler = std::function<void(std::int64_t totalLength, std::int64_t received, bool& abort)>;

// Called with the body received so far after each block of a final (below 300) response:
// the same bytes every time, growing. It may throw to end the request.
using BodyObserver = std::function<void(std::span<const std::uint8_t> received)>;

}  // namespace quorvex
