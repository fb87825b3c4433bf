#pragma once
// Absolute URLs as the client uses them: parsing, resolving a redirect's location,
// normalising the endpoint text, and comparing origins.

#include <optional>
#include <string>
#include <string_view>

namespace quorvex {

struct Url {
  std::string scheme;    // lower case
  std::string userInfo;  // without "@"
  bool hasUserInfo = false;
  std::string host;      // lower case; an IPv6 literal keeps its brackets
  int port = -1;         // -1 when the URL writes none
  std::string path;      // empty or beginning with "/"
  std::string query;     // without "?"
  bool hasQuery = false;

  // The written port, else the scheme's default (80, 443), else -1.
  int EffectivePort() const;
  // The URL as sent: no fragment, and no port when it equals the scheme's default.
  std::string ToString() const;
};

// Parses an absolute URL with an authority ("scheme://host..."); the fragment is dropped.
// Returns nullopt for anything else, an empty host, or a port that is not 0-65535.
std::optional<Url> ParseUrl(std::string_view text);

// Resolves a reference (absolute, "//host...", "/path", "path", "?query") against a base URL.
std::optional<Url> ResolveUrl(const Url& base, std::string_view reference);

// The path without its "." and ".." segments.
std::string RemoveDotSegments(std::string_view path);

// The endpoint text as requested: trimmed, "http://" put in front when it names no scheme,
// one trailing "/" removed.
std::string NormalizeEndpointText(std::string_view text);

// Same scheme, host and effective port.
bool SameOrigin(const Url& a, const Url& b);

}  // namespace quorvex
