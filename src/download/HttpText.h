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

// Removes spaces, tabs and other control characters from both ends.
std::string_view TrimAscii(std::string_view text);
// The value of the first header with this name (compared without regard to case).
std::optional<std::string> FindHeader(const std::vector<HttpHeader>& headers, std::string_view name);

}  // namespace quorvex
