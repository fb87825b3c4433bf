#pragma once
// ASCII case rules for protocol names and values: only A-Z and a-z fold, every other byte
// (UTF-8 included) compares as it is. Used by the download client, the unpacker's name
// rules and the download service alike.

#include <string>
#include <string_view>

namespace quorvex {

constexpr char ToLowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
std::string ToLowerAscii(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);
bool EndsWithIgnoreCase(std::string_view text, std::string_view suffix);

}  // namespace quorvex
