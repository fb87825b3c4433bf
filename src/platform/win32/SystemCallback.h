#pragma once
// The one way a function of ours is handed to the system to be called back (window and
// subclass procedures, enumeration callbacks, the WinHTTP status callback).
//
// The shipped 32-bit build unwinds C++ exceptions with DWARF tables, which cannot pass
// through the frames of user32, comctl32, kernel32 or winhttp: an exception leaving a
// callback ends the process. So the callback catches everything, keeps the failure for the
// code of ours that called into the system, and gives the system a safe answer. That code,
// once the system call has returned, takes the failure (RethrowCallbackFailure) and turns it
// into its outcome: a run's message, the start-up message, or a log line while idle.
//
// Use: SystemCallback<&Body>::Call, or SystemCallback<&Body, &Answer>::Call, where Body is
// a plain function with the callback's parameters and Answer(args...) gives the system's
// answer after a failure (a default-made value when there is none). CALLBACK appears
// nowhere else in the program.

#include <windows.h>

#include <exception>
#include <type_traits>

namespace quorvex::win32 {

// Keeps the first failure caught on this thread until it is taken; later ones are dropped
// (the first one is the cause).
void KeepCallbackFailure(std::exception_ptr failure) noexcept;
// The failure kept on this thread, now no longer kept; null when there is none.
std::exception_ptr TakeCallbackFailure() noexcept;
// Throws the failure kept on this thread, if there is one.
void RethrowCallbackFailure();

template <auto Body, auto Answer = nullptr>
struct SystemCallback;

template <typename R, typename... Args, R (*Body)(Args...), auto Answer>
struct SystemCallback<Body, Answer> {
  static R CALLBACK Call(Args... args) noexcept {
    try {
      return Body(args...);
    } catch (...) {
      KeepCallbackFailure(std::current_exception());
      if constexpr (std::is_same_v<decltype(Answer), std::nullptr_t>) {
        if constexpr (!std::is_void_v<R>) return R{};
      } else {
        return Answer(args...);
      }
    }
  }
};

// What a window or subclass procedure answers after a failure: a window whose creation failed
// is not made, and a paint is ended so that the system does not ask for it again and again.
LRESULT AnswerAfterWindowFailure(HWND hwnd, UINT message) noexcept;

inline LRESULT WindowFailureAnswer(HWND hwnd, UINT message, WPARAM, LPARAM) noexcept {
  return AnswerAfterWindowFailure(hwnd, message);
}
inline LRESULT SubclassFailureAnswer(HWND hwnd, UINT message, WPARAM, LPARAM, UINT_PTR, DWORD_PTR) noexcept {
  return AnswerAfterWindowFailure(hwnd, message);
}

}  // namespace quorvex::win32
