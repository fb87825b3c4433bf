#include "download/ResponseHead.h"

#include "download/HttpText.h"

namespace quorvex {
namespace {

std::string_view NextLine(std::string_view& raw) {
  const std::size_t end = raw.find('\n');
  std::string_view line = raw.substr(0, end);
  raw.remove_prefix(end == std::string_view::npos ? raw.size() : end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

std::optional<TransportResponseHead> ParseResponseHead(std::string_view raw) {
  TransportResponseHead head;
  const std::string_view statusLine = NextLine(raw);
  const std::size_t space = statusLine.find(' ');
  if (space == std::string_view::npos || statusLine.substr(0, 5) != "HTTP/") return std::nullopt;
  head.protocol = std::string(statusLine.substr(0, space));
  if (head.protocol == "HTTP/2") head.protocol = "HTTP/2.0";
  const std::string_view rest = statusLine.substr(space + 1);
  if (rest.size() < 3 || !IsAsciiDigit(rest[0]) || !IsAsciiDigit(rest[1]) || !IsAsciiDigit(rest[2]) ||
      (rest.size() > 3 && rest[3] != ' '))
    return std::nullopt;
  head.status = (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
  head.reason = std::string(TrimAscii(rest.substr(3)));
  while (!raw.empty()) {
    const std::string_view line = NextLine(raw);
    if (line.empty()) break;  // the end of the head
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    head.headers.push_back({std::string(TrimAscii(line.substr(0, colon))), std::string(TrimAscii(line.substr(colon + 1)))});
  }
  return head;
}

}  // namespace quorvex
