#pragma once
// The one place that decides what of an address may be written down: a log or a failure must
// never hold the account, a signed link's token or anything else a query or a proxy setting
// may carry. Addresses are redacted where they enter a failure or a log line.

#include <string>
#include <string_view>

namespace quorvex {

// What may be shown of a URL: its scheme, host, port (none when it is the scheme's default)
// and path without dot segments; never user information or fragment, and of the query only
// the names that read as plain names, every value "***" ("?md5=***&expires=***"; a part that
// is no plain "name=value" is "***" whole). However the URL is spelled (scheme or host in
// capitals, a written default port, dot segments, percent-encoding), the result is the same
// and printable ASCII. Text that is not an absolute URL is withheld whole.
std::string RedactUrl(std::string_view url);

}  // namespace quorvex
