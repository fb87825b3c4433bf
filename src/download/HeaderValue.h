#pragma once
// Values of the download service's custom request headers.

#include <string>
#include <string_view>

namespace quorvex {

// Standard Base64 of the text's UTF-8 bytes, as one line.
std::string EncodeHeaderValue(std::string_view text);
// The text with every CR LF pair removed; a lone CR or LF stays.
std::string RemoveLineBreaks(std::string_view text);

// Standard Base64 (RFC 4648 alphabet, "=" padding) without line breaks.
std::string EncodeBase64(std::string_view bytes);
// Standard Base64 broken into lines of 76 characters, each full line ended by CR LF (so the
// output ends in CR LF when the input's length is a multiple of 57).
std::string EncodeBase64Lines(std::string_view bytes);
// How a custom header name or value is written on the wire: every byte other than ASCII
// letters, digits, "-", "." and "_" becomes "%" and two upper-case hexadecimal digits.
std::string PercentEncodeHeaderText(std::string_view text);

}  // namespace quorvex
