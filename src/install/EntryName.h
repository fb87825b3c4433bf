#pragma once
// Entry names of a package: their encoding, the characters they may hold, and the rule
// that they stay inside the extraction folder.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "install/ZipReader.h"

namespace quorvex {

// A header's name as UTF-8: its Unicode path when it has a valid one, else its stored name, as
// UTF-8 when flag bit 11 says so, else as code page 437. The central header and the local one
// are each read this way, and must agree. Throws UnpackError when a name that claims to be
// UTF-8 is not.
std::string DecodeEntryName(std::uint16_t flags, std::string_view rawName, std::optional<std::string_view> unicodePath);

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
