#pragma once
// ASCII text helpers for HTTP names and values (trimming, header lookup); the case rules
// come with text/AsciiCase.h.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/Transport.h"
#include "text/AsciiCase.h"

namespace quorvex {

constexpr bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Removes spaces, tabs and other control characters from both ends.
std::string_view TrimAscii(std::string_view text);
// The value of the first header with this name (compared without regard to case).
std::optional<std::string> FindHeader(const std::vector<HttpHeader>& headers, std::string_view name);
// Every byte for which keep is false becomes "%" and two upper-case hexadecimal digits.
std::string PercentEncode(std::string_view text, bool (*keep)(char));

}  // namespace quorvex
