// Stands in for the installed application: when started it writes, next to itself, a marker
// holding its own path and the working directory it was given.

#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  wchar_t directory[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, directory);
  std::wstring marker = self;
  marker.resize(marker.find_last_of(L'\\') + 1);
  marker += L"started.txt";

  const std::wstring text = std::wstring(self) + L"\n" + directory + L"\n";
  char utf8[4 * MAX_PATH] = {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8,
                                         static_cast<int>(sizeof utf8), nullptr, nullptr);
  const HANDLE file = ::CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  ::WriteFile(file, utf8, static_cast<DWORD>(size), &written, nullptr);
  ::CloseHandle(file);
  return 0;
}
