#include "download/ResponseText.h"

#include <algorithm>

#include "download/HttpText.h"
#include "text/Utf8.h"

namespace quorvex {
namespace {

bool IsValidUtf16(const std::vector<std::uint8_t>& bytes, bool bigEndian) {
  if (bytes.size() % 2 != 0) return false;
  std::size_t i = 0;
  const auto unitAt = [&](std::size_t at) -> std::uint32_t {
    return bigEndian ? (static_cast<std::uint32_t>(bytes[at]) << 8) | bytes[at + 1]
                     : (static_cast<std::uint32_t>(bytes[at + 1]) << 8) | bytes[at];
  };
  while (i < bytes.size()) {
    const std::uint32_t unit = unitAt(i);
    i += 2;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i >= bytes.size()) return false;
      const std::uint32_t low = unitAt(i);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      i += 2;
    }
  }
  return true;
}

}  // namespace

ContentType ParseContentType(std::string_view headerValue) {
  ContentType result;
  const std::size_t semicolon = headerValue.find(';');
  result.mediaType = ToLowerAscii(TrimAscii(headerValue.substr(0, semicolon)));
  std::string_view rest = semicolon == std::string_view::npos ? std::string_view() : headerValue.substr(semicolon + 1);
  while (!rest.empty()) {
    const std::size_t next = rest.find(';');
    const std::string_view parameter = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    const std::size_t equals = parameter.find('=');
    if (equals == std::string_view::npos) continue;
    if (!EqualsIgnoreCase(TrimAscii(parameter.substr(0, equals)), "charset")) continue;
    std::string_view value = TrimAscii(parameter.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    result.charset = ToLowerAscii(TrimAscii(value));
    break;
  }
  return result;
}

MediaTypeKind ClassifyMediaType(std::string_view mediaType) {
  if (mediaType.empty()) return MediaTypeKind::Text;
  const std::size_t slash = mediaType.find('/');
  const std::string_view type = mediaType.substr(0, slash);
  const std::string_view subtype = slash == std::string_view::npos ? std::string_view() : mediaType.substr(slash + 1);
  const auto endsWith = [&](std::string_view suffix) {
    return subtype.size() >= suffix.size() && subtype.substr(subtype.size() - suffix.size()) == suffix;
  };
  if (type == "text" || endsWith("+json") || endsWith("+xml")) return MediaTypeKind::Text;
  static constexpr std::string_view kTextApplications[] = {
      "json", "xml", "javascript", "x-javascript", "ecmascript", "x-www-form-urlencoded", "yaml", "x-yaml"};
  static constexpr std::string_view kBinaryApplications[] = {
      "octet-stream", "zip", "x-zip-compressed", "gzip", "x-gzip", "x-7z-compressed", "x-tar", "pdf",
      "x-msdownload", "vnd.microsoft.portable-executable", "x-msi"};
  if (type == "application") {
    if (std::find(std::begin(kTextApplications), std::end(kTextApplications), subtype) != std::end(kTextApplications)) {
      return MediaTypeKind::Text;
    }
    if (std::find(std::begin(kBinaryApplications), std::end(kBinaryApplications), subtype) !=
        std::end(kBinaryApplications)) {
      return MediaTypeKind::Binary;
    }
  }
  if (type == "image" || type == "audio" || type == "video" || type == "font") return MediaTypeKind::Binary;
  return MediaTypeKind::Unknown;
}

TextCheck CheckText(const std::vector<std::uint8_t>& body, std::string_view charset) {
  const std::string name = charset.empty() ? std::string("utf-8") : ToLowerAscii(charset);
  bool valid = false;
  if (name == "utf-8" || name == "utf8") {
    valid = IsValidUtf8(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
  } else if (name == "us-ascii" || name == "ascii") {
    valid = std::all_of(body.begin(), body.end(), [](std::uint8_t b) { return b < 0x80; });
  } else if (name == "iso-8859-1" || name == "latin1" || name == "iso_8859-1" || name == "windows-1252" ||
             name == "cp1252") {
    valid = true;  // every byte has a character
  } else if (name == "utf-16le") {
    valid = IsValidUtf16(body, false);
  } else if (name == "utf-16be") {
    valid = IsValidUtf16(body, true);
  } else if (name == "utf-16") {
    // A byte order mark decides the order; without one it is big-endian.
    const bool littleMark = body.size() >= 2 && body[0] == 0xFF && body[1] == 0xFE;
    valid = IsValidUtf16(body, !littleMark);
  } else {
    return TextCheck::kUnsupportedCharset;
  }
  return valid ? TextCheck::kValid : TextCheck::kInvalid;
}

}  // namespace quorvex
