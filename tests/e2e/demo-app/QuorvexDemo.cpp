// A stand-in for the Quorvex application, shipped in demo and test packages: it shows a
// small window saying that it is installed. When QUORVEX_DEMO_MARKER names a file, it writes
// its own path there and ends at once instead, so a test can see that it was started.

#include <windows.h>

#include <string>

namespace {

constexpr const wchar_t* kMessage = L"Quorvex est\u00e1 instalado.\r\n\r\nEsta \u00e9 a aplica\u00e7\u00e3o de demonstra\u00e7\u00e3o.";

LRESULT CALLBACK DemoProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = ::BeginPaint(hwnd, &paint);
      RECT rect;
      ::GetClientRect(hwnd, &rect);
      ::InflateRect(&rect, -24, -24);
      HGDIOBJ old = ::SelectObject(dc, ::GetStockObject(DEFAULT_GUI_FONT));
      ::SetBkMode(dc, TRANSPARENT);
      ::DrawTextW(dc, kMessage, -1, &rect, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
      ::SelectObject(dc, old);
      ::EndPaint(hwnd, &paint);
      return 0;
    }
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

bool WriteMarker() {
  wchar_t marker[MAX_PATH] = {};
  if (!::GetEnvironmentVariableW(L"QUORVEX_DEMO_MARKER", marker, MAX_PATH)) return false;
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  wchar_t directory[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, directory);
  const std::wstring text = std::wstring(self) + L"\r\n" + directory + L"\r\n";
  HANDLE file = ::CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return true;
  char utf8[4 * MAX_PATH];
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8, sizeof utf8, nullptr, nullptr);
  DWORD written = 0;
  if (size > 1) ::WriteFile(file, utf8, static_cast<DWORD>(size - 1), &written, nullptr);
  ::CloseHandle(file);
  return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  if (WriteMarker()) return 0;
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = DemoProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = L"QuorvexDemo";
  ::RegisterClassW(&windowClass);
  HWND hwnd = ::CreateWindowW(L"QuorvexDemo", L"Quorvex", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 420, 200,
                              nullptr, nullptr, instance, nullptr);
  ::ShowWindow(hwnd, show);
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return 0;
}
