#include "platform/win32/SystemLibrary.h"

#include <string>

#include "platform/win32/TextConversion.h"

namespace quorvex::win32 {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

// Libraries that the system's own code (themes, the window manager, image codecs, the
// network and the shell) loads by name while the program runs; none is a KnownDLL. One
// copy loaded from System32 first is the one every later load by that name finds, also
// where a loader does not apply the default search directories to such loads (Windows 7
// without its loader update; Wine's delay-loaded imports).
constexpr const wchar_t* kLoadedLaterByName[] = {
    L"uxtheme.dll",  L"dwmapi.dll",  L"version.dll", L"windowscodecs.dll", L"propsys.dll", L"cryptbase.dll",
    L"secur32.dll",  L"dnsapi.dll",  L"iphlpapi.dll", L"winmm.dll",        L"profapi.dll", L"userenv.dll",
    L"wintrust.dll", L"crypt32.dll", L"bcrypt.dll",   L"ncrypt.dll",
};

}  // namespace

void RestrictDllSearchToSystem() {
  RestrictDefaultSearch();
  // Kept loaded for the life of the process; a name the system does not have is not loaded
  // by name later either.
  for (const wchar_t* name : kLoadedLaterByName) LoadSystemLibrary(name);
}

void RestrictDefaultSearch() {
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

SystemFunctions::SystemFunctions(const wchar_t* fileName) : module_(LoadSystemLibrary(fileName)) {
  error_ = module_ ? 0 : ::GetLastError();
  fileName_ = Narrow(fileName);
  if (!module_) missing_ = fileName_ + " could not be loaded from the system folder";
}

SystemFunctions::SystemFunctions(HMODULE module, const wchar_t* fileName) : module_(module) {
  error_ = module_ ? 0 : ::GetLastError();
  fileName_ = Narrow(fileName);
  if (!module_) missing_ = fileName_ + " could not be loaded";
}

void* SystemFunctions::Find(const char* name) const {
  return reinterpret_cast<void*>(::GetProcAddress(module_, name));
}

void SystemFunctions::MissFunction(const char* name) {
  error_ = ::GetLastError();
  missing_ = fileName_ + " has no " + name;
}

}  // namespace quorvex::win32
