#pragma once
// DPI queries that newer systems answer per monitor; each falls back to the system-wide
// value where the function does not exist, so the program still starts on older systems.

#include <windows.h>

namespace quorvex::window {

// The DPI of the whole system (the primary monitor's at log-on).
int SystemDpi();
// The DPI of the monitor the window is on.
int WindowDpi(HWND hwnd);
// AdjustWindowRectEx at a given DPI.
void AdjustWindowRectForDpi(RECT& rect, DWORD style, DWORD exStyle, int dpi);
// Lets the title bar scale with the monitor where only per-monitor version 1 is known.
void EnableNonClientDpiScaling(HWND hwnd);

}  // namespace quorvex::window
