#pragma once
// Finding a visual style among the program's resources by its name.

#include <windows.h>

#include <optional>
#include <string_view>

#include "window/VisualStyle.h"

namespace quorvex::window {

// Every resource of type "VISUALSTYLE" in module is read; the first that parses and carries
// the name wins. A resource that does not parse is passed over like a missing one.
std::optional<VisualStyle> FindVisualStyle(HMODULE module, std::string_view name);

}  // namespace quorvex::window
