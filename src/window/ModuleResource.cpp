#include "window/ModuleResource.h"

namespace quorvex::window {

std::span<const std::uint8_t> ResourceBytes(HMODULE module, const wchar_t* name, const wchar_t* type) {
  HRSRC info = ::FindResourceW(module, name, type);
  if (!info) return {};
  HGLOBAL loaded = ::LoadResource(module, info);
  const void* data = loaded ? ::LockResource(loaded) : nullptr;
  if (!data) return {};
  return {static_cast<const std::uint8_t*>(data), ::SizeofResource(module, info)};
}

}  // namespace quorvex::window
