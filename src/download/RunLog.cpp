#include "download/RunLog.h"

#include "text/InertText.h"

namespace quorvex {

void LogEvent(RunLog* log, const std::function<std::string()>& makeText) noexcept {
  if (!log) return;
  try {
    // Whatever a part of the text came from, nothing in it can end the line or hide.
    log->Write(ShowInvisible(makeText()));
  } catch (...) {
    // Out of memory while making the line: the event is lost, the run goes on as it would.
  }
}

}  // namespace quorvex
