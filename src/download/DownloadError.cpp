#include "download/DownloadError.h"

namespace quorvex {

DownloadError PlatformFailure(DownloadFailure kind, std::uint32_t code, std::string_view systemText) {
  std::string_view step = "Error";  // not a platform step; no caller passes one
  switch (kind) {
    case DownloadFailure::kSending: step = "Error sending data"; break;
    case DownloadFailure::kReceiving: step = "Error receiving data"; break;
    case DownloadFailure::kReading: step = "Error reading data"; break;
    default: break;
  }
  DownloadError error(kind, std::string(step) + ": (" + std::to_string(code) + ") " + std::string(systemText));
  error.platformCode = code;
  return error;
}

}  // namespace quorvex
