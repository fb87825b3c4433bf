#include "window/DpiSupport.h"

namespace quorvex::window {

namespace {

template <typename Function>
Function UserFunction(const char* name) {
  // user32 is loaded for the program's whole life, so the address stays valid.
  HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  return user32 ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(user32, name))) : nullptr;
}

}  // namespace

int SystemDpi() {
  using GetDpiForSystemFunction = UINT(WINAPI*)();
  static const auto getDpiForSystem = UserFunction<GetDpiForSystemFunction>("GetDpiForSystem");
  if (getDpiForSystem) return static_cast<int>(getDpiForSystem());
  HDC screen = ::GetDC(nullptr);
  const int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

int WindowDpi(HWND hwnd) {
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = UserFunction<GetDpiForWindowFunction>("GetDpiForWindow");
  if (getDpiForWindow) {
    const UINT dpi = getDpiForWindow(hwnd);
    if (dpi > 0) return static_cast<int>(dpi);
  }
  return SystemDpi();
}

void AdjustWindowRectForDpi(RECT& rect, DWORD style, DWORD exStyle, int dpi) {
  using AdjustFunction = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const auto adjust = UserFunction<AdjustFunction>("AdjustWindowRectExForDpi");
  if (adjust && adjust(&rect, style, FALSE, exStyle, static_cast<UINT>(dpi))) return;
  ::AdjustWindowRectEx(&rect, style, FALSE, exStyle);
}

void EnableNonClientDpiScaling(HWND hwnd) {
  using EnableFunction = BOOL(WINAPI*)(HWND);
  static const auto enable = UserFunction<EnableFunction>("EnableNonClientDpiScaling");
  if (enable) enable(hwnd);
}

}  // namespace quorvex::window
