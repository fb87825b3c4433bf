#pragma once
// What a run leaves for the support desk: one line per event, written through a port so that
// the run and the download client can be tested with an in-memory log. The log never changes
// the run: a line that cannot be made or written is dropped, never thrown.

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorvex {

class RunLog {
 public:
  virtual ~RunLog() = default;
  // One event. The text holds no line break (LogEvent sees to it); the log adds the time.
  virtual void Write(std::string_view event) noexcept = 0;
};

// Makes the event's text and writes it; a failure to make it (allocation) drops the event.
// Control characters become spaces, so an event is always one line. log may be null.
void LogEvent(RunLog* log, const std::function<std::string()>& makeText) noexcept;

// What the typed failure carries, as one line of text: its kind, the system's code with its
// text, and its data (URL without secrets, path, entry, CRC-32s, lengths, HRESULT).
std::string DescribeFailure(const std::exception_ptr& failure);

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

// The file log: each event is one line "<time stamp> <event>\r\n"; a line that would take the
// file past maxBytes first moves it aside, so at most two files of about that size are kept.
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
