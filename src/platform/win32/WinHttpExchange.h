#pragma once
// One exchange over WinHTTP: a request handle opened on a session, its options and headers,
// sent, and its response head read; then the body block by block. What the exchange's status
// means, and whether a proxy gets a logon, is for the caller (see TunnelLogon.h).

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <string>
#include <vector>

#include "download/Transport.h"
#include "platform/win32/WinHttpSession.h"

namespace quorvex::win32 {

// Where a request goes, cracked from its URL once.
struct RequestTarget {
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring object;  // path and query; "/" when empty
  bool secure = false;  // https
  // "host:port" as a CONNECT names it (an IPv6 literal in brackets).
  std::wstring Authority() const;
};

// The way out of one request: a proxy ("host:port"; empty: direct) with the bypass list it was
// given, and what the log says of it.
struct Route {
  std::wstring proxy;
  std::wstring bypass;
  std::string text;
};

struct LateHeaders;

// One request handle and what it needs while it is sent: the header lines and the late-header
// state live apart so that the status callback's pointer stays valid when the attempt moves.
struct Attempt {
  Attempt();
  Attempt(Attempt&&) noexcept;
  Attempt& operator=(Attempt&&) noexcept;
  ~Attempt();
  UniqueInternet connection;
  UniqueInternet handle;
  std::unique_ptr<std::vector<std::wstring>> lines;
  std::unique_ptr<LateHeaders> late;
  TransportResponseHead head;
  bool withBody = true;
};

// Opens a request on the session, sends it and reads the response head. lateHeaders: the
// request's headers are attached only once the tunnel is up, and proxyLogon (when not empty)
// is the Proxy-Authorization value that goes into the tunnel's CONNECT alone. Throws
// DownloadError (kSending up to the request being sent, kReceiving while waiting for the head).
Attempt SendAttempt(HINTERNET session, const TransportRequest& request, const RequestTarget& target, const Route& route,
                    bool lateHeaders, const std::wstring& proxyLogon);
// Sends the attempt's request again on its handle (after credentials were set on it).
void SendAgain(Attempt& attempt, const RequestTarget& target, const Route& route);

// The exchange of a sent attempt; the head alone when the attempt has no body for the client.
std::unique_ptr<HttpExchange> ExchangeOf(Attempt attempt);
// A proxy's answer that has no body for the client: its head alone.
std::unique_ptr<HttpExchange> HeadOnlyExchange(TransportResponseHead head);
// Tells the log more of the exchange's route (", after ... did not answer").
void AddToRoute(HttpExchange& exchange, const std::string& text);

}  // namespace quorvex::win32
