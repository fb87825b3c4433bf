#include "download/ProxyList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvex {
namespace {

std::vector<std::string> Addresses(const std::vector<ProxyEntry>& entries) {
  std::vector<std::string> addresses;
  for (const ProxyEntry& entry : entries) addresses.push_back(entry.Address());
  return addresses;
}

// Every form the settings, WinHTTP and configuration scripts write a proxy list in: which
// proxies serve an http and an https request, in order, and what the log may show.
TEST(ProxyList, ReadsEveryFormOnceAndShowsNoCredentials) {
  using List = std::vector<std::string>;
  const struct {
    const char* text;
    List http, https;
    const char* shown;
  } cases[] = {
      {"proxy.corp:8080", {"proxy.corp:8080"}, {"proxy.corp:8080"}, "proxy.corp:8080"},
      {"Proxy.Corp", {"proxy.corp:80"}, {"proxy.corp:80"}, "proxy.corp:80"},
      {"a:8080;b:3128", {"a:8080", "b:3128"}, {"a:8080", "b:3128"}, "a:8080;b:3128"},
      {" a:8080  b:80 ;", {"a:8080", "b:80"}, {"a:8080", "b:80"}, "a:8080;b:80"},
      {"http=a:8080;https=b:3128", {"a:8080"}, {"b:3128"}, "http=a:8080;https=b:3128"},
      {"HTTPS=b:3128;http=a:8080;ftp=f:21", {"a:8080"}, {"b:3128"}, "https=b:3128;http=a:8080;ftp=f:21"},
      {"http=a:8080", {"a:8080"}, {}, "http=a:8080"},
      {"https=b:3128;c:8080", {"c:8080"}, {"b:3128", "c:8080"}, "https=b:3128;c:8080"},
      {"http://a:8080/", {"a:8080"}, {"a:8080"}, "a:8080"},
      {"[::1]:3128;[fe80::1]", {"[::1]:3128", "[fe80::1]:80"}, {"[::1]:3128", "[fe80::1]:80"}, "[::1]:3128;[fe80::1]:80"},
      {"PROXY a:8080; PROXY b:3128; DIRECT", {"a:8080", "b:3128", "DIRECT"}, {"a:8080", "b:3128", "DIRECT"},
       "a:8080;b:3128;DIRECT"},
      {"a:8080;DIRECT", {"a:8080", "DIRECT"}, {"a:8080", "DIRECT"}, "a:8080;DIRECT"},
      {"SOCKS s:1080; socks=s:1080; a:8080", {"a:8080"}, {"a:8080"}, "socks=s:1080;a:8080"},
      {"a:99999;b:0;c:80x;d e:8080", {"d:80", "e:8080"}, {"d:80", "e:8080"}, "[withheld];[withheld];[withheld];d:80;e:8080"},
      {"", {}, {}, ""},
      // User information is dropped from the entry; a password's ";", "=" or "@" leaves no piece.
      {"http=alice:pa=ss@proxy:8080", {"proxy:8080"}, {}, "http=proxy:8080"},
      {"http://alice:pw@a:8080;b:3128", {"a:8080", "b:3128"}, {"a:8080", "b:3128"}, "a:8080;[withheld]"},
      {"http=alice:pa;ss@proxy:8080", {"proxy:8080"}, {"proxy:8080"}, "[withheld];proxy:8080"},
      {"https=bob:x@y@b:3128", {}, {"b:3128"}, "https=b:3128"},
      {"bob=secret@proxy:8080", {}, {}, "[withheld]"},
  };
  for (const auto& c : cases) {
    const ProxyList list = ParseProxyList(c.text);
    EXPECT_EQ(Addresses(ProxiesFor(list, "http")), c.http) << c.text;
    EXPECT_EQ(Addresses(ProxiesFor(list, "https")), c.https) << c.text;
    EXPECT_EQ(list.shown, c.shown) << c.text;
    for (const char* secret : {"alice", "bob", "secret", "pw", "pa;", "ss@", "x@"})
      EXPECT_EQ(list.shown.find(secret), std::string::npos) << c.text;
  }
}

TEST(ProxyList, BypassListsSendTheirHostsDirect) {
  const struct {
    const char* bypass;
    const char* host;
    bool direct;
  } cases[] = {
      {"<local>", "intranet", true},
      {"<local>", "files.corp.example", false},
      {"<local>", "[::1]", false},
      {"*.corp.example;<local>", "files.CORP.example", true},
      {"*.corp.example", "corp.example", false},
      {"10.*, 192.168.1.5", "10.1.2.3", true},
      {"10.*, 192.168.1.5", "192.168.1.5", true},
      {"10.*, 192.168.1.5", "110.1.2.3", false},
      {"https://files.corp.example:8443", "files.corp.example", true},
      {"[::1]", "[::1]", true},
      {"", "intranet", false},
  };
  for (const auto& c : cases) EXPECT_EQ(Bypasses(c.bypass, c.host), c.direct) << c.bypass << " / " << c.host;
}

}  // namespace
}  // namespace quorvex
