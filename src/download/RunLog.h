#pragma once
// What a run leaves for the support desk: one line per event, written through a port so that
// the run and the download client can be tested with an in-memory log. The log never changes
// the run: a line that cannot be made or written is dropped, never thrown.

#include <functional>
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
// Controls, separators, invisible characters and bytes that are not UTF-8 become visible
// escapes (ShowInvisible), so an event is always one line. log may be null. Fields a server
// chose are made inert where they enter the text (InertServerText).
void LogEvent(RunLog* log, const std::function<std::string()>& makeText) noexcept;

}  // namespace quorvex
