#pragma once
// The download layer's failure: what was being attempted, the platform's error code where
// there is one, and the data (the URL, the response's status). The transport throws it for
// a failed exchange; the request passes it on with its own prefix and the URL it was
// fetching.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvex {

// What went wrong, for callers and tests that act on it rather than on the message.
enum class DownloadFailure {
  kSending,              // resolving, connecting, the secure channel, sending the request
  kReceiving,            // waiting for the response head or for the next body block
  kReading,              // reading a body block the platform announced
  kInvalidAddress,       // the service address is not an https URL without user information
  kRedirectRefused,      // a redirect to no valid URL, to plain http, or with user information
  kRedirectLimit,        // a redirect beyond the fifth
  kServerStatus,         // a status of 500 or more, or a 407 from the server rather than a proxy
  kProxyAuthentication,  // the proxy asks for credentials (407), which the client has none of
  kContentCoding,        // a body in a content coding the client does not decode
  kLengthMismatch,       // a body shorter or longer than its announced length
  kNotText,              // a body that must be read as text is not text in its charset
  kResources,            // out of memory
};

class DownloadError : public std::runtime_error {
 public:
  DownloadError(DownloadFailure kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

  DownloadFailure kind() const noexcept { return kind_; }

  // The platform's error code (WinHTTP, Winsock or Win32) for the kinds it reports.
  std::optional<std::uint32_t> platformCode;
  // Everything below is as the log may show it: URLs redacted (RedactUrl), the server's words
  // inert (InertServerText), already when the failure is made, and the message is built from
  // these. The URL being fetched: the service address, or where a redirect had led. The
  // transport leaves it empty; the request fills it in.
  std::string url;
  // The status line of the response the failure concerns; status 0 when none had arrived.
  std::string protocol;
  int status = 0;
  std::string reason;
  // What the response declared that could not be used: where the redirect leads
  // (kRedirectRefused, kRedirectLimit), the content coding (kContentCoding), the charset
  // (kNotText).
  std::string declared;
  // kLengthMismatch: the length the response announced and the bytes that came.
  std::int64_t announcedLength = -1;
  std::int64_t receivedLength = -1;
  // How the request went out when it failed before any response ("proxy HOST:PORT (...)"),
  // as the transport reports a response's route; empty when it does not say.
  std::string route;

 private:
  DownloadFailure kind_;
};

// A failure the platform reports with a code, in the form "Error sending data: (12029)
// <systemText>"; kind is kSending, kReceiving or kReading.
DownloadError PlatformFailure(DownloadFailure kind, std::uint32_t code, std::string_view systemText);

}  // namespace quorvex
