#include "download/HttpText.h"

namespace quorvex {

std::string_view TrimAscii(std::string_view text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == '\x7f'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<std::string> FindHeader(const std::vector<HttpHeader>& headers, std::string_view name) {
  for (const HttpHeader& header : headers) {
    if (EqualsIgnoreCase(header.name, name)) return header.value;
  }
  return std::nullopt;
}

}  // namespace quorvex
