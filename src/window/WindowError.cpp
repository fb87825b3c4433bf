#include "window/WindowError.h"

#include "download/RunLog.h"

#include <windows.h>

#include "platform/win32/TextConversion.h"

namespace quorvex::window {

WindowError LastWindowError(WindowFailure kind, std::string_view attempted) {
  const DWORD code = ::GetLastError();
  std::string message(attempted);
  message += ": (" + std::to_string(code) + ")";
  if (code != 0) message += " " + win32::SystemErrorText(code);
  return WindowError(kind, code, message);
}

namespace {
RunLog* detailLog = nullptr;
}  // namespace

void SetDetailLog(RunLog* log) noexcept { detailLog = log; }

void LogDetail(std::string_view text) {
  LogEvent(detailLog, [&] { return "detail: " + std::string(text); });
  const std::wstring line = L"QuorvexInstall: " + win32::Widen(text) + L"\n";
  ::OutputDebugStringW(line.c_str());
}

void LogFailure(const std::exception_ptr& failure) noexcept {
  try {
    if (failure) std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    try {
      LogDetail(error.what());
    } catch (...) {
      ::OutputDebugStringA("QuorvexInstall: a failure whose detail could not be written\n");
    }
  } catch (...) {
    ::OutputDebugStringA("QuorvexInstall: a failure that is not a standard exception\n");
  }
}

}  // namespace quorvex::window
