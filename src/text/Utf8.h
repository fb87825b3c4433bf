#pragma once
// Well-formed UTF-8, as every layer that takes text from outside checks it.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvex {

// The length of the well-formed UTF-8 sequence at text[at] (1 to 4) with its code point, or 0
// when none starts there: no overlong forms, no UTF-16 surrogates, nothing above U+10FFFF,
// nothing cut short.
std::size_t DecodeUtf8(std::string_view text, std::size_t at, std::uint32_t& codePoint);

// Every sequence of the text is well-formed (see DecodeUtf8).
bool IsValidUtf8(std::string_view text);

}  // namespace quorvex
