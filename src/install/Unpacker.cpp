#include "install/Unpacker.h"

#include <zlib.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "install/EntryName.h"
#include "install/EntryWriter.h"
#include "install/ZipReader.h"
#include "text/AsciiCase.h"
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

// One deflated entry's data, inflated a region at a time into the writer's slot.
class Inflation {
 public:
  Inflation(std::span<const std::uint8_t> input, std::uint64_t size, InflateStream& inflater,
            std::optional<std::uint32_t> crc, std::string entryName, int slot)
      : inflater_(inflater), next_(input.data()), inputLeft_(input.size()), outputLeft_(size), crc_(crc),
        entryName_(std::move(entryName)), slot_(slot) {
    inflater_.Reset();
    (*inflater_).avail_in = 0;
  }

  // Inflates one region and queues it; false once the data is complete. Throws UnpackError
  // for data that ends early or does not inflate, after queuing what came before the fault.
  bool Step(EntryWriter& writer) {
    if (outputLeft_ == 0 || ended_) {
      if (outputLeft_ > 0) Fault("its data ends early");
      return false;
    }
    constexpr std::uint64_t kMaxInput = std::numeric_limits<uInt>::max();
    z_stream& stream = *inflater_;
    const std::span<std::uint8_t> region = writer.Region(outputLeft_);
    stream.next_out = region.data();
    stream.avail_out = static_cast<uInt>(region.size());
    std::string fault;
    while (stream.avail_out > 0) {
      if (stream.avail_in == 0 && inputLeft_ > 0) {
        const std::uint64_t chunk = std::min(inputLeft_, kMaxInput);
        stream.next_in = const_cast<Bytef*>(next_);
        stream.avail_in = static_cast<uInt>(chunk);
        next_ += chunk;
        inputLeft_ -= chunk;
      }
      const int result = inflate(&stream, Z_NO_FLUSH);
      if (result == Z_STREAM_END) {
        ended_ = true;
        break;
      }
      if (result == Z_BUF_ERROR && stream.avail_in == 0 && inputLeft_ == 0) {
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
    if (crc_) crc_ = static_cast<std::uint32_t>(crc32_z(*crc_, region.data(), produced));
    writer.Write(region.data(), produced, slot_);
    writer.Used(produced);
    outputLeft_ -= produced;
    if (!fault.empty()) Fault(fault);
    return true;
  }

  std::optional<std::uint32_t> crc() const { return crc_; }

 private:
  [[noreturn]] void Fault(const std::string& what) const {
    throw UnpackError(UnpackFailure::kBadData, EntryPrefix(entryName_) + what, entryName_);
  }

  InflateStream& inflater_;
  const std::uint8_t* next_;
  std::uint64_t inputLeft_;
  std::uint64_t outputLeft_;
  bool ended_ = false;
  std::optional<std::uint32_t> crc_;
  std::string entryName_;
  int slot_;
};

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

// Deflated entries at least this long are inflated in the writer's background slot, one at a
// time and a region between each of the entries after them: where creating a file costs more
// than writing its bytes (Windows), the short entries' creations then overlap the long
// entries' inflating instead of waiting for it. Long entries wait their turn in order, up to
// a bound, so a package that lists its large files first still overlaps.
constexpr std::uint64_t kBackgroundSize = std::uint64_t{4} << 20;
constexpr std::size_t kMaxWaitingLongEntries = 64;

bool HasNonAscii(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<std::uint8_t>(c) >= 0x80; });
}

// True when an entry written to path might be the file at other or lie below it: the same
// path but for ASCII case, or a name outside ASCII, where the system's case rules are wider.
bool MayBeSameFile(std::string_view path, std::string_view other) {
  if (HasNonAscii(path) || HasNonAscii(other)) return true;
  return EqualsIgnoreCase(path, other) ||
         (path.size() > other.size() && path[other.size()] == '\\' && StartsWithIgnoreCase(path, other));
}

// The long entries written in the background slot: the one being inflated and those waiting.
class Background {
 public:
  bool Empty() const { return !inflation_ && waiting_.empty(); }
  bool Full() const { return waiting_.size() >= kMaxWaitingLongEntries; }

  // True when an entry written to path might be one of the long entries not yet finished.
  bool MayHold(std::string_view path) const {
    if (inflation_ && MayBeSameFile(path, path_)) return true;
    return std::any_of(waiting_.begin(), waiting_.end(),
                       [&](const Waiting& w) { return MayBeSameFile(path, w.path); });
  }

  void Add(const CheckedEntry& checked, std::string path, std::span<const std::uint8_t> data) {
    waiting_.push_back(Waiting{checked, std::move(path), data});
  }

  // One region of the current long entry, the next one begun when there is none.
  void Step(EntryWriter& writer) {
    if (!inflation_) {
      if (waiting_.empty()) return;
      Begin(writer);
    }
    if (!inflation_->Step(writer)) End(writer);
  }

  void Finish(EntryWriter& writer) {
    while (!Empty()) Step(writer);
  }

 private:
  struct Waiting {
    CheckedEntry checked;
    std::string path;
    std::span<const std::uint8_t> data;
  };

  void Begin(EntryWriter& writer) {
    Waiting next = std::move(waiting_.front());
    waiting_.pop_front();
    const ZipEntry& entry = next.checked.entry;
    std::optional<std::uint32_t> crc;
    if (writer.Behind()) crc = static_cast<std::uint32_t>(crc32_z(0, nullptr, 0));
    writer.BeginFile(next.path, next.checked.name, crc.has_value(), EntryWriter::kBackground);
    inflation_.emplace(next.data, entry.uncompressedSize, inflater_, crc, next.checked.name, EntryWriter::kBackground);
    path_ = std::move(next.path);
    expectedCrc_ = entry.crc32;
    when_ = DosDateTime{entry.dosDate, entry.dosTime};
    attributes_ = (entry.versionMadeBy >> 8) == 0 ? std::optional(entry.externalAttributes & kDosAttributeMask)
                                                  : std::nullopt;
  }

  void End(EntryWriter& writer) {
    writer.EndFile(expectedCrc_, inflation_->crc(), when_, attributes_, EntryWriter::kBackground);
    inflation_.reset();
  }

  std::deque<Waiting> waiting_;
  InflateStream inflater_;
  std::optional<Inflation> inflation_;
  std::string path_;
  std::uint32_t expectedCrc_ = 0;
  DosDateTime when_;
  std::optional<std::uint32_t> attributes_;
};

void UnpackEntries(std::span<const std::uint8_t> package, const CentralDirectory& directory,
                   const std::string& extractionFolder, EntryWriter& writer, UnpackSummary& summary) {
  CentralDirectoryCursor cursor(package, directory);
  ZipEntry zipEntry;
  std::optional<InflateStream> inflater;
  std::optional<Background> background;
  // Consecutive entries mostly share their folder: it is created once for them.
  std::string lastFolder;
  while (cursor.Next(zipEntry)) {
    writer.ThrowIfFailed();
    const CheckedEntry checked = CheckEntry(package, zipEntry);
    const ZipEntry& entry = checked.entry;
    const std::string& name = checked.name;
    const std::string path = extractionFolder + checked.target.relativePath;
    // The data starts after the local header; the central directory says how long it is.
    const std::span<const std::uint8_t> data =
        package.subspan(static_cast<std::size_t>(checked.dataOffset), static_cast<std::size_t>(entry.compressedSize));
    const bool inflated = entry.method != kMethodStored && entry.uncompressedSize > 0;
    const bool longEntry = !checked.target.isFolder && inflated && entry.uncompressedSize >= kBackgroundSize;
    if (background && background->MayHold(path)) background->Finish(writer);

    const std::string folder = checked.target.isFolder ? path : path.substr(0, path.rfind('\\'));
    if (folder != lastFolder) {
      writer.CreateFolder(folder, name);
      lastFolder = folder;
    }
    ++summary.entries;
    if (checked.target.isFolder) {
      ++summary.folders;
      continue;
    }
    ++summary.files;
    summary.bytes += entry.uncompressedSize;

    if (longEntry) {
      if (!background) background.emplace();
      while (background->Full()) background->Step(writer);
      background->Add(checked, path, data);
      continue;
    }

    std::optional<std::uint32_t> crc;
    if (writer.Behind()) crc = static_cast<std::uint32_t>(crc32_z(0, nullptr, 0));
    writer.BeginFile(path, name, crc.has_value());
    if (!inflated) {
      ProduceStored(data, entry.uncompressedSize, writer, crc, name);
    } else {
      if (!inflater) inflater.emplace();
      Inflation inflation(data, entry.uncompressedSize, *inflater, crc, name, EntryWriter::kForeground);
      while (inflation.Step(writer)) {
      }
      crc = inflation.crc();
    }
    const bool dosHost = (entry.versionMadeBy >> 8) == 0;
    writer.EndFile(entry.crc32, crc, DosDateTime{entry.dosDate, entry.dosTime},
                   dosHost ? std::optional(entry.externalAttributes & kDosAttributeMask) : std::nullopt);
    if (background) background->Step(writer);
  }
  if (background) background->Finish(writer);
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

UnpackSummary UnpackPackage(std::span<const std::uint8_t> package, const std::string& extractionFolder,
                            FileSystem& files) {
  // A package that is bad as a whole writes nothing: the old installation stays as it is.
  const CentralDirectory directory = CheckStructure(package);
  EntryWriter writer(files);
  UnpackSummary summary;
  try {
    UnpackEntries(package, directory, extractionFolder, writer, summary);
  } catch (const UnpackError&) {
    // What was queued before this failure happened first; a failure of the writer there
    // is the earlier one and wins.
    writer.Finish();
    throw;
  }
  writer.Finish();
  return summary;
}

}  // namespace quorvex
