#include "install/PackageCheck.h"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "install/UnpackError.h"
#include "text/WindowsNameCase.h"

namespace quorvex {
namespace {

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;

CheckedEntry CheckEntry(std::span<const std::uint8_t> package, const ZipEntry& entry) {
  const ZipLocalHeader local = ReadLocalHeader(package, entry, entry.rawName);
  CheckedEntry checked;
  checked.entry = entry;
  checked.name = DecodeEntryName(entry.flags, entry.rawName, entry.unicodePath);
  // The local header read by the same rule must give the same name: tools that read the
  // package from its start (streaming extractors, some scanners) see only that one.
  const bool sameHeaders = local.rawName == entry.rawName && local.unicodePath == entry.unicodePath &&
                           (local.flags & kZipFlagUtf8Name) == (entry.flags & kZipFlagUtf8Name);
  if (!sameHeaders) {
    const std::string localName = DecodeEntryName(local.flags, local.rawName, local.unicodePath);
    if (localName != checked.name) {
      throw UnpackError(UnpackFailure::kAmbiguous,
                        EntryPrefix(checked.name) + "its local header names it " + QuoteEntryName(localName) +
                            ", so that readers disagree on what it is",
                        checked.name);
    }
  }
  checked.target = CheckEntryName(checked.name);
  checked.unicodePath = entry.unicodePath.has_value();
  // ReadLocalHeader saw the header and its name inside the package.
  if (entry.compressedSize > package.size() - local.dataOffset) {
    throw UnpackError(UnpackFailure::kNotAPackage, EntryPrefix(checked.name) + "its data runs past the end of the package",
                      checked.name);
  }
  checked.data =
      package.subspan(static_cast<std::size_t>(local.dataOffset), static_cast<std::size_t>(entry.compressedSize));
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

ByteRange RangeOf(std::span<const std::uint8_t> package, const CheckedEntry& checked) {
  return {checked.entry.localHeaderOffset,
          static_cast<std::uint64_t>(checked.data.data() - package.data()) + checked.data.size()};
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
    const ByteRange candidate = RangeOf(package, checked);
    if (candidate.start == range.start && candidate.end == range.end && index != skip) {
      return std::pair{index, checked.name};
    }
  }
  return std::nullopt;
}

// Entries whose data overlap would write one stream several times over (a few kilobytes
// of package could make gigabytes of files), and data reaching into the central directory
// is not an entry's. Only the ranges are kept, released before writing.
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

// Where entries land, compared as Windows compares names: two entries on one file, or a file
// where another entry has or needs a folder, would make the package mean two things (the later
// file silently replacing the earlier, or a run that fails half-way). Each name and each folder
// a name passes through is kept once, exactly (hashes of names that a package's author chooses
// could be made to meet): about as much memory as the names take in the package.
class Landings {
 public:
  // Notes where entry lands; after the first clash, nothing more.
  void Add(std::uint32_t entry, const CheckedEntry& checked) {
    if (clash_) return;
    const std::string key = WindowsNameKey(checked.target.relativePath);
    for (std::size_t at = key.find('\\'); at != std::string::npos; at = key.find('\\', at + 1)) {
      const auto [place, added] = places_.try_emplace(key.substr(0, at), Place{entry, false});
      if (!added && place->second.file) {
        return Clash(checked, place->second.entry, "it needs a folder where entry %s is a file of that name");
      }
    }
    const auto [place, added] = places_.try_emplace(key, Place{entry, !checked.isFolder()});
    if (added) return;
    if (place->second.file && !checked.isFolder()) {
      Clash(checked, place->second.entry, "it would write the same file as entry %s (Windows does not tell their names apart)");
    } else if (place->second.file) {
      Clash(checked, place->second.entry, "it needs a folder where entry %s is a file of that name");
    } else if (!checked.isFolder()) {
      Clash(checked, place->second.entry, "it is a file where entry %s makes a folder of that name");
    }
  }

  // Throws UnpackError (kAmbiguous) for the first clash, naming both entries.
  void ThrowIfClashed(std::span<const std::uint8_t> package, const CentralDirectory& directory) {
    if (!clash_) return;
    places_.clear();
    CentralDirectoryCursor cursor(package, directory);
    ZipEntry entry;
    for (std::uint32_t index = 0; cursor.Next(entry) && index < clash_->earlier; ++index) {
    }
    std::string cause = clash_->cause;
    cause.replace(cause.find("%s"), 2, QuoteEntryName(CheckEntry(package, entry).name));
    throw UnpackError(UnpackFailure::kAmbiguous, EntryPrefix(clash_->later) + cause, clash_->later);
  }

 private:
  struct Place {
    std::uint32_t entry;  // the first entry that landed there
    bool file;
  };
  struct Clashed {
    std::string later;
    std::uint32_t earlier;
    const char* cause;
  };
  void Clash(const CheckedEntry& later, std::uint32_t earlier, const char* cause) {
    clash_ = Clashed{later.name, earlier, cause};
  }

  std::unordered_map<std::string, Place> places_;
  std::optional<Clashed> clash_;
};

}  // namespace

bool CheckedEntry::inflated() const { return entry.method != kMethodStored && entry.uncompressedSize > 0; }

CheckedPackage::CheckedPackage(std::span<const std::uint8_t> package)
    : package_(package), directory_(LocateCentralDirectory(package)) {
  std::vector<ByteRange> ranges;
  // Every central header takes at least 46 bytes, so a bogus count cannot make this allocate much.
  ranges.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(directory_.entryCount, package.size() / 46)) + 1);
  // The first clash is reported once the rest of the structure is known to hold.
  Landings landings;
  CentralDirectoryCursor cursor(package, directory_);
  ZipEntry entry;
  for (std::uint32_t index = 0; cursor.Next(entry); ++index) {
    const CheckedEntry checked = CheckEntry(package, entry);
    ranges.push_back(RangeOf(package, checked));
    landings.Add(index, checked);
  }
  // Readers that find the directory from its end (back from the end record, by its size) must
  // find this one.
  if (cursor.position() - directory_.offset != directory_.size || cursor.position() != directory_.recordsStart) {
    throw UnpackError(UnpackFailure::kAmbiguous,
                      "Not a package: its central directory of " + std::to_string(directory_.entryCount) +
                          " entries takes " + std::to_string(cursor.position() - directory_.offset) +
                          " bytes and ends at " + std::to_string(cursor.position()) + ", but the end record says " +
                          std::to_string(directory_.size) + " bytes, ending at " +
                          std::to_string(directory_.recordsStart));
  }
  CheckNoOverlap(package, directory_, ranges, {directory_.offset, cursor.position()});
  landings.ThrowIfClashed(package, directory_);
}

bool CheckedPackage::Entries::Next(CheckedEntry& checked) {
  if (!cursor_.Next(entry_)) return false;
  checked = CheckEntry(package_, entry_);
  return true;
}

}  // namespace quorvex
