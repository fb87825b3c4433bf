#pragma once
// Unpacks a ZIP package held in memory into a folder, through the file-system port.

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "install/FileSystem.h"

namespace quorvex {

// The package could not be unpacked; the message names the entry (when there is one) and
// the cause. Whatever was written before the failure stays on disk.
class UnpackError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Extracts every entry of package, in central-directory order, below extractionFolder (a
// Windows path with its trailing backslash, e.g. "C:\Quorvex\"). Works on the caller's
// buffer without copying it. The first failure stops the run with an UnpackError; files
// written before it, including a partly written one, stay.
void UnpackPackage(std::span<const std::uint8_t> package, const std::string& extractionFolder, FileSystem& files);

}  // namespace quorvex
