#pragma once
// ASCII text helpers for HTTP names and values (case rules, trimming, header lookup).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/Transport.h"

namespace quorvex {

std::string ToLowerAscii(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// Removes spaces, tabs and other control characters from both ends.
std::string_view TrimAscii(std::string_view text);
// The value of the first header with this name (compared without regard to case).
std::optional<std::string> FindHeader(const std::vector<HttpHeader>& headers, std::string_view name);

}  // namespace quorvex
