#pragma once
// Cookies kept for the client's life: stored from every response's "Set-Cookie" headers and
// sent back on later requests whose URL they match (domain, path, secure, expiry).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/Url.h"

namespace quorvex {

class CookieJar {
 public:
  // Seconds since 1970-01-01 UTC; injectable so that tests control expiry.
  using Clock = std::function<std::int64_t()>;

  explicit CookieJar(Clock clock = {});

  // Stores (or replaces, or with a past expiry removes) the cookie of one "Set-Cookie" value
  // received from url. Malformed values and cookies for a domain url's host may not set are
  // ignored.
  void Store(const Url& url, std::string_view setCookie);
  // The "Cookie" header value for a request to url ("a=1; b=2"); empty when nothing matches.
  std::string HeaderFor(const Url& url);
  std::size_t Count() const { return cookies_.size(); }

 private:
  struct Cookie {
    std::string name;
    std::string value;
    std::string domain;
    std::string path;
    bool hostOnly = true;
    bool secure = false;
    std::optional<std::int64_t> expires;  // none: lives as long as the jar
    std::uint64_t creation = 0;
  };

  void RemoveExpired(std::int64_t now);

  Clock clock_;
  std::vector<Cookie> cookies_;
  std::uint64_t nextCreation_ = 0;
};

// Parses a cookie date ("Wed, 09 Jun 2021 10:18:14 GMT" and the other forms servers send)
// to seconds since 1970-01-01 UTC; nullopt when it is not a valid date.
std::optional<std::int64_t> ParseCookieDate(std::string_view text);

}  // namespace quorvex
