#include "install/Unpacker.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "install/EntryName.h"
#include "install/EntryWriter.h"
#include "install/ZipReader.h"
#include "text/Utf8.h"

namespace quorvex {
namespace {

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;
constexpr std::uint32_t kDosAttributeMask = kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive;

// Stored data is written straight from the package, in chunks of 1 MiB: on Linux ext4,
// single writes of 2 MiB and more measured about ten times slower per byte.
constexpr std::size_t kStoredChunk = std::size_t{1} << 20;

class InflateStream {
 public:
  InflateStream() {
    if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) throw UnpackError(UnpackFailure::kResources, "Cannot start inflating: out of memory");
  }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;
  ~InflateStream() { inflateEnd(&stream_); }
  void Reset() { inflateReset(&stream_); }
  z_stream& operator*() { return stream_; }

 private:
  z_stream stream_{};
};

// Produce one file entry's data into the writer; with crc, they also take its CRC-32 there.
// They throw UnpackError for data that ends early or does not inflate, after queuing what
// came before the fault.
void ProduceStored(std::span<const std::uint8_t> input, std::uint64_t size, EntryWriter& writer,
                   std::optional<std::uint32_t>& crc, std::string_view entryName) {
  const std::uint64_t available = std::min<std::uint64_t>(input.size(), size);
  for (std::uint64_t done = 0; done < available;) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(available - done, kStoredChunk));
    writer.Write(input.data() + done, chunk);
    // The package is only read, so this runs alongside the writer's copy of the chunk.
    if (crc) crc = static_cast<std::uint32_t>(crc32_z(*crc, input.data() + done, chunk));
    done += chunk;
  }
  if (available < size) throw UnpackError(UnpackFailure::kBadData, EntryPrefix(entryName) + "its data ends early", entryName);
}

void ProduceInflated(std::span<const std::uint8_t> input, std::uint64_t size, EntryWriter& writer,
                     InflateStream& inflater, std::optional<std::uint32_t>& crc, std::string_view entryName) {
  z_stream& stream = *inflater;
  inflater.Reset();
  constexpr std::uint64_t kMaxInput = std::numeric_limits<uInt>::max();
  const std::uint8_t* next = input.data();
  std::uint64_t inputLeft = input.size();
  stream.avail_in = 0;
  std::uint64_t outputLeft = size;
  bool ended = false;
  while (outputLeft > 0 && !ended) {
    const std::span<std::uint8_t> region = writer.Region(outputLeft);
    stream.next_out = region.data();
    stream.avail_out = static_cast<uInt>(region.size());
    std::string fault;
    while (stream.avail_out > 0) {
      if (stream.avail_in == 0 && inputLeft > 0) {
        const std::uint64_t chunk = std::min(inputLeft, kMaxInput);
        stream.next_in = const_cast<Bytef*>(next);
        stream.avail_in = static_cast<uInt>(chunk);
        next += chunk;
        inputLeft -= chunk;
      }
      const int result = inflate(&stream, Z_NO_FLUSH);
      if (result == Z_STREAM_END) {
        ended = true;
        break;
      }
      if (result == Z_BUF_ERROR && stream.avail_in == 0 && inputLeft == 0) {
        fault = "its data ends early";
        break;
      }
      if (result != Z_OK) {
        fault = std::string("its data cannot be inflated (") + (stream.msg ? stream.msg : "zlib error") + ")";
        break;
      }
    }
    const std::size_t produced = region.size() - stream.avail_out;
    // Taken while the region is still in cache; the block is reused only after it is released.
    if (crc) crc = static_cast<std::uint32_t>(crc32_z(*crc, region.data(), produced));
    writer.Write(region.data(), produced);
    writer.Used(produced);
    outputLeft -= produced;
    if (!fault.empty()) throw UnpackError(UnpackFailure::kBadData, EntryPrefix(entryName) + fault, entryName);
  }
  if (outputLeft > 0) throw UnpackError(UnpackFailure::kBadData, EntryPrefix(entryName) + "its data ends early", entryName);
}

// One entry with every check made that needs no writing.
struct CheckedEntry {
  ZipEntry entry;
  std::string name;
  EntryTarget target;
  std::uint64_t dataOffset = 0;
  bool unicodePath = false;
};

CheckedEntry CheckEntry(std::span<const std::uint8_t> package, const ZipEntry& entry) {
  const ZipLocalHeader local = ReadLocalHeader(package, entry, entry.rawName);
  CheckedEntry checked;
  checked.entry = entry;
  checked.name = DecodeEntryName(entry, local);
  checked.target = CheckEntryName(checked.name);
  checked.dataOffset = local.dataOffset;
  checked.unicodePath = local.unicodePath.has_value();
  // ReadLocalHeader saw the header and its name inside the package.
  if (entry.compressedSize > package.size() - local.dataOffset) {
    throw UnpackError(UnpackFailure::kNotAPackage, EntryPrefix(checked.name) + "its data runs past the end of the package",
                      checked.name);
  }
  if (checked.target.isFolder) return checked;
  if (entry.flags & (kZipFlagEncrypted | kZipFlagStrongEncryption)) {
    throw UnpackError(UnpackFailure::kUnsupported, EntryPrefix(checked.name) + "encrypted entries are not supported",
                      checked.name);
  }
  if (entry.method != kMethodStored && entry.method != kMethodDeflate) {
    throw UnpackError(UnpackFailure::kUnsupported,
                      EntryPrefix(checked.name) + "compression method " + std::to_string(entry.method) +
                          " is not supported",
                      checked.name);
  }
  if (entry.method == kMethodStored && entry.compressedSize < entry.uncompressedSize) {
    throw UnpackError(UnpackFailure::kNotAPackage, EntryPrefix(checked.name) + "its stored data is shorter than its size",
                      checked.name);
  }
  return checked;
}

// From an entry's local header to the end of its data, or the central directory's extent.
struct ByteRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

ByteRange RangeOf(const CheckedEntry& checked) {
  return {checked.entry.localHeaderOffset, checked.dataOffset + checked.entry.compressedSize};
}

// The first entry in directory order whose range is range, other than the one at skip.
std::optional<std::pair<std::uint64_t, std::string>> FindEntryWithRange(std::span<const std::uint8_t> package,
                                                                        const CentralDirectory& directory,
                                                                        ByteRange range,
                                                                        std::optional<std::uint64_t> skip) {
  CentralDirectoryCursor cursor(package, directory);
  ZipEntry entry;
  for (std::uint64_t index = 0; cursor.Next(entry); ++index) {
    const CheckedEntry checked = CheckEntry(package, entry);
    const ByteRange candidate = RangeOf(checked);
    if (candidate.start == range.start && candidate.end == range.end && index != skip) {
      return std::pair{index, checked.name};
    }
  }
  return std::nullopt;
}

// Entries whose data overlap would write one stream several times over (a few kilobytes
// of package could make gigabytes of files), and data reaching into the central directory
// is not an entry's. Only the ranges are kept: 16 bytes an entry, released before writing.
void CheckNoOverlap(std::span<const std::uint8_t> package, const CentralDirectory& directory,
                    std::vector<ByteRange>& ranges, ByteRange directoryRange) {
  if (directoryRange.end > directoryRange.start) ranges.push_back(directoryRange);
  std::sort(ranges.begin(), ranges.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.start != b.start ? a.start < b.start : a.end < b.end; });
  std::size_t widest = 0;
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].start < ranges[widest].end) {
      const auto isDirectory = [&](ByteRange r) { return r.start == directoryRange.start && r.end == directoryRange.end; };
      const ByteRange a = ranges[widest];
      const ByteRange b = ranges[i];
      if (isDirectory(a) || isDirectory(b)) {
        const auto entry = FindEntryWithRange(package, directory, isDirectory(a) ? b : a, std::nullopt);
        throw UnpackError(UnpackFailure::kNotAPackage,
                          EntryPrefix(entry ? entry->second : "") + "its data overlaps the central directory",
                          entry ? entry->second : "");
      }
      const auto first = FindEntryWithRange(package, directory, a, std::nullopt);
      const auto second = FindEntryWithRange(package, directory, b, first ? std::optional(first->first) : std::nullopt);
      if (!first || !second) throw UnpackError(UnpackFailure::kNotAPackage, "Not a package: entries overlap");
      const bool firstIsEarlier = first->first < second->first;
      const std::string& later = firstIsEarlier ? second->second : first->second;
      throw UnpackError(UnpackFailure::kNotAPackage,
                        EntryPrefix(later) + "its data overlaps that of entry " +
                            QuoteEntryName(firstIsEarlier ? first->second : second->second),
                        later);
    }
    if (ranges[i].end > ranges[widest].end) widest = i;
  }
}

// Everything CheckPackage promises, without visiting; returns where the directory is.
CentralDirectory CheckStructure(std::span<const std::uint8_t> package) {
  const CentralDirectory directory = LocateCentralDirectory(package);
  std::vector<ByteRange> ranges;
  // Every central header takes at least 46 bytes, so a bogus count cannot make this allocate much.
  ranges.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(directory.entryCount, package.size() / 46)) + 1);
  CentralDirectoryCursor cursor(package, directory);
  ZipEntry entry;
  while (cursor.Next(entry)) ranges.push_back(RangeOf(CheckEntry(package, entry)));
  CheckNoOverlap(package, directory, ranges, {directory.offset, cursor.position()});
  return directory;
}

void UnpackEntries(std::span<const std::uint8_t> package, const CentralDirectory& directory,
                   const std::string& extractionFolder, EntryWriter& writer) {
  CentralDirectoryCursor cursor(package, directory);
  ZipEntry zipEntry;
  std::optional<InflateStream> inflater;
  // Consecutive entries mostly share their folder: it is created once for them.
  std::string lastFolder;
  while (cursor.Next(zipEntry)) {
    writer.ThrowIfFailed();
    const CheckedEntry checked = CheckEntry(package, zipEntry);
    const ZipEntry& entry = checked.entry;
    const std::string& name = checked.name;
    const std::string path = extractionFolder + checked.target.relativePath;
    const std::string folder = checked.target.isFolder ? path : path.substr(0, path.rfind('\\'));
    if (folder != lastFolder) {
      writer.CreateFolder(folder, name);
      lastFolder = folder;
    }
    if (checked.target.isFolder) continue;

    std::optional<std::uint32_t> crc;
    if (writer.Behind()) crc = static_cast<std::uint32_t>(crc32_z(0, nullptr, 0));
    writer.BeginFile(path, name, crc.has_value());

    // The data starts after the local header; the central directory says how long it is.
    const std::span<const std::uint8_t> data =
        package.subspan(static_cast<std::size_t>(checked.dataOffset), static_cast<std::size_t>(entry.compressedSize));
    if (entry.method == kMethodStored || entry.uncompressedSize == 0) {
      ProduceStored(data, entry.uncompressedSize, writer, crc, name);
    } else {
      if (!inflater) inflater.emplace();
      ProduceInflated(data, entry.uncompressedSize, writer, *inflater, crc, name);
    }
    const bool dosHost = (entry.versionMadeBy >> 8) == 0;
    writer.EndFile(entry.crc32, crc, DosDateTime{entry.dosDate, entry.dosTime},
                   dosHost ? std::optional(entry.externalAttributes & kDosAttributeMask) : std::nullopt);
  }
}

}  // namespace

void CheckPackage(std::span<const std::uint8_t> package, const std::function<void(const PackageEntry&)>& visit) {
  const CentralDirectory directory = CheckStructure(package);
  if (!visit) return;
  CentralDirectoryCursor cursor(package, directory);
  ZipEntry entry;
  while (cursor.Next(entry)) {
    const CheckedEntry checked = CheckEntry(package, entry);
    PackageEntry out;
    out.name = checked.name;
    out.relativePath = checked.target.relativePath;
    out.isFolder = checked.target.isFolder;
    out.size = entry.uncompressedSize;
    out.storedName = std::string(entry.rawName);
    out.unmarkedUtf8 = !checked.unicodePath && (entry.flags & kZipFlagUtf8Name) == 0 &&
                       std::any_of(entry.rawName.begin(), entry.rawName.end(),
                                   [](char c) { return static_cast<std::uint8_t>(c) >= 0x80; }) &&
                       IsValidUtf8(entry.rawName);
    visit(out);
  }
}

void UnpackPackage(std::span<const std::uint8_t> package, const std::string& extractionFolder, FileSystem& files) {
  // A package that is bad as a whole writes nothing: the old installation stays as it is.
  const CentralDirectory directory = CheckStructure(package);
  EntryWriter writer(files);
  try {
    UnpackEntries(package, directory, extractionFolder, writer);
  } catch (const UnpackError&) {
    // What was queued before this failure happened first; a failure of the writer there
    // is the earlier one and wins.
    writer.Finish();
    throw;
  }
  writer.Finish();
}

}  // namespace quorvex
