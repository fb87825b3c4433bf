#pragma once
// The run log as a file: each event one line "<time stamp> <event>\r\n", the file moved aside
// before it passes its limit, so at most two files of about that size are kept.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "download/RunLog.h"

namespace quorvex {

// The time stamp that starts each line: local time with its offset from UTC, to the
// millisecond, "2026-12-10T14:03:22.481-03:00".
struct LocalTimeStamp {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
  int utcOffsetMinutes = 0;  // local minus UTC
};
std::string FormatTimeStamp(const LocalTimeStamp& when);

// Where a file log keeps its lines: the platform's file, or memory in tests. Every operation
// reports failure instead of throwing.
class LogStore {
 public:
  virtual ~LogStore() = default;
  // The current file's size; nullopt when it cannot be known (no file yet counts as 0).
  virtual std::optional<std::uint64_t> Size() noexcept = 0;
  // Appends one whole line in a single write; false when nothing could be written.
  virtual bool Append(std::string_view line) noexcept = 0;
  // Moves the current file to the older one's place (replacing it); a new file begins.
  virtual bool Rotate() noexcept = 0;
  virtual LocalTimeStamp Now() noexcept = 0;
};

class FileRunLog : public RunLog {
 public:
  static constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 20;
  explicit FileRunLog(LogStore& store, std::uint64_t maxBytes = kMaxBytes) : store_(store), maxBytes_(maxBytes) {}
  void Write(std::string_view event) noexcept override;

 private:
  LogStore& store_;
  std::uint64_t maxBytes_;
};

}  // namespace quorvex
