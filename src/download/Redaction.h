#pragma once
// The one place that decides what of a URL may be written down: a log must never hold the
// account, a signed link's token or anything else a query may carry.

#include <string>
#include <string_view>

namespace quorvex {

// The URL without user information and fragment, with every query value replaced by "***"
// (names stay: "?md5=***&expires=***"). Text that is not an absolute URL is kept only up to
// its first "?", "#" or "@"-bearing authority, so nothing after those can leak either.
std::string RedactUrl(std::string_view url);

}  // namespace quorvex
