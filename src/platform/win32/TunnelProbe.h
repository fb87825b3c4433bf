#pragma once
// Asks a proxy for a tunnel the plain way and reads its answer's head. Wine's WinHTTP hides a
// proxy's refusal of a tunnel (its 407 and the schemes it offers) behind a secure channel
// failure; this shows what the proxy said.

#include <optional>
#include <string>

#include "download/Transport.h"

namespace quorvex::win32 {

// The head of the proxy's answer to "CONNECT target", or nothing when the proxy cannot be
// reached or has not answered in HTTP when deadlineMs have passed: connecting, sending and
// every byte of the answer count against that one deadline, so a proxy that answers a byte at
// a time gains nothing. proxy is "host:port".
std::optional<TransportResponseHead> ProbeTunnel(const std::wstring& proxy, const std::wstring& target, int deadlineMs);

}  // namespace quorvex::win32
