#include "ByteRange.h"

#include <optional>

#include "text/AsciiCase.h"

namespace quorvex::service {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Plain decimal digits that fit in 64 bits; no sign, no spaces.
std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

}  // namespace

ByteRangeAnswer ParseByteRange(std::string_view value, std::uint64_t size) {
  const ByteRangeAnswer whole;
  value = Trim(value);
  if (!StartsWithIgnoreCase(value, "bytes=")) return whole;
  const std::string_view ranges = Trim(value.substr(6));
  // Several ranges would need a multipart body; the whole file serves such a client as well.
  if (ranges.find(',') != std::string_view::npos) return whole;
  const std::size_t dash = ranges.find('-');
  if (dash == std::string_view::npos) return whole;
  const std::string_view firstText = Trim(ranges.substr(0, dash));
  const std::string_view lastText = Trim(ranges.substr(dash + 1));

  if (firstText.empty()) {  // suffix form: the last N bytes
    const auto count = ParseNumber(lastText);
    if (!count) return whole;
    if (*count == 0 || size == 0) return {ByteRangeAnswer::Unsatisfiable, 0, 0};
    const std::uint64_t length = *count < size ? *count : size;
    return {ByteRangeAnswer::Part, size - length, size - 1};
  }
  const auto first = ParseNumber(firstText);
  if (!first) return whole;
  std::uint64_t last = size == 0 ? 0 : size - 1;
  if (!lastText.empty()) {
    const auto given = ParseNumber(lastText);
    if (!given || *given < *first) return whole;
    if (*given < last) last = *given;
  }
  if (*first >= size) return {ByteRangeAnswer::Unsatisfiable, 0, 0};
  return {ByteRangeAnswer::Part, *first, last};
}

}  // namespace quorvex::service
