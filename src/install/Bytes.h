#pragma once
// Little-endian fields at named offsets of a buffer. Every read checks its own bounds in
// 64-bit arithmetic, so a slip in a caller's offset arithmetic fails the package instead
// of reading outside it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "install/UnpackError.h"

namespace quorvex {

class Bytes {
 public:
  explicit Bytes(std::span<const std::uint8_t> data) : data_(data) {}
  std::uint64_t size() const { return data_.size(); }
  // True when [offset, offset + length) lies inside the buffer, without overflow.
  bool Holds(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size() && length <= size() - offset;
  }
  // Each of these throws UnpackError when the field does not lie wholly inside the buffer.
  std::uint8_t U8(std::uint64_t at) const { return data_[Index(at, 1)]; }
  std::uint16_t U16(std::uint64_t at) const {
    const std::size_t i = Index(at, 2);
    return static_cast<std::uint16_t>(data_[i] | data_[i + 1] << 8);
  }
  std::uint32_t U32(std::uint64_t at) const {
    const std::size_t i = Index(at, 4);
    return static_cast<std::uint32_t>(data_[i]) | static_cast<std::uint32_t>(data_[i + 1]) << 8 |
           static_cast<std::uint32_t>(data_[i + 2]) << 16 | static_cast<std::uint32_t>(data_[i + 3]) << 24;
  }
  std::uint64_t U64(std::uint64_t at) const {
    Index(at, 8);
    return static_cast<std::uint64_t>(U32(at)) | static_cast<std::uint64_t>(U32(at + 4)) << 32;
  }
  std::string_view Text(std::uint64_t at, std::uint64_t length) const {
    return {reinterpret_cast<const char*>(data_.data() + Index(at, length)), static_cast<std::size_t>(length)};
  }
  Bytes Slice(std::uint64_t at, std::uint64_t length) const {
    return Bytes(data_.subspan(Index(at, length), static_cast<std::size_t>(length)));
  }

 private:
  std::size_t Index(std::uint64_t at, std::uint64_t length) const {
    if (!Holds(at, length)) throw UnpackError(UnpackFailure::kNotAPackage, "Not a package: a field runs past the end of the package");
    return static_cast<std::size_t>(at);
  }
  std::span<const std::uint8_t> data_;
};

}  // namespace quorvex
