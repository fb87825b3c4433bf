#include "text/WindowsNameCase.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace quorvex {
namespace {

struct UpcaseRun {
  std::uint16_t first;
  std::uint16_t last;
  std::uint8_t step;
  std::int32_t delta;
};

constexpr UpcaseRun kUpcase[] = {
#include "text/WindowsUpcaseTable.inc"
};

char32_t Upcase(char32_t unit) {
  if (unit < 0x61 || unit > 0xFFFF) return unit;
  // The last run that starts at or before unit.
  const auto after = std::upper_bound(std::begin(kUpcase), std::end(kUpcase), unit,
                                      [](char32_t value, const UpcaseRun& run) { return value < run.first; });
  if (after == std::begin(kUpcase)) return unit;
  const UpcaseRun& run = *std::prev(after);
  if (unit > run.last || (unit - run.first) % run.step != 0) return unit;
  return static_cast<char32_t>(static_cast<std::int32_t>(unit) + run.delta);
}

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string WindowsNameKey(std::string_view utf8) {
  std::string key;
  key.reserve(utf8.size());
  for (std::size_t at = 0; at < utf8.size();) {
    const auto lead = static_cast<std::uint8_t>(utf8[at]);
    if (lead < 0x80) {
      key += static_cast<char>(lead >= 'a' && lead <= 'z' ? lead - 32 : lead);
      ++at;
      continue;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t c = lead & (length == 4 ? 0x07 : length == 3 ? 0x0F : 0x1F);
    for (std::size_t i = 1; i < length && at + i < utf8.size(); ++i) {
      c = c << 6 | (static_cast<std::uint8_t>(utf8[at + i]) & 0x3F);
    }
    AppendUtf8(Upcase(c), key);
    at += length;
  }
  return key;
}

}  // namespace quorvex
