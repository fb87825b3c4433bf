#pragma once
// Names compared as Windows compares file names: each UTF-16 unit mapped to its simple upper
// case (NTFS keeps such a table in every volume), nothing else folded: no normalization, no
// special casing ("ß" stays), units outside the Basic Multilingual Plane as they are.

#include <string>
#include <string_view>

namespace quorvex {

// The upper-cased form of a valid UTF-8 name, in UTF-8: two names are one file on Windows when
// their forms are equal.
std::string WindowsNameKey(std::string_view utf8);

}  // namespace quorvex
