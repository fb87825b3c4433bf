#include "install/ZipReader.h"

#include <zlib.h>

#include <optional>
#include <string>

#include "install/Bytes.h"
#include "install/EntryName.h"
#include "install/UnpackError.h"

namespace quorvex {
namespace {

constexpr std::uint32_t kEndOfCentralDirectorySignature = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;

constexpr std::uint64_t kEndRecordSize = 22;
constexpr std::uint64_t kMaxCommentSize = 0xFFFF;
constexpr std::uint64_t kZip64LocatorSize = 20;
constexpr std::uint64_t kZip64EndSize = 56;
constexpr std::uint64_t kCentralHeaderSize = 46;
constexpr std::uint64_t kLocalHeaderSize = 30;

constexpr std::uint16_t kZip64ExtraTag = 0x0001;
constexpr std::uint16_t kUnicodePathExtraTag = 0x7075;

[[noreturn]] void NotAPackage(const std::string& cause) {
  throw UnpackError(UnpackFailure::kNotAPackage, "Not a package: " + cause);
}

// The record nearest the end wins: a comment may itself contain the signature bytes only
// before the real record.
std::uint64_t FindEndRecord(const Bytes& package) {
  if (package.size() < kEndRecordSize) NotAPackage("too short for an end-of-central-directory record");
  const std::uint64_t last = package.size() - kEndRecordSize;
  const std::uint64_t first = last > kMaxCommentSize ? last - kMaxCommentSize : 0;
  for (std::uint64_t at = last + 1; at-- > first;) {
    if (package.U32(at) == kEndOfCentralDirectorySignature) return at;
  }
  NotAPackage("no end-of-central-directory record");
}

// The ZIP64 end record that a locator just before the plain record leads to. The locator's
// signature may also just be part of the last entry's name or extra field: without a
// ZIP64 end record where it points (before the locator), there is none.
std::optional<CentralDirectory> ReadZip64End(const Bytes& package, std::uint64_t end, std::uint64_t& recordAt) {
  if (end < kZip64LocatorSize) return std::nullopt;
  const std::uint64_t locator = end - kZip64LocatorSize;
  if (package.U32(locator) != kZip64LocatorSignature) return std::nullopt;
  const std::uint64_t record = package.U64(locator + 8);
  if (record > locator || locator - record < kZip64EndSize || package.U32(record) != kZip64EndSignature) {
    return std::nullopt;
  }
  if (package.U32(locator + 16) > 1 || package.U32(record + 16) != 0 || package.U32(record + 20) != 0) {
    NotAPackage("spans several disks");
  }
  recordAt = record;
  return CentralDirectory{package.U64(record + 32), package.U64(record + 48), package.U64(record + 40), record};
}

[[noreturn]] void TwoReadings(const std::string& field, std::uint64_t plain, std::uint64_t zip64) {
  throw UnpackError(UnpackFailure::kAmbiguous, "Not a package: the end record's " + field + " is " +
                                                   std::to_string(plain) + " but the ZIP64 end record's is " +
                                                   std::to_string(zip64) + ", so that readers disagree on its contents");
}

// The Unicode path extra field among extra, when its CRC-32 is that of rawName: version 1, the
// CRC-32 of the header's own name, then the name in UTF-8.
std::optional<std::string_view> FindUnicodePath(const Bytes& extra, std::string_view rawName) {
  std::uint64_t pos = 0;
  while (extra.Holds(pos, 4)) {
    const std::uint16_t tag = extra.U16(pos);
    const std::uint16_t length = extra.U16(pos + 2);
    pos += 4;
    if (!extra.Holds(pos, length)) break;
    if (tag == kUnicodePathExtraTag && length >= 5 && extra.U8(pos) == 1 &&
        extra.U32(pos + 1) == crc32_z(0, reinterpret_cast<const Bytef*>(rawName.data()), rawName.size())) {
      return extra.Text(pos + 5, length - 5U);
    }
    pos += length;
  }
  return std::nullopt;
}

// Replaces the saturated 32-bit values of an entry with those of its ZIP64 extra field,
// which holds them in this order and only for the fields that are saturated.
void ApplyZip64Extra(const Bytes& extra, ZipEntry& entry, std::string_view entryName, bool needsDisk) {
  const bool needsUncompressed = entry.uncompressedSize == 0xFFFFFFFF;
  const bool needsCompressed = entry.compressedSize == 0xFFFFFFFF;
  const bool needsOffset = entry.localHeaderOffset == 0xFFFFFFFF;
  if (!needsUncompressed && !needsCompressed && !needsOffset && !needsDisk) return;
  std::uint64_t at = 0;
  while (extra.Holds(at, 4)) {
    const std::uint16_t tag = extra.U16(at);
    const std::uint16_t length = extra.U16(at + 2);
    at += 4;
    if (!extra.Holds(at, length)) break;
    if (tag == kZip64ExtraTag) {
      const Bytes field = extra.Slice(at, length);
      std::uint64_t pos = 0;
      auto take = [&](std::uint64_t& value) {
        if (!field.Holds(pos, 8)) {
          throw UnpackError(UnpackFailure::kNotAPackage, EntryPrefix(entryName) + "its ZIP64 field is too short",
                            entryName);
        }
        value = field.U64(pos);
        pos += 8;
      };
      if (needsUncompressed) take(entry.uncompressedSize);
      if (needsCompressed) take(entry.compressedSize);
      if (needsOffset) take(entry.localHeaderOffset);
      return;
    }
    at += length;
  }
  throw UnpackError(UnpackFailure::kNotAPackage, EntryPrefix(entryName) + "its ZIP64 field is missing", entryName);
}

}  // namespace

std::uint64_t LocateEndRecord(std::span<const std::uint8_t> package) { return FindEndRecord(Bytes(package)); }

CentralDirectory LocateCentralDirectory(std::span<const std::uint8_t> data) {
  const Bytes package(data);
  const std::uint64_t end = FindEndRecord(package);
  const std::uint16_t disk = package.U16(end + 4);
  const std::uint16_t directoryDisk = package.U16(end + 6);
  const std::uint16_t diskEntries = package.U16(end + 8);
  const std::uint16_t entries = package.U16(end + 10);
  const std::uint32_t size = package.U32(end + 12);
  const std::uint32_t offset = package.U32(end + 16);
  std::uint64_t record = 0;
  if (const std::optional<CentralDirectory> zip64 = ReadZip64End(package, end, record)) {
    // Its values count only where the plain field is saturated; elsewhere both must agree.
    if (disk != 0xFFFF && disk != package.U32(record + 16)) TwoReadings("disk number", disk, package.U32(record + 16));
    if (directoryDisk != 0xFFFF && directoryDisk != package.U32(record + 20)) {
      TwoReadings("directory's disk number", directoryDisk, package.U32(record + 20));
    }
    if (diskEntries != 0xFFFF && diskEntries != package.U64(record + 24)) {
      TwoReadings("entry count on this disk", diskEntries, package.U64(record + 24));
    }
    if (entries != 0xFFFF && entries != zip64->entryCount) TwoReadings("entry count", entries, zip64->entryCount);
    if (size != 0xFFFFFFFF && size != zip64->size) TwoReadings("directory size", size, zip64->size);
    if (offset != 0xFFFFFFFF && offset != zip64->offset) TwoReadings("directory offset", offset, zip64->offset);
    if (package.U64(record + 24) != zip64->entryCount) {
      TwoReadings("entry count on this disk (ZIP64)", package.U64(record + 24), zip64->entryCount);
    }
    return *zip64;
  }
  if (disk == 0xFFFF || directoryDisk == 0xFFFF || diskEntries == 0xFFFF || entries == 0xFFFF ||
      size == 0xFFFFFFFF || offset == 0xFFFFFFFF) {
    NotAPackage("the end-of-central-directory record needs a ZIP64 end record, and there is none");
  }
  if (disk != 0 || directoryDisk != 0) NotAPackage("spans several disks");
  if (diskEntries != entries) NotAPackage("spans several disks (its entry counts differ)");
  return {entries, offset, size, end};
}

bool CentralDirectoryCursor::Next(ZipEntry& entry) {
  if (left_ == 0) return false;
  const Bytes package(package_);
  const std::uint64_t at = at_;
  const std::string number = std::to_string(index_ + 1);
  if (!package.Holds(at, kCentralHeaderSize)) NotAPackage("central directory entry " + number + " lies outside the file");
  if (package.U32(at) != kCentralHeaderSignature) NotAPackage("central directory entry " + number + " has no signature");
  const std::uint64_t nameLength = package.U16(at + 28);
  const std::uint64_t extraLength = package.U16(at + 30);
  const std::uint64_t commentLength = package.U16(at + 32);
  if (!package.Holds(at + kCentralHeaderSize, nameLength + extraLength + commentLength)) {
    NotAPackage("central directory entry " + number + " runs past the end of the file");
  }
  entry = ZipEntry{};
  entry.versionMadeBy = package.U16(at + 4);
  entry.flags = package.U16(at + 8);
  entry.method = package.U16(at + 10);
  entry.dosTime = package.U16(at + 12);
  entry.dosDate = package.U16(at + 14);
  entry.crc32 = package.U32(at + 16);
  entry.compressedSize = package.U32(at + 20);
  entry.uncompressedSize = package.U32(at + 24);
  entry.externalAttributes = package.U32(at + 38);
  entry.localHeaderOffset = package.U32(at + 42);
  entry.rawName = package.Text(at + kCentralHeaderSize, nameLength);
  const Bytes extra = package.Slice(at + kCentralHeaderSize + nameLength, extraLength);
  ApplyZip64Extra(extra, entry, entry.rawName, package.U16(at + 34) == 0xFFFF);
  entry.unicodePath = FindUnicodePath(extra, entry.rawName);
  at_ = at + kCentralHeaderSize + nameLength + extraLength + commentLength;
  --left_;
  ++index_;
  return true;
}

ZipLocalHeader ReadLocalHeader(std::span<const std::uint8_t> data, const ZipEntry& entry,
                               std::string_view entryName) {
  const Bytes package(data);
  const std::uint64_t at = entry.localHeaderOffset;
  const auto Refuse = [&](const char* cause) {
    throw UnpackError(UnpackFailure::kNotAPackage, EntryPrefix(entryName) + cause, entryName);
  };
  if (!package.Holds(at, kLocalHeaderSize)) Refuse("its local header lies outside the package");
  if (package.U32(at) != kLocalHeaderSignature) Refuse("its local header has no signature");
  const std::uint64_t nameLength = package.U16(at + 26);
  const std::uint64_t extraLength = package.U16(at + 28);
  if (!package.Holds(at + kLocalHeaderSize, nameLength + extraLength)) {
    Refuse("its local header runs past the end of the package");
  }
  ZipLocalHeader header;
  header.rawName = package.Text(at + kLocalHeaderSize, nameLength);
  header.flags = package.U16(at + 6);
  header.dataOffset = at + kLocalHeaderSize + nameLength + extraLength;
  header.unicodePath = FindUnicodePath(package.Slice(at + kLocalHeaderSize + nameLength, extraLength), header.rawName);
  return header;
}

}  // namespace quorvex
