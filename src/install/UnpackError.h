#pragma once
// The unpacker's failure, apart from the unpacker so that the ZIP reader and the name
// rules can throw it without depending on the rest.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "install/FileSystemError.h"

namespace quorvex {

// What went wrong, for callers and tests that act on it rather than on the message.
enum class UnpackFailure {
  kNotAPackage,   // the structure: end record, central directory, local headers, overlaps
  kAmbiguous,     // readable two ways: records or headers that disagree, two entries on one file
  kRefusedName,   // a name that the name rules refuse
  kUnsupported,   // a compression method or an encryption the unpacker does not handle
  kBadData,       // an entry's data ends early or does not inflate
  kChecksum,      // the written data's CRC-32 differs from the stored one
  kFileSystem,    // a folder or file that could not be made or written
  kResources,     // out of memory
};

// The package could not be unpacked; the message names the entry (when there is one) and
// the cause. Whatever was written before the failure stays on disk.
class UnpackError : public std::runtime_error {
 public:
  UnpackError(UnpackFailure kind, const std::string& message, std::string_view entry = {})
      : std::runtime_error(message), kind_(kind), entry_(entry) {}

  UnpackFailure kind() const noexcept { return kind_; }
  // The entry's name as read; empty when the failure is the package's as a whole.
  const std::string& entry() const noexcept { return entry_; }
  // For kChecksum: the CRC-32 the package stores and the one of the data written.
  std::optional<std::uint32_t> expectedCrc;
  std::optional<std::uint32_t> actualCrc;
  // For kFileSystem: the path that was being made or written (the ancestor, when that was
  // what failed), the operation that failed and the system's code, 0 when there is none
  // (a write that stored too little, a refusal).
  std::string path;
  std::optional<FileSystemFailure> fileSystemFailure;
  std::uint32_t systemCode = 0;

 private:
  UnpackFailure kind_;
  std::string entry_;
};

}  // namespace quorvex
