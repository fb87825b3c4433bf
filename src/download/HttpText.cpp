#include "download/HttpText.h"

namespace quorvex {

std::string_view TrimAscii(std::string_view text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == '\x7f'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string PercentEncode(std::string_view text, bool (*keep)(char)) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (keep(c)) {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::optional<std::string> FindHeader(const std::vector<HttpHeader>& headers, std::string_view name) {
  for (const HttpHeader& header : headers) {
    if (EqualsIgnoreCase(header.name, name)) return header.value;
  }
  return std::nullopt;
}

}  // namespace quorvex
