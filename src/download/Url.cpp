#include "download/Url.h"

#include "download/HttpText.h"

namespace quorvex {
namespace {

int DefaultPort(std::string_view scheme) {
  if (scheme == "http") return 80;
  if (scheme == "https") return 443;
  return -1;
}

// Length of a leading "scheme:" (without the colon), or 0 when the text begins with none.
std::size_t SchemeLength(std::string_view text) {
  if (text.empty() || !IsAsciiLetter(text[0])) return 0;
  for (std::size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ':') return i;
    if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '+' && c != '-' && c != '.') return 0;
  }
  return 0;
}

// Host names, IPv4 addresses, and bracketed IPv6 literals; anything else (a backslash, a
// second "@") could be read differently by the transport than by the origin check.
bool IsValidHost(std::string_view host) {
  if (host.front() == '[') {
    return host.size() > 2 && host.back() == ']' &&
           host.substr(1, host.size() - 2).find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos;
  }
  return host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._") ==
         std::string_view::npos;
}

// Percent-encodes what may not appear raw in a request line (controls, space, non-ASCII,
// quotes and angle brackets); everything else, "%" included, stays as written.
std::string EscapeUnsafe(std::string_view text) {
  return PercentEncode(text, [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7F && c != '"' && c != '<' && c != '>';
  });
}

// Parses "//authority" (the slashes already removed) into the URL; false when invalid.
bool ParseAuthority(std::string_view authority, Url& url) {
  const std::size_t at = authority.rfind('@');
  url.hasUserInfo = at != std::string_view::npos;
  url.userInfo = url.hasUserInfo ? EscapeUnsafe(authority.substr(0, at)) : std::string();
  std::string_view hostPort = url.hasUserInfo ? authority.substr(at + 1) : authority;

  std::string_view host;
  std::string_view port;
  bool hasPort = false;
  if (!hostPort.empty() && hostPort.front() == '[') {
    const std::size_t close = hostPort.find(']');
    if (close == std::string_view::npos) return false;
    host = hostPort.substr(0, close + 1);
    const std::string_view rest = hostPort.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      hasPort = true;
      port = rest.substr(1);
    }
  } else {
    const std::size_t colon = hostPort.find(':');
    host = hostPort.substr(0, colon);
    if (colon != std::string_view::npos) {
      hasPort = true;
      port = hostPort.substr(colon + 1);
    }
  }
  if (host.empty() || !IsValidHost(host) || url.userInfo.find('\\') != std::string::npos) return false;
  url.host = ToLowerAscii(host);
  url.port = -1;
  if (hasPort && !port.empty()) {
    if (port.size() > 5) return false;
    int value = 0;
    for (const char c : port) {
      if (!IsAsciiDigit(c)) return false;
      value = value * 10 + (c - '0');
    }
    if (value > 65535) return false;
    url.port = value;
  }
  return true;
}

// Splits "path?query#fragment" into the URL's path and query; the fragment is dropped.
void SetPathAndQuery(std::string_view rest, Url& url) {
  rest = rest.substr(0, rest.find('#'));
  const std::size_t question = rest.find('?');
  url.path = EscapeUnsafe(rest.substr(0, question));
  url.hasQuery = question != std::string_view::npos;
  url.query = url.hasQuery ? EscapeUnsafe(rest.substr(question + 1)) : std::string();
}

}  // namespace

std::string RemoveDotSegments(std::string_view input) {
  std::string output;
  while (!input.empty()) {
    if (input.substr(0, 3) == "../") {
      input.remove_prefix(3);
    } else if (input.substr(0, 2) == "./") {
      input.remove_prefix(2);
    } else if (input.substr(0, 3) == "/./") {
      input.remove_prefix(2);
    } else if (input == "/.") {
      input = "/";
    } else if (input.substr(0, 4) == "/../" || input == "/..") {
      input = input.size() == 3 ? std::string_view("/") : input.substr(3);
      const std::size_t last = output.rfind('/');
      output.erase(last == std::string::npos ? 0 : last);
    } else if (input == "." || input == "..") {
      input = {};
    } else {
      const std::size_t next = input.find('/', 1);
      const std::size_t length = next == std::string_view::npos ? input.size() : next;
      output.append(input.substr(0, length));
      input.remove_prefix(length);
    }
  }
  return output;
}

namespace {

std::string MergePaths(const Url& base, std::string_view referencePath) {
  std::string merged = base.path.empty() ? std::string("/") : base.path.substr(0, base.path.rfind('/') + 1);
  merged.append(referencePath);
  return merged;
}

}  // namespace

int Url::EffectivePort() const { return port >= 0 ? port : DefaultPort(scheme); }

std::string Url::ToString() const {
  std::string text = scheme + "://";
  if (hasUserInfo) text += userInfo + "@";
  text += host;
  if (port >= 0 && port != DefaultPort(scheme)) {
    text += ':';
    text += std::to_string(port);
  }
  text += path;
  if (hasQuery) text += "?" + query;
  return text;
}

std::optional<Url> ParseUrl(std::string_view text) {
  const std::size_t schemeLength = SchemeLength(text);
  if (schemeLength == 0 || text.substr(schemeLength, 3) != "://") return std::nullopt;
  Url url;
  url.scheme = ToLowerAscii(text.substr(0, schemeLength));
  const std::string_view afterScheme = text.substr(schemeLength + 3);
  const std::size_t authorityEnd = afterScheme.find_first_of("/?#");
  if (!ParseAuthority(afterScheme.substr(0, authorityEnd), url)) return std::nullopt;
  SetPathAndQuery(authorityEnd == std::string_view::npos ? std::string_view() : afterScheme.substr(authorityEnd), url);
  return url;
}

std::optional<Url> ResolveUrl(const Url& base, std::string_view reference) {
  reference = TrimAscii(reference);
  if (SchemeLength(reference) > 0) {
    std::optional<Url> url = ParseUrl(reference);
    if (url) url->path = RemoveDotSegments(url->path);
    return url;
  }
  if (reference.substr(0, 2) == "//") return ResolveUrl(base, base.scheme + ":" + std::string(reference));

  Url url = base;
  Url relative;
  SetPathAndQuery(reference, relative);
  if (relative.path.empty()) {
    if (relative.hasQuery) {
      url.hasQuery = true;
      url.query = relative.query;
    }
    return url;
  }
  url.path = RemoveDotSegments(relative.path.front() == '/' ? relative.path : MergePaths(base, relative.path));
  url.hasQuery = relative.hasQuery;
  url.query = relative.query;
  return url;
}

std::string NormalizeEndpointText(std::string_view text) {
  std::string url(TrimAscii(text));
  if (url.find("://") == std::string::npos) url.insert(0, "http://");
  if (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

bool SameOrigin(const Url& a, const Url& b) {
  return a.scheme == b.scheme && a.host == b.host && a.EffectivePort() == b.EffectivePort();
}

}  // namespace quorvex
