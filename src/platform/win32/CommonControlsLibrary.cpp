#include "platform/win32/CommonControlsLibrary.h"

#include <stdexcept>
#include <string>

#include "platform/win32/TextConversion.h"

namespace quorvex::win32 {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  const DWORD error = ::GetLastError();
  throw std::runtime_error(what + ": error " + std::to_string(error) + " (" + SystemErrorText(error) + ")");
}

template <typename Function>
Function Find(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

template <typename Function>
void Resolve(HMODULE module, Function& slot, const char* name) {
  slot = Find<Function>(module, name);
  if (!slot) Fail(std::string("comctl32.dll has no ") + name);
}

CommonControlsFunctions Load() {
  HMODULE module = ::LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // A loader without the search flags still maps the version the manifest names.
  if (!module && ::GetLastError() == ERROR_INVALID_PARAMETER) module = ::LoadLibraryW(L"comctl32.dll");
  if (!module) Fail("Cannot load comctl32.dll");
  CommonControlsFunctions f;
  Resolve(module, f.InitCommonControlsEx, "InitCommonControlsEx");
  Resolve(module, f.SetWindowSubclass, "SetWindowSubclass");
  Resolve(module, f.RemoveWindowSubclass, "RemoveWindowSubclass");
  Resolve(module, f.DefSubclassProc, "DefSubclassProc");
  f.TaskDialogIndirect = Find<decltype(f.TaskDialogIndirect)>(module, "TaskDialogIndirect");
  return f;  // the library stays loaded for the rest of the process
}

}  // namespace

const CommonControlsFunctions& CommonControls() {
  static const CommonControlsFunctions functions = Load();
  return functions;
}

}  // namespace quorvex::win32
