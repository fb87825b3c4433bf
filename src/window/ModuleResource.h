#pragma once
// Reading the program's own resources (the logo, the visual styles) in place.

#include <windows.h>

#include <cstdint>
#include <span>

namespace quorvex::window {

// The bytes of one resource of module; empty when it is missing or cannot be loaded (then
// GetLastError says why). They stay mapped as long as the module is loaded.
std::span<const std::uint8_t> ResourceBytes(HMODULE module, const wchar_t* name, const wchar_t* type);

}  // namespace quorvex::window
