#pragma once
// The one form of the Range header the service honours: a single byte range.

#include <cstdint>
#include <string_view>

namespace quorvex::service {

struct ByteRangeAnswer {
  enum Kind {
    Whole,          // no range, several ranges or a malformed one: the whole file, 200
    Part,           // one satisfiable range: first..last inclusive, 206
    Unsatisfiable,  // one well-formed range wholly past the end: 416
  } kind = Whole;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

// value: the Range header ("bytes=0-99", "bytes=500-", "bytes=-200"); size: the file's size.
// A part never reaches past the file's end, so a reply is never longer than the file.
ByteRangeAnswer ParseByteRange(std::string_view value, std::uint64_t size);

}  // namespace quorvex::service
