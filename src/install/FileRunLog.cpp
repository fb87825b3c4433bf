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

FileRunLog::~FileRunLog() {
  if (dropped_ > 0) WriteLines({}, true);
}

void FileRunLog::Write(std::string_view event) noexcept { WriteLines(event, false); }

void FileRunLog::WriteLines(std::string_view event, bool noteOnly) noexcept {
  try {
    const std::string stamp = FormatTimeStamp(store_.Now());
    std::string lines;
    if (dropped_ > 0) {
      lines = stamp + " " + std::to_string(dropped_) + (dropped_ == 1 ? " line" : " lines") +
              " of this installer not written: another installer held the log\r\n";
    }
    if (!noteOnly) {
      lines += stamp;
      lines += ' ';
      lines += event;
      lines += "\r\n";
    }
    if (!store_.Lock(kMaxWaitMs)) {
      if (!noteOnly) ++dropped_;
      return;
    }
    struct Unlock {
      LogStore& store;
      ~Unlock() { store.Unlock(); }
    } unlock{store_};
    const std::optional<std::uint64_t> size = store_.Size();
    if (size && *size > 0 && *size + lines.size() > maxBytes_) store_.Rotate();
    // One write: the note and its line stay together and whole.
    if (store_.Append(lines)) dropped_ = 0;
  } catch (...) {
    // A log that cannot be written is no reason to change the run.
  }
}

}  // namespace quorvex
