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
  // Holds the file for one line, against every other writer of it (other installers): the
  // size check, a rotation and the append happen under it, so two writers neither both move
  // the file aside nor write into one being moved. Waits at most waitMs; false when the file
  // stays held. Each Lock that returned true is followed by one Unlock.
  virtual bool Lock(int waitMs) noexcept = 0;
  virtual void Unlock() noexcept = 0;
  // The current file's size; nullopt when it cannot be known (no file yet counts as 0).
  virtual std::optional<std::uint64_t> Size() noexcept = 0;
  // Appends one whole line in a single write; false when nothing could be written.
  virtual bool Append(std::string_view line) noexcept = 0;
  // Moves the current file to the older one's place (replacing it); a new file begins.
  virtual bool Rotate() noexcept = 0;
  virtual LocalTimeStamp Now() noexcept = 0;
};

// Lines are written by the window's thread, which never waits on its log for long: when
// another installer holds the file longer than kMaxWaitMs, the line is dropped, and the next
// line written says how many were.
class FileRunLog : public RunLog {
 public:
  static constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 20;
  static constexpr int kMaxWaitMs = 40;
  explicit FileRunLog(LogStore& store, std::uint64_t maxBytes = kMaxBytes) : store_(store), maxBytes_(maxBytes) {}
  // Says how many lines were dropped since the last one written, if any were.
  ~FileRunLog() override;
  FileRunLog(const FileRunLog&) = delete;
  FileRunLog& operator=(const FileRunLog&) = delete;
  void Write(std::string_view event) noexcept override;

 private:
  // The lines (the note on dropped lines first, when there is one) in one write under the lock.
  void WriteLines(std::string_view event, bool noteOnly) noexcept;

  LogStore& store_;
  std::uint64_t maxBytes_;
  std::uint64_t dropped_ = 0;  // lines not written since the last one that was
};

}  // namespace quorvex
