#pragma once
// A response head as a transport receives it: the status line and the header lines.

#include <optional>
#include <string_view>

#include "download/Transport.h"

namespace quorvex {

// Reads "HTTP/1.1 200 OK\r\nName: value\r\n...". The protocol is written as the client
// reports it ("HTTP/2" becomes "HTTP/2.0"); header names and values are trimmed and kept in
// received order; lines without a colon are skipped. Returns nullopt when the status line
// is not "HTTP/<version> <three digits>[ <reason>]".
std::optional<TransportResponseHead> ParseResponseHead(std::string_view raw);

}  // namespace quorvex
