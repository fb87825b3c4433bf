#pragma once
// The package keys this installer was built with (QUORVEX_PACKAGE_KEYS), and how many distinct
// ones must have signed a package (QUORVEX_PACKAGE_THRESHOLD); each installer executable gets
// its own generated definition. No keys: packages are not checked.

#include <cstddef>
#include <span>

#include "install/PackageVerifier.h"

namespace quorvex::window {

std::span<const PackageKey> InstallerPackageKeys();
std::size_t InstallerPackageThreshold();

}  // namespace quorvex::window
