#include "window/StyleResource.h"

#include <vector>

#include "platform/win32/SystemCallback.h"
#include "window/FaultPoint.h"
#include "window/ModuleResource.h"

namespace quorvex::window {

namespace {

constexpr const wchar_t* kStyleResourceType = L"VISUALSTYLE";

BOOL CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
  QUORVEX_FAULT_POINT("style");  // test builds only: the style cannot be read for want of memory
  auto* names = reinterpret_cast<std::vector<std::wstring>*>(param);
  // Numbered resources are kept as "#123", which FindResourceW accepts too.
  names->push_back(IS_INTRESOURCE(name) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name)) : name);
  return TRUE;
}

}  // namespace

std::optional<VisualStyle> FindVisualStyle(HMODULE module, std::string_view name) {
  std::vector<std::wstring> names;
  ::EnumResourceNamesW(module, kStyleResourceType, win32::SystemCallback<&CollectName>::Call,
                       reinterpret_cast<LONG_PTR>(&names));
  win32::RethrowCallbackFailure();
  for (const std::wstring& resourceName : names) {
    const auto bytes = ResourceBytes(module, resourceName.c_str(), kStyleResourceType);
    if (bytes.empty()) continue;
    try {
      VisualStyle style =
          ParseVisualStyle(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      if (style.name == name) return style;
    } catch (const StyleError&) {
      continue;
    }
  }
  return std::nullopt;
}

}  // namespace quorvex::window
