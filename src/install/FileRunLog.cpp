#include "install/FileRunLog.h"

#include <cstdio>

namespace quorvex {

std::string FormatTimeStamp(const LocalTimeStamp& when) {
  const int offset = when.utcOffsetMinutes < 0 ? -when.utcOffsetMinutes : when.utcOffsetMinutes;
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", when.year, when.month, when.day,
                when.hour, when.minute, when.second, when.millisecond, when.utcOffsetMinutes < 0 ? '-' : '+',
                offset / 60, offset % 60);
  return text;
}

void FileRunLog::Write(std::string_view event) noexcept {
  try {
    std::string line = FormatTimeStamp(store_.Now());
    line += ' ';
    line += event;
    line += "\r\n";
    const std::optional<std::uint64_t> size = store_.Size();
    if (size && *size > 0 && *size + line.size() > maxBytes_) store_.Rotate();
    store_.Append(line);
  } catch (...) {
    // A log that cannot be written is no reason to change the run.
  }
}

}  // namespace quorvex
