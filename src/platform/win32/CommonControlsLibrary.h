#pragma once
// The common controls, loaded once the DLL search is confined rather than imported: a static
// import is loaded before the program's first instruction, and its start-up loads further
// libraries by name (the theme library, for one) while the program's own folder is still
// searched first.

#include <windows.h>
#include <commctrl.h>

namespace quorvex::win32 {

// The common-controls functions the program uses, resolved once. The manifest binds the
// name to version 6, so the loader maps that one, whatever the search flags say.
struct CommonControlsFunctions {
  decltype(&::InitCommonControlsEx) InitCommonControlsEx = nullptr;
  decltype(&::SetWindowSubclass) SetWindowSubclass = nullptr;
  decltype(&::RemoveWindowSubclass) RemoveWindowSubclass = nullptr;
  decltype(&::DefSubclassProc) DefSubclassProc = nullptr;
  // Null where the library has none (before version 6).
  decltype(&::TaskDialogIndirect) TaskDialogIndirect = nullptr;
};

// Loads comctl32.dll on the first call. Throws std::runtime_error, with the platform's code
// and text, when it or one of its functions is missing.
const CommonControlsFunctions& CommonControls();

}  // namespace quorvex::win32
