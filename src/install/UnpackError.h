#pragma once
// The unpacker's failure, apart from the unpacker so that the ZIP reader and the name
// rules can throw it without depending on the rest.

#include <stdexcept>

namespace quorvex {

// The package could not be unpacked; the message names the entry (when there is one) and
// the cause. Whatever was written before the failure stays on disk.
class UnpackError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace quorvex
