#pragma once
// Reading a response body as text: which media types are text, and whether the bytes are
// valid text in the declared charset.

#include <cstdint>
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

enum class TextCheck {
  kValid,
  kInvalid,             // not valid text in the charset
  kUnsupportedCharset,  // a charset the client cannot read
};

// Whether the body is text in the charset (strict UTF-8 when empty).
TextCheck CheckText(const std::vector<std::uint8_t>& body, std::string_view charset);

}  // namespace quorvex
