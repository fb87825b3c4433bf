#pragma once
// Types shared by the download client and the REST components under it.

#include <cstdint>
#include <functional>

namespace quorvex {

// Called with the body's total length (-1 when not announced), the body bytes received so
// far, and a flag the handler may set to stop reading after the current block.
using ProgressHandler = std::function<void(std::int64_t totalLength, std::int64_t received, bool& abort)>;

}  // namespace quorvex
