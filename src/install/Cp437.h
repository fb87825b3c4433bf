#pragma once
// Code page 437, the encoding of ZIP entry names that do not declare UTF-8.

#include <string>
#include <string_view>

namespace quorvex {

// Converts code page 437 text to UTF-8: 0x00-0x7F as ASCII, 0x80-0xFF through the full
// table of the code page.
std::string Cp437ToUtf8(std::string_view text);

}  // namespace quorvex
