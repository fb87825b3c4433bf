#include "platform/win32/SystemCallback.h"

#include <utility>

namespace quorvex::win32 {
namespace {

// One per thread: the window's thread has the window's callbacks, a WinHTTP request's
// callback runs on the thread that sends it.
thread_local std::exception_ptr kept;

}  // namespace

void KeepCallbackFailure(std::exception_ptr failure) noexcept {
  if (!kept) kept = std::move(failure);
}

std::exception_ptr TakeCallbackFailure() noexcept {
  std::exception_ptr failure = std::move(kept);
  kept = nullptr;
  return failure;
}

void RethrowCallbackFailure() {
  if (std::exception_ptr failure = TakeCallbackFailure()) std::rethrow_exception(failure);
}

LRESULT AnswerAfterWindowFailure(HWND hwnd, UINT message) noexcept {
  switch (message) {
    case WM_NCCREATE:
      return FALSE;
    case WM_CREATE:
      return -1;
    case WM_PAINT:
      ::ValidateRect(hwnd, nullptr);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    default:
      return 0;
  }
}

}  // namespace quorvex::win32
