#include "platform/win32/TunnelProbe.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "download/ResponseHead.h"
#include "platform/win32/SystemLibrary.h"
#include "platform/win32/TextConversion.h"

namespace quorvex::win32 {
namespace {

// Winsock, loaded from System32 like every other library the program does not import.
struct Sockets {
  decltype(&::WSAStartup) Startup = nullptr;
  decltype(&::getaddrinfo) GetAddressInfo = nullptr;
  decltype(&::freeaddrinfo) FreeAddressInfo = nullptr;
  decltype(&::socket) Socket = nullptr;
  decltype(&::connect) Connect = nullptr;
  decltype(&::send) Send = nullptr;
  decltype(&::recv) Receive = nullptr;
  decltype(&::setsockopt) SetOption = nullptr;
  decltype(&::closesocket) Close = nullptr;
  bool ready = false;
};

const Sockets& Winsock() {
  static const Sockets sockets = [] {
    Sockets s;
    SystemFunctions library(L"ws2_32.dll");
    library.Resolve(s.Startup, "WSAStartup")
        .Resolve(s.GetAddressInfo, "getaddrinfo")
        .Resolve(s.FreeAddressInfo, "freeaddrinfo")
        .Resolve(s.Socket, "socket")
        .Resolve(s.Connect, "connect")
        .Resolve(s.Send, "send")
        .Resolve(s.Receive, "recv")
        .Resolve(s.SetOption, "setsockopt")
        .Resolve(s.Close, "closesocket");
    WSADATA data{};
    s.ready = library.complete() && s.Startup(MAKEWORD(2, 2), &data) == 0;
    return s;
  }();
  return sockets;
}

}  // namespace

std::optional<TransportResponseHead> ProbeTunnel(const std::wstring& proxy, const std::wstring& target, int timeoutMs) {
  const Sockets& ws = Winsock();
  if (!ws.ready) return std::nullopt;
  const std::size_t colon = proxy.rfind(L':');
  if (colon == std::wstring::npos) return std::nullopt;
  std::string host = Narrow(proxy.substr(0, colon));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string port = Narrow(proxy.substr(colon + 1));
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (ws.GetAddressInfo(host.c_str(), port.c_str(), &hints, &found) != 0) return std::nullopt;
  SOCKET sock = INVALID_SOCKET;
  for (addrinfo* at = found; at && sock == INVALID_SOCKET; at = at->ai_next) {
    sock = ws.Socket(at->ai_family, at->ai_socktype, at->ai_protocol);
    if (sock == INVALID_SOCKET) continue;
    const DWORD timeout = static_cast<DWORD>(timeoutMs);
    ws.SetOption(sock, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    ws.SetOption(sock, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    if (ws.Connect(sock, at->ai_addr, static_cast<int>(at->ai_addrlen)) != 0) {
      ws.Close(sock);
      sock = INVALID_SOCKET;
    }
  }
  ws.FreeAddressInfo(found);
  if (sock == INVALID_SOCKET) return std::nullopt;
  // Nothing of the request: the target and the Host line only.
  const std::string authority = Narrow(target);
  const std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
  std::string answer;
  if (ws.Send(sock, request.data(), static_cast<int>(request.size()), 0) == static_cast<int>(request.size())) {
    char buffer[4096];
    while (answer.find("\r\n\r\n") == std::string::npos && answer.size() < 65536) {
      const int got = ws.Receive(sock, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      answer.append(buffer, static_cast<std::size_t>(got));
    }
  }
  ws.Close(sock);
  const std::size_t end = answer.find("\r\n\r\n");
  if (end == std::string::npos) return std::nullopt;
  return ParseResponseHead(answer.substr(0, end + 2));
}

}  // namespace quorvex::win32
