// Feeds arbitrary server answers to the download client through a scripted transport: status
// lines, headers (Content-Length, Transfer-Encoding, Set-Cookie, Location, Content-Type with
// its charset), bodies in blocks, broken transfers, redirect chains, and a second request
// that carries the cookies of the first. Anything but a result or a DownloadError (a crash, a
// sanitizer report, another exception) is a finding, and so is a broken promise of the client:
// credentials sent to another origin, a request that is not https after a redirect, a raw
// control character in a URL or header, more than five redirects, a server error returned as
// a result, progress that runs backwards or past the announced length, or a failure that
// does not name the URL it was fetching or does not carry its kind's data.
//
// Input, as text so that seeds stay readable:
//   byte 0        options: bits 0-3 abort at that progress call (0 never), bit 4 one request only
//   then          responses separated by "\n==\n"; each is a head and a body split at the
//                 first empty line, the head read as the WinHTTP adapter reads what the server
//                 sent. The body is handed out in blocks split at "\n~~\n";
//                 a body ending in "\n!!" breaks after its blocks, a response "!" fails to send.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FakeTransport.h"
#include "download/DownloadClient.h"
#include "download/HttpText.h"
#include "download/Redaction.h"
#include "download/RESTResponse.h"
#include "download/ResponseHead.h"

namespace {

using quorvex::DownloadError;
using quorvex::DownloadFailure;
using quorvex::HttpHeader;
using quorvex::PlatformFailure;
using quorvex::testing::ScriptedResponse;
using quorvex::testing::Throwing;

constexpr char kApiBase[] = "https://downloads.quorvex.example/admin";
const std::string kOriginHost = "downloads.quorvex.example";
constexpr std::size_t kMaxResponses = 16;
// Announced lengths are reserved up front, as the installer does; beyond this the input is
// skipped rather than reported as an allocation the sanitizer refuses.
constexpr std::int64_t kMaxAnnounced = std::int64_t{64} << 20;

// A finding: say which promise broke and abort, so that libFuzzer keeps the input.
#define CHECK_PROMISE(condition)                                                 \
  do {                                                                           \
    if (!(condition)) {                                                          \
      std::fprintf(stderr, "broken promise at line %d: %s\n", __LINE__, #condition); \
      std::abort();                                                              \
    }                                                                            \
  } while (false)

std::vector<std::string_view> Split(std::string_view text, std::string_view separator, std::size_t limit) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < limit) {
    const std::size_t at = text.find(separator);
    if (at == std::string_view::npos) break;
    parts.push_back(text.substr(0, at));
    text.remove_prefix(at + separator.size());
  }
  parts.push_back(text);
  return parts;
}

// Returns false when the response announces more than the harness lets the client reserve.
bool ParseResponse(std::string_view text, ScriptedResponse& response) {
  if (text == "!") {
    response.failSend = Throwing(
        PlatformFailure(DownloadFailure::kSending, 12030, "The connection with the server was terminated abnormally"));
    return true;
  }
  std::string_view head = text;
  std::string_view body;
  if (const std::size_t blank = text.find("\n\n"); blank != std::string_view::npos) {
    head = text.substr(0, blank);
    body = text.substr(blank + 2);
  }
  // The head goes through the parser the WinHTTP adapter uses; a head it refuses fails the
  // exchange there, as it does here.
  std::optional<quorvex::TransportResponseHead> parsed = quorvex::ParseResponseHead(head);
  if (!parsed) {
    response.failSend = Throwing(
        PlatformFailure(DownloadFailure::kReceiving, 12152, "The server returned an invalid or unrecognized response"));
    return true;
  }
  response.protocol = parsed->protocol;
  response.status = parsed->status;
  response.reason = parsed->reason;
  for (const HttpHeader& header : parsed->headers) {
    if (quorvex::EqualsIgnoreCase(header.name, "Content-Length") &&
        quorvex::ParseContentLength(header.value) > kMaxAnnounced) {
      return false;
    }
  }
  response.headers = std::move(parsed->headers);
  constexpr std::string_view kBroken = "\n!!";
  if (body.size() >= kBroken.size() && body.substr(body.size() - kBroken.size()) == kBroken) {
    body.remove_suffix(kBroken.size());
    response.failRead = Throwing(
        PlatformFailure(DownloadFailure::kReceiving, 12030, "The connection with the server was terminated abnormally"));
  }
  for (const std::string_view block : Split(body, "\n~~\n", 64)) {
    if (!block.empty()) response.blocks.emplace_back(block);
  }
  return true;
}

// A tab is legal inside a header value, nowhere else.
bool HasRawControl(std::string_view text, bool tabAllowed = false) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && !(tabAllowed && c == '\t')) || byte == 0x7F) return true;
  }
  return false;
}

// The authority of an https URL without its user part: where the transport connects.
std::string HostAndPort(std::string_view url) {
  url.remove_prefix(std::min(url.size(), std::string_view("https://").size()));
  std::string_view authority = url.substr(0, url.find_first_of("/?#"));
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  return std::string(authority);
}

// What the client sent for one DownloadPackage call: requests [first, end) of the transport's record.
void CheckRequests(const std::vector<quorvex::TransportRequest>& sent, std::size_t first) {
  CHECK_PROMISE(sent.size() - first <= 6);  // the request and at most five redirects
  for (std::size_t i = first; i < sent.size(); ++i) {
    const quorvex::TransportRequest& request = sent[i];
    CHECK_PROMISE(request.method == "GET");
    CHECK_PROMISE(!HasRawControl(request.url) && request.url.find(' ') == std::string::npos);
    CHECK_PROMISE(request.url.rfind("https://", 0) == 0);
    const bool atOrigin = HostAndPort(request.url) == kOriginHost || HostAndPort(request.url) == kOriginHost + ":443";
    for (const HttpHeader& header : request.headers) {
      CHECK_PROMISE(!HasRawControl(header.name) && !HasRawControl(header.value, true));
      if (header.name == "Authorization") CHECK_PROMISE(atOrigin);
    }
  }
}

// What every failure of the client carries: the URL it was fetching (the service's, or one a
// redirect led to), the prefix of its message, and its kind's data.
void CheckFailure(const DownloadError& error, const std::vector<quorvex::TransportRequest>& sent, std::size_t first) {
  const std::string message = error.what();
  CHECK_PROMISE(!error.url.empty());
  if (error.kind() == DownloadFailure::kInvalidAddress) return;  // the fixed address is valid here
  bool fetched = false;
  // Failures keep URLs only as the log may show them.
  for (std::size_t i = first; i < sent.size(); ++i) fetched = fetched || quorvex::RedactUrl(sent[i].url) == error.url;
  CHECK_PROMISE(fetched);
  switch (error.kind()) {
    case DownloadFailure::kServerStatus: {
      // A 407 that did not come from a proxy is the server's failure too, never a logon.
      if (error.status == 407) {
        CHECK_PROMISE(message.rfind("REST request failed: The server at ", 0) == 0);
        return;
      }
      CHECK_PROMISE(error.status >= 500 && error.status <= 999);
      // what() ends at the first NUL, which a hostile reason or protocol may hold.
      const std::string line =
          (error.protocol.empty() ? "" : error.protocol + " ") + std::to_string(error.status) + " " + error.reason;
      CHECK_PROMISE(message == line.substr(0, line.find('\0')));
      return;
    }
    case DownloadFailure::kSending:
    case DownloadFailure::kReceiving:
    case DownloadFailure::kReading:
      CHECK_PROMISE(error.platformCode.has_value());
      break;
    case DownloadFailure::kLengthMismatch:
      CHECK_PROMISE(error.announcedLength > 0 && error.receivedLength >= 0 &&
                    error.announcedLength != error.receivedLength);
      break;
    case DownloadFailure::kRedirectLimit:
      CHECK_PROMISE(sent.size() - first == 6);
      break;
    case DownloadFailure::kRedirectRefused:
    case DownloadFailure::kContentCoding:
    case DownloadFailure::kNotText:
      CHECK_PROMISE(!error.declared.empty());
      break;
    default:
      break;
  }
  CHECK_PROMISE(message.rfind("REST request failed: ", 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t options = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  quorvex::testing::FakeTransport transport;
  for (const std::string_view part : Split(text, "\n==\n", kMaxResponses)) {
    ScriptedResponse response;
    if (!ParseResponse(part, response)) return -1;
    transport.Answer(std::move(response));
  }

  quorvex::DownloadClient client(transport, kApiBase);
  const unsigned abortAt = options & 0x0Fu;
  unsigned calls = 0;
  std::int64_t lastReceived = -1;
  client.SetProgressHandler([&](std::int64_t total, std::int64_t received, bool& abort) {
    ++calls;
    CHECK_PROMISE(received >= 0 && (lastReceived < 0 || received >= lastReceived));
    CHECK_PROMISE(total == -1 || (total > 0 && received <= total));
    CHECK_PROMISE(lastReceived >= 0 || received == 0);  // the first call of a request comes before any byte
    lastReceived = received;
    if (calls == abortAt) abort = true;
  });

  const int requests = (options & 0x10u) != 0 ? 1 : 2;
  for (int i = 0; i < requests; ++i) {
    const std::size_t first = transport.Sent().size();
    lastReceived = -1;
    try {
      const quorvex::DownloadResult result = client.DownloadPackage("Quorvex_1.0.0_x86.zip");
      CHECK_PROMISE(result.status < 500);
    } catch (const DownloadError& error) {
      CheckFailure(error, transport.Sent(), first);
    }
    CheckRequests(transport.Sent(), first);
  }
  return 0;
}
