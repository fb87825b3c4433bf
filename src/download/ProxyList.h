#pragma once
// The proxy settings' text, read once by portable code: the lists the user's settings,
// WinHTTP and configuration scripts give ("a:8080", "a:8080;b:3128", "a:8080 b:80",
// "http=a:8080;https=b:3128", "http://a:8080", "PROXY a:8080; DIRECT") and bypass lists
// ("<local>;*.corp.example"). The transport asks it which proxies serve a request and what
// of them the log may show.

#include <string>
#include <string_view>
#include <vector>

namespace quorvex {

struct ProxyEntry {
  std::string scheme;  // the request scheme a per-scheme entry serves ("https" of "https=b:3128"); empty: any
  bool direct = false; // "DIRECT": no proxy
  std::string host;    // lower case; an IPv6 literal keeps its brackets
  int port = 80;       // as written, else 80
  // The address as WinHTTP takes it and the log shows it: "host:port" (or "DIRECT").
  std::string Address() const;
};

struct ProxyList {
  std::vector<ProxyEntry> entries;  // the readable entries, in order; user information dropped
  // What the log may show of the setting: each readable entry as "[scheme=]host:port", an
  // entry that could not be read, or that could be part of a user name or password, as
  // "[withheld]". No user information or password ever, even when it holds ";", "=" or "@".
  std::string shown;
};

ProxyList ParseProxyList(std::string_view text);

// The proxies that serve a request of this scheme ("http", "https"), in the order to try them:
// the entries for that scheme and those for any scheme. None: the request goes direct.
std::vector<ProxyEntry> ProxiesFor(const ProxyList& list, std::string_view requestScheme);

// Whether a bypass list sends a host direct: "<local>" for names without a dot, and patterns
// with "*" ("*.corp.example", "10.*"), an optional scheme ("https://") and port ignored;
// compared without regard to case. Entries are separated by ";", "," or white space.
bool Bypasses(std::string_view bypassList, std::string_view host);

}  // namespace quorvex
