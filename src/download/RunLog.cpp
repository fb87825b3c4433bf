#include "download/RunLog.h"

namespace quorvex {

void LogEvent(RunLog* log, const std::function<std::string()>& makeText) noexcept {
  if (!log) return;
  try {
    std::string text = makeText();
    for (char& c : text) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    log->Write(text);
  } catch (...) {
    // Out of memory while making the line: the event is lost, the run goes on as it would.
  }
}

}  // namespace quorvex
