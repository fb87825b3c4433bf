// A window procedure registered without the wrapper: the check must name it.
#include <windows.h>
static LRESULT CALLBACK RawProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return ::DefWindowProcW(hwnd, message, wParam, lParam);
}
// Comments and texts may say CALLBACK freely: "CALLBACK".
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  WNDCLASSW form{};
  form.lpfnWndProc = RawProc;
  return ::RegisterClassW(&form) ? 0 : 1;
}
