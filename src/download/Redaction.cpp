#include "download/Redaction.h"

#include <algorithm>

#include "download/Url.h"

namespace quorvex {
namespace {

std::string MaskQueryValues(std::string_view query) {
  std::string masked;
  std::size_t start = 0;
  while (start <= query.size()) {
    const std::size_t end = std::min(query.find('&', start), query.size());
    const std::string_view pair = query.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    if (!masked.empty() || start > 0) masked += '&';
    masked += equals == std::string_view::npos ? pair : pair.substr(0, equals);
    if (equals != std::string_view::npos) masked += "=***";
    start = end + 1;
  }
  return masked;
}

}  // namespace

std::string RedactUrl(std::string_view url) {
  if (std::optional<Url> parsed = ParseUrl(url)) {
    parsed->userInfo.clear();
    parsed->hasUserInfo = false;
    if (parsed->hasQuery) parsed->query = MaskQueryValues(parsed->query);
    return parsed->ToString();
  }
  // Not a URL the client would use: no user information, nothing from a "?" or "#" on.
  const std::size_t cut = url.find_first_of("?#");
  std::string kept(url.substr(0, std::min(cut, url.size())));
  const std::size_t authority = kept.find("//");
  const std::size_t from = authority == std::string::npos ? 0 : authority + 2;
  const std::size_t at = kept.rfind('@', std::min(kept.find('/', from), kept.size()));
  if (at != std::string::npos && at >= from) kept.erase(from, at + 1 - from);
  if (cut != std::string_view::npos) kept += " [rest withheld]";
  return kept;
}

}  // namespace quorvex
