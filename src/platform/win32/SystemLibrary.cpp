#include "platform/win32/SystemLibrary.h"

#include <string>

namespace quorvex::win32 {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

void RestrictDllSearchToSystem() {
  // Looked up, not imported: Windows 7 without its 2011 loader update does not have it.
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  const auto setDefault = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
                                       ::GetProcAddress(kernel, "SetDefaultDllDirectories")))
                                 : nullptr;
  if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  ::SetDllDirectoryW(L"");
}

HMODULE LoadSystemLibrary(const wchar_t* fileName) {
  if (HMODULE module = ::LoadLibraryExW(fileName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) return module;
  if (::GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
  // The flag is unknown to this loader: name the file by its full path instead.
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, length) + L"\\" + fileName;
  return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace quorvex::win32
