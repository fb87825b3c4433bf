#include "download/Redaction.h"

#include <algorithm>

#include "download/HttpText.h"
#include "download/Url.h"

namespace quorvex {
namespace {

// A query name worth keeping: short, and nothing a value could hide in (no "%", no "=").
bool IsPlainName(std::string_view name) {
  return !name.empty() && name.size() <= 32 &&
         std::all_of(name.begin(), name.end(),
                     [](char c) { return IsAsciiLetter(c) || IsAsciiDigit(c) || c == '_' || c == '-' || c == '.'; });
}

std::string MaskQuery(std::string_view query) {
  std::string masked;
  std::size_t start = 0;
  while (start <= query.size()) {
    const std::size_t end = std::min(query.find('&', start), query.size());
    const std::string_view pair = query.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    if (start > 0) masked += '&';
    if (equals != std::string_view::npos && IsPlainName(pair.substr(0, equals))) {
      masked.append(pair.substr(0, equals)).append("=***");
    } else if (!pair.empty()) {
      masked += "***";  // a bare token may be the secret itself
    }
    start = end + 1;
  }
  return masked;
}

}  // namespace

std::string RedactUrl(std::string_view url) {
  std::optional<Url> parsed = ParseUrl(TrimAscii(url));
  if (!parsed) {
    return url.empty() ? std::string() : "[not a URL: " + std::to_string(url.size()) + " bytes withheld]";
  }
  Url shown;
  shown.scheme = parsed->scheme;
  shown.host = parsed->host;
  shown.port = parsed->port;
  shown.path = RemoveDotSegments(parsed->path);
  shown.hasQuery = parsed->hasQuery;
  if (parsed->hasQuery) shown.query = MaskQuery(parsed->query);
  return shown.ToString();
}

}  // namespace quorvex
