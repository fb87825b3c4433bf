#include "platform/win32/CommonControlsLibrary.h"

#include <stdexcept>
#include <string>

#include "platform/win32/SystemLibrary.h"
#include "platform/win32/TextConversion.h"

namespace quorvex::win32 {
namespace {

// A loader without the search flags still maps the version the manifest names: a name's
// binding to version 6 applies to loads by name, so the fallback is by name, not by full path.
HMODULE LoadCommonControls() {
  const HMODULE module = ::LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
  return ::LoadLibraryW(L"comctl32.dll");
}

CommonControlsFunctions Load() {
  SystemFunctions library(LoadCommonControls(), L"comctl32.dll");
  CommonControlsFunctions f;
  library.Resolve(f.InitCommonControlsEx, "InitCommonControlsEx")
      .Resolve(f.SetWindowSubclass, "SetWindowSubclass")
      .Resolve(f.RemoveWindowSubclass, "RemoveWindowSubclass")
      .Resolve(f.DefSubclassProc, "DefSubclassProc")
      .ResolveOptional(f.TaskDialogIndirect, "TaskDialogIndirect");
  if (!library.complete()) {
    throw std::runtime_error(library.missing() + ": error " + std::to_string(library.error()) + " (" +
                             SystemErrorText(library.error()) + ")");
  }
  return f;  // the library stays loaded for the rest of the process
}

}  // namespace

const CommonControlsFunctions& CommonControls() {
  static const CommonControlsFunctions functions = Load();
  return functions;
}

}  // namespace quorvex::win32
