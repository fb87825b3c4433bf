#pragma once
// Well-formed UTF-8, as every layer that takes text from outside checks it.

#include <string_view>

namespace quorvex {

// No overlong forms, no UTF-16 surrogates, nothing above U+10FFFF, nothing cut short.
bool IsValidUtf8(std::string_view text);

}  // namespace quorvex
