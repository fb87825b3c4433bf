#pragma once
// Unpacks a ZIP package held in memory into a folder, through the file-system port.

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "install/FileSystem.h"
#include "install/UnpackError.h"

namespace quorvex {

// What unpacking will make of one entry, known before anything is written.
struct PackageEntry {
  std::string name;          // as read: Unicode path, UTF-8 (flag bit 11) or code page 437
  std::string relativePath;  // below the extraction folder, backslash-separated
  bool isFolder = false;
  std::uint64_t size = 0;    // uncompressed
  std::uint32_t crc32 = 0;   // of the uncompressed data, as stored
  // The stored name is non-ASCII and valid UTF-8, but neither flag bit 11 nor a Unicode
  // path says so: it is read as code page 437 all the same (into name).
  bool unmarkedUtf8 = false;
  std::string storedName;    // the name's bytes as stored in the central directory
};

// Checks everything about a package that can be known without writing: the central
// directory, every entry's local header, name (all the name rules), method, encryption,
// and that the entries' data lie inside the package, overlap neither each other nor the
// central directory. Then calls visit for each entry in central-directory order. Throws
// UnpackError, naming the entry where there is one, before visit is called at all.
void CheckPackage(std::span<const std::uint8_t> package, const std::function<void(const PackageEntry&)>& visit);

// Extracts every entry of package, in central-directory order, below extractionFolder (a
// Windows path with its trailing backslash, e.g. "C:\Quorvex\"); a long deflated entry may
// be finished after short entries that follow it, never after a later entry that may name
// the same file, so the later of two such entries still wins. Works on the caller's
// buffer without copying it. A package that fails CheckPackage writes nothing at all.
// Otherwise the first failure found while writing (data that does not inflate or ends
// early, a CRC-32 mismatch, a file that cannot be written) stops the run with an
// UnpackError; files written before it, including a partly written one, stay. "First" is
// in the order the work reaches the file system: the package's order, but for a long entry
// still being inflated, whose end comes after the short entries written meanwhile. That
// order depends on the package alone, never on how fast the file system is.
// Returns what was unpacked, for the run log.
struct UnpackSummary {
  std::uint64_t entries = 0;
  std::uint64_t files = 0;
  std::uint64_t folders = 0;  // folder entries
  std::uint64_t bytes = 0;    // of the files, uncompressed
};
UnpackSummary UnpackPackage(std::span<const std::uint8_t> package, const std::string& extractionFolder,
                            FileSystem& files);

}  // namespace quorvex
