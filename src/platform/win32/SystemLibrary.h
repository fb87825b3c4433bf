#pragma once
// Where the program may load DLLs from: the system folder only.

#include <windows.h>

#include <string>

namespace quorvex::win32 {

// Removes the program's folder and the current folder from the DLL search for the rest of
// the process (RestrictDefaultSearch), then loads from System32 the libraries that the
// system loads later by name, so that every such load finds that copy. Call it first,
// before anything loads a library.
void RestrictDllSearchToSystem();

// The search part alone. Where the system cannot restrict the search to System32 (an
// unpatched Windows 7), at least the current folder is removed.
void RestrictDefaultSearch();

// Loads a system library by file name from the system folder only (by full path where the
// search flags are not understood). Null with the last error set when it fails.
HMODULE LoadSystemLibrary(const wchar_t* fileName);

// A library's functions, resolved by name into the caller's table. The library stays loaded for
// the rest of the process. Something missing throws nothing here: the first thing missing (the
// library, or a function) is kept with the system's code, and each caller makes of it its own
// failure.
//   SystemFunctions library(L"winhttp.dll");
//   library.Resolve(table.Open, "WinHttpOpen").Resolve(table.Connect, "WinHttpConnect");
//   if (!library.complete()) throw ...(library.error(), library.missing());
class SystemFunctions {
 public:
  // Loads fileName with LoadSystemLibrary: from the system folder only.
  explicit SystemFunctions(const wchar_t* fileName);
  // A library the caller loaded by a rule of its own; null with the last error set when that
  // failed.
  SystemFunctions(HMODULE module, const wchar_t* fileName);

  // Resolves name into slot. Once something is missing, slots stay as they are.
  template <typename Function>
  SystemFunctions& Resolve(Function& slot, const char* name) {
    if (complete()) {
      slot = reinterpret_cast<Function>(Find(name));
      if (!slot) MissFunction(name);
    }
    return *this;
  }
  // Resolves a function that the library may lack: null then, and not missing.
  template <typename Function>
  SystemFunctions& ResolveOptional(Function& slot, const char* name) {
    slot = module_ ? reinterpret_cast<Function>(Find(name)) : nullptr;
    return *this;
  }

  HMODULE module() const { return module_; }
  bool complete() const { return missing_.empty(); }
  // What is missing, e.g. "winhttp.dll has no WinHttpOpen"; empty while nothing is.
  const std::string& missing() const { return missing_; }
  // The system's code for what is missing; 0 while nothing is.
  DWORD error() const { return error_; }

 private:
  void* Find(const char* name) const;
  void MissFunction(const char* name);

  HMODULE module_ = nullptr;
  std::string fileName_;
  std::string missing_;
  DWORD error_ = 0;
};

}  // namespace quorvex::win32
