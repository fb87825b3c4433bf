#include "download/CookieJar.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>

#include "download/HttpText.h"

namespace quorvex {
namespace {

bool IsDateDelimiter(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b == 0x09 || (b >= 0x20 && b <= 0x2F) || (b >= 0x3B && b <= 0x40) || (b >= 0x5B && b <= 0x60) ||
         (b >= 0x7B && b <= 0x7E);
}

// Reads 1 to maxDigits leading digits; the rest of the token must not start with a digit.
std::optional<int> LeadingNumber(std::string_view token, std::size_t minDigits, std::size_t maxDigits,
                                 std::size_t* used = nullptr) {
  std::size_t count = 0;
  int value = 0;
  while (count < token.size() && IsAsciiDigit(token[count])) {
    if (count == maxDigits) return std::nullopt;
    value = value * 10 + (token[count] - '0');
    ++count;
  }
  if (count < minDigits) return std::nullopt;
  if (used) *used = count;
  return value;
}

std::optional<std::array<int, 3>> ParseTime(std::string_view token) {
  std::array<int, 3> parts{};
  for (std::size_t i = 0; i < 3; ++i) {
    std::size_t used = 0;
    const std::optional<int> value = LeadingNumber(token, 1, 2, &used);
    if (!value) return std::nullopt;
    parts[i] = *value;
    token.remove_prefix(used);
    if (i < 2) {
      if (token.empty() || token.front() != ':') return std::nullopt;
      token.remove_prefix(1);
    }
  }
  return parts;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

bool IsIpAddress(std::string_view host) {
  if (!host.empty() && host.front() == '[') return true;
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) { return IsAsciiDigit(c) || c == '.'; });
}

bool DomainMatches(std::string_view host, std::string_view domain) {
  if (host == domain) return true;
  return !IsIpAddress(host) && host.size() > domain.size() && host.substr(host.size() - domain.size()) == domain &&
         host[host.size() - domain.size() - 1] == '.';
}

bool PathMatches(std::string_view requestPath, std::string_view cookiePath) {
  if (requestPath == cookiePath) return true;
  if (requestPath.substr(0, cookiePath.size()) != cookiePath) return false;
  return cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/';
}

std::string DefaultPath(std::string_view requestPath) {
  if (requestPath.empty() || requestPath.front() != '/') return "/";
  const std::size_t last = requestPath.rfind('/');
  return last == 0 ? "/" : std::string(requestPath.substr(0, last));
}

std::string RequestPath(const Url& url) { return url.path.empty() ? "/" : url.path; }

std::int64_t SystemNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::optional<std::int64_t> ParseCookieDate(std::string_view text) {
  std::optional<std::array<int, 3>> time;
  std::optional<int> day;
  std::optional<int> month;
  std::optional<int> year;
  static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && IsDateDelimiter(text[pos])) ++pos;
    const std::size_t start = pos;
    while (pos < text.size() && !IsDateDelimiter(text[pos])) ++pos;
    const std::string_view token = text.substr(start, pos - start);
    if (token.empty()) continue;
    if (!time && (time = ParseTime(token))) continue;
    if (!day && (day = LeadingNumber(token, 1, 2))) continue;
    if (!month && token.size() >= 3) {
      const std::string prefix = ToLowerAscii(token.substr(0, 3));
      const auto found = std::find(std::begin(kMonths), std::end(kMonths), prefix);
      if (found != std::end(kMonths)) {
        month = static_cast<int>(found - std::begin(kMonths)) + 1;
        continue;
      }
    }
    if (!year) year = LeadingNumber(token, 2, 4);
  }
  if (!time || !day || !month || !year) return std::nullopt;
  int fullYear = *year;
  if (fullYear >= 70 && fullYear <= 99) fullYear += 1900;
  if (fullYear >= 0 && fullYear <= 69) fullYear += 2000;
  const auto [hour, minute, second] = *time;
  if (fullYear < 1601 || *day < 1 || *day > DaysInMonth(fullYear, *month) || hour > 23 || minute > 59 ||
      second > 59) {
    return std::nullopt;
  }
  return DaysFromCivil(fullYear, static_cast<unsigned>(*month), static_cast<unsigned>(*day)) * 86400 +
         hour * 3600 + minute * 60 + second;
}

CookieJar::CookieJar(Clock clock) : clock_(clock ? std::move(clock) : Clock(SystemNow)) {}

void CookieJar::Store(const Url& url, std::string_view setCookie) {
  // A control character (other than a tab) would travel back raw in the "Cookie" header.
  if (std::any_of(setCookie.begin(), setCookie.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t') || byte == 0x7F;
      })) {
    return;
  }
  const std::size_t semicolon = setCookie.find(';');
  const std::string_view pair = setCookie.substr(0, semicolon);
  const std::size_t equals = pair.find('=');
  if (equals == std::string_view::npos) return;
  Cookie cookie;
  cookie.name = std::string(TrimAscii(pair.substr(0, equals)));
  cookie.value = std::string(TrimAscii(pair.substr(equals + 1)));
  if (cookie.name.empty()) return;

  const std::int64_t now = clock_();
  std::optional<std::int64_t> maxAgeExpiry;
  std::optional<std::int64_t> dateExpiry;
  std::string domain;
  std::string path;
  std::string_view rest = semicolon == std::string_view::npos ? std::string_view() : setCookie.substr(semicolon + 1);
  while (!rest.empty()) {
    const std::size_t next = rest.find(';');
    const std::string_view attribute = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    const std::size_t attributeEquals = attribute.find('=');
    const std::string name = ToLowerAscii(TrimAscii(attribute.substr(0, attributeEquals)));
    const std::string_view value =
        attributeEquals == std::string_view::npos ? std::string_view() : TrimAscii(attribute.substr(attributeEquals + 1));
    if (name == "expires") {
      if (const auto date = ParseCookieDate(value)) dateExpiry = date;
    } else if (name == "max-age") {
      const bool negative = !value.empty() && value.front() == '-';
      const std::string_view digits = negative ? value.substr(1) : value;
      if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsAsciiDigit)) continue;
      std::int64_t seconds = 0;
      for (const char c : digits) {
        seconds = seconds > (std::numeric_limits<std::int64_t>::max() - 9) / 10 ? std::numeric_limits<std::int64_t>::max()
                                                                               : seconds * 10 + (c - '0');
      }
      maxAgeExpiry = negative || seconds == 0 ? std::numeric_limits<std::int64_t>::min()
                                              : (seconds > std::numeric_limits<std::int64_t>::max() - now
                                                     ? std::numeric_limits<std::int64_t>::max()
                                                     : now + seconds);
    } else if (name == "domain") {
      std::string_view domainValue = value;
      if (!domainValue.empty() && domainValue.front() == '.') domainValue.remove_prefix(1);
      if (!domainValue.empty()) domain = ToLowerAscii(domainValue);
    } else if (name == "path") {
      path = std::string(value);
    } else if (name == "secure") {
      cookie.secure = true;
    }
  }

  if (!domain.empty()) {
    // A single label would reach every host under it, so only the host itself may use one.
    if (!DomainMatches(url.host, domain) || (domain.find('.') == std::string::npos && domain != url.host)) return;
    cookie.hostOnly = false;
    cookie.domain = domain;
  } else {
    cookie.domain = url.host;
  }
  cookie.path = (path.empty() || path.front() != '/') ? DefaultPath(url.path) : path;
  // Only a secure origin may set a secure cookie.
  if (cookie.secure && url.scheme != "https") return;
  cookie.expires = maxAgeExpiry ? maxAgeExpiry : dateExpiry;

  const auto same = std::find_if(cookies_.begin(), cookies_.end(), [&](const Cookie& c) {
    return c.name == cookie.name && c.domain == cookie.domain && c.path == cookie.path;
  });
  if (same != cookies_.end()) {
    cookie.creation = same->creation;
    cookies_.erase(same);
  } else {
    cookie.creation = nextCreation_++;
  }
  if (cookie.expires && *cookie.expires <= now) return;
  cookies_.push_back(std::move(cookie));
}

void CookieJar::RemoveExpired(std::int64_t now) {
  cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(),
                                [now](const Cookie& c) { return c.expires && *c.expires <= now; }),
                 cookies_.end());
}

std::string CookieJar::HeaderFor(const Url& url) {
  RemoveExpired(clock_());
  const std::string requestPath = RequestPath(url);
  std::vector<const Cookie*> matching;
  for (const Cookie& cookie : cookies_) {
    const bool domainOk = cookie.hostOnly ? url.host == cookie.domain : DomainMatches(url.host, cookie.domain);
    if (domainOk && PathMatches(requestPath, cookie.path) && (!cookie.secure || url.scheme == "https")) {
      matching.push_back(&cookie);
    }
  }
  // Longer paths first, then older cookies first.
  std::stable_sort(matching.begin(), matching.end(), [](const Cookie* a, const Cookie* b) {
    if (a->path.size() != b->path.size()) return a->path.size() > b->path.size();
    return a->creation < b->creation;
  });
  std::string header;
  for (const Cookie* cookie : matching) {
    if (!header.empty()) header += "; ";
    header += cookie->name + "=" + cookie->value;
  }
  return header;
}

}  // namespace quorvex
