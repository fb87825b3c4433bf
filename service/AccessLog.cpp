#include "AccessLog.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace quorvex::service {
namespace {

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  std::array<char, 32> text{};
  std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text.data();
}

}  // namespace

std::string EscapeLogText(std::string_view text) {
  if (text.empty()) return "-";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      std::array<char, 5> escaped{};
      std::snprintf(escaped.data(), escaped.size(), "\\x%02X", byte);
      out += escaped.data();
    } else {
      out += c;
    }
  }
  return out;
}

void AccessLog::Write(const AccessLogEntry& entry) {
  std::array<char, 32> seconds{};
  std::snprintf(seconds.data(), seconds.size(), "%.3f", entry.seconds);
  const std::string line = UtcNow() + " " + entry.remote + " \"" + EscapeLogText(entry.method) + " " +
                           EscapeLogText(entry.target) + "\" " + std::to_string(entry.status) + " " +
                           std::to_string(entry.bytes) + " user=\"" + EscapeLogText(entry.user) + "\" file=\"" +
                           EscapeLogText(entry.file) + "\" time=" + seconds.data() + " agent=\"" +
                           EscapeLogText(entry.agent.empty() ? std::string("-") : entry.agent) + "\" cut=" +
                           EscapeLogText(entry.cut) + "\n";
  const std::lock_guard<std::mutex> lock(mutex_);
  out_ << line << std::flush;
}

}  // namespace quorvex::service
