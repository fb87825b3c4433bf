// The floor of the start-up benchmark: the least a Win32 program does to show a window of the
// installer's size (its client area at this DPI) with a white face, and the same end mark as
// the installer (QUORVEX_FIRST_FRAME, src/window/TestHooks.h) once that frame is painted.
// Built twice: alone, and (QUORVEX_FLOOR_WITH_PRELOADS) after the installer's DLL preloads, to
// show how much of the difference those take.

#include <windows.h>

#include "window/TestHooks.h"
#ifdef QUORVEX_FLOOR_WITH_PRELOADS
#include "platform/win32/SystemLibrary.h"
#endif

namespace {

// Nothing here throws, so it needs no wrapper between it and the system.
LRESULT CALLBACK FloorProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    ::PostQuitMessage(0);
    return 0;
  }
  return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
#ifdef QUORVEX_FLOOR_WITH_PRELOADS
  // The installer's first step, which no program of ours may skip: the DLL search confined to
  // System32 and the libraries that system code loads by name loaded from there.
  quorvex::win32::RestrictDllSearchToSystem();
#endif
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = FloorProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
  windowClass.lpszClassName = L"FirstFrameFloor";
  if (!::RegisterClassW(&windowClass)) return 1;

  // The installer's client area: 803 x 458 at 144 DPI, scaled to this one.
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
  ::ReleaseDC(nullptr, screen);
  constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT rect{0, 0, ::MulDiv(803, dpi, 144), ::MulDiv(458, dpi, 144)};
  ::AdjustWindowRect(&rect, style, FALSE);
  HWND window = ::CreateWindowW(L"FirstFrameFloor", L"Floor", style, CW_USEDEFAULT, CW_USEDEFAULT,
                                rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, instance, nullptr);
  if (!window) return 1;
  ::ShowWindow(window, SW_SHOWNORMAL);
  ::UpdateWindow(window);

  MSG msg;
  for (;;) {
    quorvex::window::BeforeWaitingForEvents(window);
    if (::GetMessageW(&msg, nullptr, 0, 0) <= 0) break;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return 0;
}
