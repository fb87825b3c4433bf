#include "text/Utf8.h"

namespace quorvex {

std::size_t DecodeUtf8(std::string_view text, std::size_t at, std::uint32_t& codePoint) {
  const auto lead = static_cast<std::uint8_t>(text[at]);
  std::size_t length = 0;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<std::uint8_t>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    codePoint = codePoint << 6 | (next & 0x3Fu);
  }
  // Overlong forms, UTF-16 surrogates and values beyond U+10FFFF are not UTF-8.
  if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) || codePoint > 0x10FFFF ||
      (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
    return 0;
  }
  return length;
}

bool IsValidUtf8(std::string_view text) {
  std::uint32_t codePoint = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = DecodeUtf8(text, i, codePoint);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace quorvex
