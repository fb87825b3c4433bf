#pragma once
// Types shared by the download client and the REST components under it.

#include <cstdint>
#include <functional>
#include <span>
#include <cstddef>

namespace quorvex {

// Called with the body's total length (-1 when not announced), the body bytes received so
// far, and a flag the handler may set to stop reading after the current block.
using ProgressHandler = std::function<void(std::int64_t totalLength, std::int64_t received, bool& abort)>;

// Sees the body of a final (below 300) response while it arrives, so that work on it (a
// digest) can go on beside the transfer.
class BodyObserver {
 public:
  virtual ~BodyObserver() = default;
  // The body received so far: the same bytes every time, growing. They stay where they are
  // and unchanged until the next call of Moving. May throw to end the request.
  virtual void Arrived(std::span<const std::uint8_t> received) = 0;
  // The bytes last passed to Arrived may move or go away from now on: returns once nothing
  // reads them any more.
  virtual void Moving() noexcept = 0;
};

}  // namespace quorvex
