// A library named like one that Windows programs load by name, as an attacker would leave it
// in a downloads folder: loading it appends the loading program's path, one line, to
// "<its path>.loaded" beside it, and does nothing else.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 8];
  const DWORD length = ::GetModuleFileNameW(instance, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  ::lstrcatW(path, L".loaded");
  char program[MAX_PATH + 2];
  DWORD programLength = ::GetModuleFileNameA(nullptr, program, MAX_PATH);
  if (programLength >= MAX_PATH) programLength = 0;
  program[programLength++] = '\n';
  const HANDLE marker = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker == INVALID_HANDLE_VALUE) return TRUE;
  DWORD written = 0;
  ::WriteFile(marker, program, programLength, &written, nullptr);
  ::CloseHandle(marker);
  return TRUE;
}
