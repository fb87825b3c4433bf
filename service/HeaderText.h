#pragma once
// Decoding of the texts a download request carries in its headers.

#include <optional>
#include <string>
#include <string_view>

// IsValidUtf8, shared with the installer.
#include "text/Utf8.h"

namespace quorvex::service {

// Undoes %XX escapes (hex digits in either case); every other byte passes as is.
// Empty when a "%" is not followed by two hex digits.
std::optional<std::string> PercentDecode(std::string_view text);

// Strict standard Base64 (RFC 4648 alphabet, "=" padding to a multiple of four, no line breaks,
// unused bits zero). Empty on any deviation, so one text has exactly one accepted spelling.
std::optional<std::string> Base64Decode(std::string_view text);

// A custom header's value as the installer sends it: percent-encoded Base64 of UTF-8 text.
// Empty when any of the three layers does not decode.
std::optional<std::string> DecodeHeaderValue(std::string_view value);

struct BasicCredentials {
  std::string user;
  std::string password;
};

// The user name and password of an "Authorization: Basic ..." value; empty for any other scheme
// or a value that does not decode to "user:password".
std::optional<BasicCredentials> ParseBasicAuthorization(std::string_view value);

}  // namespace quorvex::service
