#include "platform/win32/TunnelProbe.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>

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
  decltype(&::ioctlsocket) Control = nullptr;
  decltype(&::select) Select = nullptr;
  decltype(&::WSAGetLastError) LastError = nullptr;
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
        .Resolve(s.Control, "ioctlsocket")
        .Resolve(s.Select, "select")
        .Resolve(s.LastError, "WSAGetLastError")
        .Resolve(s.Close, "closesocket");
    WSADATA data{};
    s.ready = library.complete() && s.Startup(MAKEWORD(2, 2), &data) == 0;
    return s;
  }();
  return sockets;
}

using Clock = std::chrono::steady_clock;

// Waits until the socket can be written (connected) or read, or the deadline passes.
bool WaitFor(const Sockets& ws, SOCKET sock, bool write, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return false;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sock, &set);
  fd_set failed = set;
  timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
  const int ready = ws.Select(0, write ? nullptr : &set, write ? &set : nullptr, &failed, &wait);
  // Winsock's fd_set is a list; FD_ISSET would need a function this table does not load.
  return ready > 0 && set.fd_count == 1 && set.fd_array[0] == sock;
}

// A socket connected to one of the addresses before the deadline, or INVALID_SOCKET.
SOCKET ConnectBefore(const Sockets& ws, const addrinfo* found, Clock::time_point deadline) {
  for (const addrinfo* at = found; at; at = at->ai_next) {
    SOCKET sock = ws.Socket(at->ai_family, at->ai_socktype, at->ai_protocol);
    if (sock == INVALID_SOCKET) continue;
    u_long nonBlocking = 1;
    if (ws.Control(sock, static_cast<long>(FIONBIO), &nonBlocking) == 0) {
      const bool now = ws.Connect(sock, at->ai_addr, static_cast<int>(at->ai_addrlen)) == 0;
      if (now || (ws.LastError() == WSAEWOULDBLOCK && WaitFor(ws, sock, true, deadline))) return sock;
    }
    ws.Close(sock);
  }
  return INVALID_SOCKET;
}

}  // namespace

std::optional<TransportResponseHead> ProbeTunnel(const std::wstring& proxy, const std::wstring& target, int deadlineMs) {
  const Sockets& ws = Winsock();
  if (!ws.ready) return std::nullopt;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(deadlineMs);
  const std::size_t colon = proxy.rfind(L':');
  if (colon == std::wstring::npos) return std::nullopt;
  std::string host = Narrow(proxy.substr(0, colon));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string port = Narrow(proxy.substr(colon + 1));
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (ws.GetAddressInfo(host.c_str(), port.c_str(), &hints, &found) != 0) return std::nullopt;
  const SOCKET sock = ConnectBefore(ws, found, deadline);
  ws.FreeAddressInfo(found);
  if (sock == INVALID_SOCKET) return std::nullopt;
  // Nothing of the request: the target and the Host line only.
  const std::string authority = Narrow(target);
  const std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
  std::string answer;
  std::size_t sent = 0;
  while (sent < request.size() && WaitFor(ws, sock, true, deadline)) {
    const int put = ws.Send(sock, request.data() + sent, static_cast<int>(request.size() - sent), 0);
    if (put <= 0) break;
    sent += static_cast<std::size_t>(put);
  }
  if (sent == request.size()) {
    char buffer[4096];
    while (answer.find("\r\n\r\n") == std::string::npos && answer.size() < 65536 && WaitFor(ws, sock, false, deadline)) {
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
