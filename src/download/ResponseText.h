#pragma once
// Reading a response body as text: which media types are text, and whether the bytes are
// valid text in the declared charset.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex {

enum class MediaTypeKind {
  Text,     // text/*, JSON, XML, script and form types, or no media type declared
  Binary,   // never read as text (archives, octet streams, images, ...)
  Unknown,  // read as text when possible; a failed reading does not matter
};

struct ContentType {
  std::string mediaType;  // lower case "type/subtype"; empty when none is declared
  std::string charset;    // lower case; empty when none is declared
};

ContentType ParseContentType(std::string_view headerValue);
MediaTypeKind ClassifyMediaType(std::string_view mediaType);

// Checks that the body is text in the charset (strict UTF-8 when empty). Returns nullopt when
// it is, else what is wrong, e.g. "The response body is not valid utf-8 text".
std::optional<std::string> CheckText(const std::vector<std::uint8_t>& body, std::string_view charset);

}  // namespace quorvex
