#pragma once
// Where the program may load DLLs from: the system folder only.

#include <windows.h>

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

}  // namespace quorvex::win32
