#include "download/HeaderValue.h"

#include <algorithm>

#include "download/HttpText.h"

namespace quorvex {
namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kBase64LineLength = 76;

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned group = (static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16) |
                           (static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
    out += kBase64Alphabet[(group >> 18) & 63];
    out += kBase64Alphabet[(group >> 12) & 63];
    out += kBase64Alphabet[(group >> 6) & 63];
    out += kBase64Alphabet[group & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned group = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) group |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kBase64Alphabet[(group >> 18) & 63];
    out += kBase64Alphabet[(group >> 12) & 63];
    out += rest == 2 ? kBase64Alphabet[(group >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string EncodeBase64Lines(std::string_view bytes) {
  const std::string flat = EncodeBase64(bytes);
  std::string out;
  out.reserve(flat.size() + flat.size() / kBase64LineLength * 2);
  for (std::size_t pos = 0; pos < flat.size(); pos += kBase64LineLength) {
    const std::size_t length = std::min(kBase64LineLength, flat.size() - pos);
    out.append(flat, pos, length);
    if (length == kBase64LineLength) out += "\r\n";
  }
  return out;
}

std::string RemoveLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}

// The encoder breaks long output into lines; a header value must be one line.
std::string EncodeHeaderValue(std::string_view text) { return RemoveLineBreaks(EncodeBase64Lines(text)); }

std::string PercentEncodeHeaderText(std::string_view text) {
  return PercentEncode(text, [](char c) { return IsAsciiLetter(c) || IsAsciiDigit(c) || c == '-' || c == '.' || c == '_'; });
}

}  // namespace quorvex
