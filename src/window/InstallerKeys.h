#pragma once
// The package keys this installer was built with (QUORVEX_PACKAGE_KEYS); each installer
// executable gets its own generated definition. Empty: packages are not checked.

#include <span>

#include "install/PackageSignature.h"

namespace quorvex::window {

std::span<const PackageKey> InstallerPackageKeys();

}  // namespace quorvex::window
