#pragma once
// The structure of a ZIP package held in memory: the end-of-central-directory search,
// ZIP64, central directory entries and local headers. Every offset and size is checked
// against the buffer in 64-bit arithmetic before anything is read; nothing is copied.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quorvex {

// One central directory entry, with ZIP64 values already resolved.
struct ZipEntry {
  std::string_view rawName;  // the stored name bytes, inside the package
  std::uint16_t versionMadeBy = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t externalAttributes = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint64_t localHeaderOffset = 0;
  // The central header's Unicode path extra field (0x7075), only when its CRC-32 matches rawName.
  std::optional<std::string_view> unicodePath;
};

inline constexpr std::uint16_t kZipFlagEncrypted = 0x0001;
inline constexpr std::uint16_t kZipFlagStrongEncryption = 0x0040;
inline constexpr std::uint16_t kZipFlagUtf8Name = 0x0800;

// What an entry's local header adds: where the data starts, and its own reading of the name.
struct ZipLocalHeader {
  std::string_view rawName;
  std::uint16_t flags = 0;
  // The Unicode path extra field (0x7075), only when its CRC-32 matches the header's name.
  std::optional<std::string_view> unicodePath;
  std::uint64_t dataOffset = 0;
};

// Where the central directory is, from the end-of-central-directory record (ZIP64 included).
struct CentralDirectory {
  std::uint64_t entryCount = 0;
  std::uint64_t offset = 0;  // of the first central header
  std::uint64_t size = 0;    // as the end record says
  // Where the records after the directory begin (the ZIP64 end record, else the end record):
  // the directory must end there, or readers that find it from its end read another.
  std::uint64_t recordsStart = 0;
};

// Where the end-of-central-directory record starts: the signature nearest the end of the
// package, within the reach of a comment. Throws UnpackError when there is none.
std::uint64_t LocateEndRecord(std::span<const std::uint8_t> package);

// Finds the end-of-central-directory record nearest the end of the package. The ZIP64
// locator before it counts only when it leads to a valid ZIP64 end record; a plain record
// with a saturated field needs one. Throws UnpackError when the package is not one.
CentralDirectory LocateCentralDirectory(std::span<const std::uint8_t> package);

// Reads the central directory entries one by one, in their order, without keeping them.
class CentralDirectoryCursor {
 public:
  CentralDirectoryCursor(std::span<const std::uint8_t> package, const CentralDirectory& directory)
      : package_(package), left_(directory.entryCount), at_(directory.offset) {}
  // Reads the next entry into entry; false after the last one. Throws UnpackError for an
  // entry that lies outside the package or has no signature.
  bool Next(ZipEntry& entry);
  // Where the entries read so far end: after the last one, the end of the directory.
  std::uint64_t position() const { return at_; }

 private:
  std::span<const std::uint8_t> package_;
  std::uint64_t left_;
  std::uint64_t at_;
  std::uint64_t index_ = 0;
};

// Reads the local header of an entry. Throws UnpackError naming entryName when it is
// missing, has no signature or runs past the end of the package.
ZipLocalHeader ReadLocalHeader(std::span<const std::uint8_t> package, const ZipEntry& entry,
                               std::string_view entryName);

}  // namespace quorvex
