#pragma once
// The logged-on user's own logon for a service, from the system's security packages
// (secur32.dll, loaded from System32 like WinHTTP): what a proxy asking for Negotiate gets
// where WinHTTP itself cannot answer it (see TunnelLogon.h).

#include <windows.h>

#include <optional>
#include <string>

namespace quorvex::win32 {

// The bytes of a first Negotiate token for servicePrincipal ("HTTP/proxy.example"), made with
// the logged-on user's credentials (sent as "Negotiate <base64>"). Nothing, with why set, when
// the system cannot make one (no security package, no ticket, an unknown service).
std::optional<std::string> NegotiateToken(const std::wstring& servicePrincipal, std::string& why);

}  // namespace quorvex::win32
