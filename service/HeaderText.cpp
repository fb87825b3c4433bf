#include "HeaderText.h"

#include <array>
#include <cstdint>

#include "text/AsciiCase.h"

namespace quorvex::service {
namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

constexpr std::array<std::int8_t, 256> MakeBase64Table() {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  }
  return table;
}

constexpr std::array<std::int8_t, 256> kBase64Table = MakeBase64Table();

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (text.size() - i < 3) return std::nullopt;
    const int high = HexDigitValue(text[i + 1]);
    const int low = HexDigitValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = (text[text.size() - 2] == '=') ? 2 : 1;
  const std::size_t dataLength = text.size() - padding;

  std::string out;
  out.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  int bitCount = 0;
  for (std::size_t i = 0; i < dataLength; ++i) {
    const std::int8_t value = kBase64Table[static_cast<unsigned char>(text[i])];
    if (value < 0) return std::nullopt;  // also a "=" before the padding
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      out += static_cast<char>((bits >> bitCount) & 0xFFu);
    }
  }
  // Leftover bits must be zero padding, or another text would decode to the same bytes.
  if (bitCount > 0 && (bits & ((1u << bitCount) - 1u)) != 0) return std::nullopt;
  return out;
}

std::optional<std::string> DecodeHeaderValue(std::string_view value) {
  const auto base64 = PercentDecode(value);
  if (!base64) return std::nullopt;
  auto text = Base64Decode(*base64);
  if (!text || !IsValidUtf8(*text)) return std::nullopt;
  return text;
}

std::optional<BasicCredentials> ParseBasicAuthorization(std::string_view value) {
  constexpr std::string_view scheme = "Basic ";
  if (!StartsWithIgnoreCase(value, scheme)) return std::nullopt;
  std::string_view token = value.substr(scheme.size());
  while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
  while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
  const auto decoded = Base64Decode(token);
  if (!decoded) return std::nullopt;
  const std::size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return BasicCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

}  // namespace quorvex::service
