#pragma once
// Entry names of a package: their encoding, the characters they may hold, and the rule
// that they stay inside the extraction folder.

#include <string>
#include <string_view>

#include "install/ZipReader.h"

namespace quorvex {

// The entry's name as UTF-8: the local header's Unicode path when it is valid, else the
// stored name, as UTF-8 when flag bit 11 says so, else as code page 437. Throws
// UnpackError when a name that claims to be UTF-8 is not.
std::string DecodeEntryName(const ZipEntry& entry, const ZipLocalHeader& local);

// Where an entry lands below the extraction folder.
struct EntryTarget {
  std::string relativePath;  // backslash-separated; no trailing separator
  bool isFolder = false;     // the name ended with "/" or "\"
};

// Checks a decoded name and turns it into a relative Windows path. Throws UnpackError,
// naming the entry, for control characters, '"', '<', '>', '|', '?', '*' (characters no
// Windows file name may hold, refused in every build alike), and anything that could
// leave the extraction folder: a leading separator, ':' (drives, alternate streams), "..",
// empty components, components ending in '.' or ' ', and reserved device names.
// Backslashes count as separators for the check.
EntryTarget CheckEntryName(std::string_view name);

// The name in double quotes for messages, control characters escaped as \xNN.
std::string QuoteEntryName(std::string_view name);
// "Cannot unpack entry "name": ", how every message about one entry begins.
std::string EntryPrefix(std::string_view name);

}  // namespace quorvex
