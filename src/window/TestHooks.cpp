// Compiled into each program rather than into the window library, so that only a test or
// benchmark build carries working hooks (see TestHooks.h).
#include "window/TestHooks.h"

#ifdef QUORVEX_TEST_HOOKS
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/win32/UniqueHandle.h"
#endif

namespace quorvex::window {

#ifdef QUORVEX_TEST_HOOKS
namespace {

bool EnvironmentSays(const wchar_t* name, const wchar_t* value) {
  wchar_t text[16] = {};
  const DWORD length = ::GetEnvironmentVariableW(name, text, 16);
  return length > 0 && length < 16 && std::wcscmp(text, value) == 0;
}

// 100-nanosecond ticks since 1601 as nanoseconds since 1970, the clock the benchmark's host
// side reads.
std::int64_t UnixNanoseconds(const FILETIME& time) {
  const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return (static_cast<std::int64_t>(ticks) - 116444736000000000LL) * 100;
}

FILETIME Now() {
  // The precise clock where the system has one (Windows 8 and later, Wine).
  using Precise = void(WINAPI*)(FILETIME*);
  static const auto precise = reinterpret_cast<Precise>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
  FILETIME now{};
  if (precise) {
    precise(&now);
  } else {
    ::GetSystemTimeAsFileTime(&now);
  }
  return now;
}

}  // namespace

bool HighContrastForced() { return EnvironmentSays(L"QUORVEX_HIGH_CONTRAST", L"1"); }

void BeforeWaitingForEvents(HWND window) {
  static bool recorded = false;
  if (recorded || !window || !::IsWindowVisible(window)) return;
  // The frame is whole once no window of this thread waits to be painted.
  if (HIWORD(::GetQueueStatus(QS_PAINT)) & QS_PAINT) return;
  const FILETIME painted = Now();
  recorded = true;
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"QUORVEX_FIRST_FRAME", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  FILETIME created{}, exited{}, kernel{}, user{};
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  const std::string line = "frame " + std::to_string(UnixNanoseconds(painted)) + " created " +
                           std::to_string(UnixNanoseconds(created)) + "\n";
  win32::UniqueFile file(::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file) ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ::PostMessageW(window, WM_CLOSE, 0, 0);
}
#else
bool HighContrastForced() { return false; }
void BeforeWaitingForEvents(HWND) {}
#endif

}  // namespace quorvex::window
