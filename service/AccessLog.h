#pragma once
// The access log: one line per request on a stream, written whole under a lock and flushed.

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

namespace quorvex::service {

// A text as it may appear between double quotes in the log: control characters, DEL and every
// byte >= 0x80 become \xHH, a backslash \\ and a double quote \", so that no request can end a
// line, close a quoted field early or pass off its own bytes as an escape. "-" for an empty text.
std::string EscapeLogText(std::string_view text);

struct AccessLogEntry {
  std::string remote;       // client address
  std::string method;       // as received, "-" when no request line was read
  std::string target;       // as received
  int status = 0;
  std::uint64_t bytes = 0;  // body bytes actually sent
  std::string user;         // user name offered, checked or not
  std::string file;         // storage area "\" file name, when both decoded
  double seconds = 0;       // from the request's first byte to its last byte sent
  std::string agent;        // the User-Agent, which names the installer and its version
  std::string cut = "-";    // why the answer ended before its last byte, "-" when it did not
};

class AccessLog {
 public:
  explicit AccessLog(std::ostream& out) : out_(out) {}

  // <UTC time> <remote> "<method> <target>" <status> <bytes> user="<user>" file="<file>" time=<seconds>
  //   agent="<agent>" cut=<reason>
  void Write(const AccessLogEntry& entry);

 private:
  std::ostream& out_;
  std::mutex mutex_;
};

}  // namespace quorvex::service
