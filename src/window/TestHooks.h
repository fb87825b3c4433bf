#pragma once
// Hooks that only a test or benchmark build carries: compiled into each program like
// FaultPoint.cpp, they do nothing in the installer that ships and act in a build made with
// QUORVEX_TEST_HOOKS when their environment variable is set.
//   QUORVEX_HIGH_CONTRAST=1    high contrast counts as on. Wine always reports it off and
//                              refuses to turn it on, so the tests could not see it otherwise.
//   QUORVEX_FIRST_FRAME=FILE   once the window's first frame is painted, that moment and the
//                              process's creation time go to FILE and the window closes: the
//                              start-up benchmark's end mark (bench/window).

#include <windows.h>

namespace quorvex::window {

bool HighContrastForced();

// The event loop calls this each time before it waits for the next event.
void BeforeWaitingForEvents(HWND window);

}  // namespace quorvex::window
