#include "install/Bytes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <limits>

namespace quorvex {
namespace {

constexpr std::array<std::uint8_t, 8> kData = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

TEST(Bytes, ReadsLittleEndianFieldsThatLieInside) {
  const Bytes bytes(kData);
  EXPECT_EQ(bytes.U8(7), 0x08);
  EXPECT_EQ(bytes.U16(6), 0x0807);
  EXPECT_EQ(bytes.U32(4), 0x08070605U);
  EXPECT_EQ(bytes.U64(0), 0x0807060504030201ULL);
  EXPECT_EQ(bytes.Text(2, 3), std::string_view("\x03\x04\x05"));
  EXPECT_EQ(bytes.Text(8, 0), std::string_view());
  EXPECT_EQ(bytes.Slice(6, 2).U16(0), 0x0807);
  EXPECT_EQ(bytes.Slice(8, 0).size(), 0U);
}

// Every field that starts inside but ends outside, or starts outside, throws instead of
// reading past the buffer, including offsets where adding the length would overflow.
TEST(Bytes, ReadsPastTheEndThrowTheUnpackError) {
  const Bytes bytes(kData);
  const Bytes slice = bytes.Slice(2, 4);
  constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();
  const std::function<void()> reads[] = {
      [&] { bytes.U8(8); },           [&] { bytes.U16(7); },          [&] { bytes.U32(5); },
      [&] { bytes.U64(1); },          [&] { bytes.Text(6, 3); },      [&] { bytes.Text(9, 0); },
      [&] { bytes.Slice(4, 5); },     [&] { bytes.U32(kHuge - 1); },  [&] { bytes.Text(1, kHuge); },
      [&] { slice.U32(1); },          [&] { slice.U8(4); },           [&] { Bytes({}).U8(0); },
  };
  for (std::size_t i = 0; i < std::size(reads); ++i) {
    EXPECT_THROW(reads[i](), UnpackError) << "read " << i;
  }
}

}  // namespace
}  // namespace quorvex
