#include "download/ProxyList.h"

#include <algorithm>

#include "download/HttpText.h"

namespace quorvex {
namespace {

constexpr std::string_view kSeparators = "; \t\r\n";

std::vector<std::string_view> Tokens(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> tokens;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find_first_of(separators, at), text.size());
    if (end > at) tokens.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return tokens;
}

bool IsSchemeName(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return IsAsciiLetter(c); });
}

bool IsHostName(std::string_view host) {
  if (host.empty()) return false;
  if (host.front() == '[') {
    return host.size() > 2 && host.back() == ']' &&
           host.substr(1, host.size() - 2).find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos;
  }
  return std::all_of(host.begin(), host.end(), [](char c) {
    return IsAsciiLetter(c) || IsAsciiDigit(c) || c == '-' || c == '.' || c == '_';
  });
}

// "host[:port]" into the entry; false when either part is not what it should be.
bool ReadAddress(std::string_view address, ProxyEntry& entry) {
  std::string_view host = address;
  std::string_view port;
  const std::size_t close = address.find(']');
  const std::size_t colon = address.find(':', close == std::string_view::npos ? 0 : close);
  if (colon != std::string_view::npos) {
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
    while (!port.empty() && port.back() == '/') port.remove_suffix(1);  // "http://a:8080/"
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), IsAsciiDigit)) return false;
    entry.port = std::stoi(std::string(port));
    if (entry.port == 0 || entry.port > 65535) return false;
  }
  if (!IsHostName(host)) return false;
  entry.host = ToLowerAscii(host);
  return true;
}

// One entry: "[scheme=][scheme://][userinfo@]host[:port]" or "DIRECT". withCredentials says
// whether it carried user information.
bool ReadEntry(std::string_view token, ProxyEntry& entry, bool& withCredentials) {
  entry = {};
  if (const std::size_t equals = token.find('='); equals != std::string_view::npos) {
    // Only the schemes a setting names: anything else before "=" may be a user name.
    const std::string scheme = ToLowerAscii(token.substr(0, equals));
    if (scheme != "http" && scheme != "https" && scheme != "ftp" && scheme != "socks" && scheme != "gopher") {
      withCredentials = token.find('@') != std::string_view::npos;
      return false;
    }
    entry.scheme = scheme;
    token.remove_prefix(equals + 1);
  }
  if (const std::size_t slashes = token.find("://"); slashes != std::string_view::npos && IsSchemeName(token.substr(0, slashes)))
    token.remove_prefix(slashes + 3);
  const std::size_t at = token.rfind('@');
  withCredentials = at != std::string_view::npos;
  if (withCredentials) token.remove_prefix(at + 1);
  if (EqualsIgnoreCase(token, "DIRECT")) {
    entry.direct = true;
    return true;
  }
  return ReadAddress(token, entry);
}

}  // namespace

std::string ProxyEntry::Address() const { return direct ? std::string("DIRECT") : host + ":" + std::to_string(port); }

ProxyList ParseProxyList(std::string_view text) {
  ProxyList list;
  // A list written with a user name or password anywhere: an entry without "@" of its own may
  // be a piece of a password that held a separator, so only the entries that ended one show.
  const bool credentialsWritten = text.find('@') != std::string_view::npos;
  const std::vector<std::string_view> tokens = Tokens(text, kSeparators);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string_view token = tokens[i];
    // A script's keywords before an address ("PROXY a:8080"); SOCKS is not for HTTP.
    if (EqualsIgnoreCase(token, "PROXY") || EqualsIgnoreCase(token, "HTTP") || EqualsIgnoreCase(token, "HTTPS")) continue;
    if (EqualsIgnoreCase(token, "SOCKS") || EqualsIgnoreCase(token, "SOCKS4") || EqualsIgnoreCase(token, "SOCKS5")) {
      ++i;
      continue;
    }
    ProxyEntry entry;
    bool withCredentials = false;
    const bool readable = ReadEntry(token, entry, withCredentials);
    if (readable && entry.scheme != "socks") list.entries.push_back(entry);
    if (!list.shown.empty()) list.shown += ';';
    if (!readable || (credentialsWritten && !withCredentials && !entry.direct)) {
      list.shown += "[withheld]";
    } else {
      list.shown += (entry.scheme.empty() ? std::string() : entry.scheme + "=") + entry.Address();
    }
  }
  return list;
}

std::vector<ProxyEntry> ProxiesFor(const ProxyList& list, std::string_view requestScheme) {
  std::vector<ProxyEntry> serving;
  for (const ProxyEntry& entry : list.entries) {
    if (entry.scheme.empty() || EqualsIgnoreCase(entry.scheme, requestScheme)) serving.push_back(entry);
  }
  return serving;
}

namespace {

// "*" stands for any run of characters; everything else compares without regard to case.
bool Matches(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return text.empty();
  if (pattern.front() == '*') {
    for (std::size_t skip = 0; skip <= text.size(); ++skip) {
      if (Matches(pattern.substr(1), text.substr(skip))) return true;
    }
    return false;
  }
  return !text.empty() && ToLowerAscii(pattern.substr(0, 1)) == ToLowerAscii(text.substr(0, 1)) &&
         Matches(pattern.substr(1), text.substr(1));
}

}  // namespace

bool Bypasses(std::string_view bypassList, std::string_view host) {
  if (!host.empty() && host.front() == '[') host = host.substr(1, host.size() - 2);
  for (std::string_view pattern : Tokens(bypassList, "; ,\t\r\n")) {
    if (EqualsIgnoreCase(pattern, "<local>")) {
      if (host.find('.') == std::string_view::npos && host.find(':') == std::string_view::npos) return true;
      continue;
    }
    if (const std::size_t slashes = pattern.find("://"); slashes != std::string_view::npos) pattern.remove_prefix(slashes + 3);
    if (const std::size_t colon = pattern.rfind(':');
        colon != std::string_view::npos && pattern.find(']') == std::string_view::npos && pattern.find(':') == colon)
      pattern = pattern.substr(0, colon);
    if (!pattern.empty() && pattern.front() == '[') pattern = pattern.substr(1, pattern.find(']') - 1);
    if (Matches(pattern, host)) return true;
  }
  return false;
}

}  // namespace quorvex
