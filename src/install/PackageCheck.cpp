#include "install/PackageCheck.h"

#include <algorithm>
#include <optional>
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
// file silently replacing the earlier, or a run that fails half-way). Only a hash of each name,
// and of each folder a name passes through, is kept (12 bytes each); where hashes meet and a
// file is among them, the names are read again and compared exactly, so that hashes that meet
// by chance or by a package author's design cost some work but hide nothing.
class Landings {
 public:
  // Room for every entry and some of the folders they pass through, without doubling.
  explicit Landings(std::size_t entries) { landings_.reserve(entries + entries / 4); }

  void Add(std::uint32_t entry, const EntryTarget& target) {
    const std::string key = WindowsNameKey(target.relativePath);
    std::uint32_t hash = kFnvBasis;
    for (std::size_t at = 0; at < key.size(); ++at) {
      if (key[at] == '\\' && !InLastFolder(key, at)) landings_.push_back({hash, entry, Length(at, false)});
      hash = (hash ^ static_cast<std::uint8_t>(key[at])) * kFnvPrime;
    }
    landings_.push_back({hash, entry, Length(key.size(), !target.isFolder)});
    const std::size_t end = target.isFolder ? key.size() : key.rfind('\\');
    lastFolder_ = end == std::string::npos ? std::string() : key.substr(0, end);
  }

  // Throws UnpackError (kAmbiguous) for the clash whose later entry comes first in the package.
  void Check(std::span<const std::uint8_t> package, const CentralDirectory& directory) {
    std::sort(landings_.begin(), landings_.end(), [](const Landing& a, const Landing& b) {
      return a.hash != b.hash ? a.hash < b.hash : a.entry < b.entry;
    });
    // Groups of one hash with a file among several entries.
    std::vector<std::pair<std::size_t, std::size_t>> groups;
    std::vector<std::uint32_t> wanted;
    for (std::size_t first = 0; first < landings_.size();) {
      std::size_t end = first + 1;
      while (end < landings_.size() && landings_[end].hash == landings_[first].hash) ++end;
      const auto members = std::span(landings_).subspan(first, end - first);
      if (members.front().entry != members.back().entry && std::any_of(members.begin(), members.end(), IsFile)) {
        groups.emplace_back(first, end);
        for (const Landing& member : members) wanted.push_back(member.entry);
      }
      first = end;
    }
    if (groups.empty()) return;
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    // Their names and keys, read again.
    std::vector<std::pair<std::string, std::string>> read(wanted.size());
    CentralDirectoryCursor cursor(package, directory);
    ZipEntry entry;
    for (std::uint32_t index = 0; cursor.Next(entry); ++index) {
      const auto at = std::lower_bound(wanted.begin(), wanted.end(), index);
      if (at == wanted.end() || *at != index) continue;
      const CheckedEntry checked = CheckEntry(package, entry);
      read[static_cast<std::size_t>(at - wanted.begin())] = {checked.name, WindowsNameKey(checked.target.relativePath)};
    }
    const auto readOf = [&](std::uint32_t index) -> const std::pair<std::string, std::string>& {
      return read[static_cast<std::size_t>(std::lower_bound(wanted.begin(), wanted.end(), index) - wanted.begin())];
    };
    std::optional<std::pair<Landing, Landing>> clash;  // earlier, later
    for (const auto& [first, end] : groups) {
      std::vector<std::pair<std::string_view, Landing>> members;
      for (std::size_t i = first; i < end; ++i) {
        const Landing& member = landings_[i];
        members.emplace_back(std::string_view(readOf(member.entry).second).substr(0, member.length & ~kFileBit), member);
      }
      std::sort(members.begin(), members.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : a.second.entry < b.second.entry;
      });
      for (std::size_t runStart = 0; runStart < members.size();) {
        std::size_t runEnd = runStart + 1;
        while (runEnd < members.size() && members[runEnd].first == members[runStart].first) ++runEnd;
        // In entry order: each later member against the first before it that it clashes with.
        std::optional<Landing> firstFile;
        for (std::size_t i = runStart; i < runEnd; ++i) {
          const Landing& later = members[i].second;
          const Landing& earliest = members[runStart].second;
          std::optional<Landing> earlier;
          if (IsFile(later) && earliest.entry != later.entry) earlier = earliest;
          else if (firstFile && firstFile->entry != later.entry) earlier = firstFile;
          if (earlier && (!clash || later.entry < clash->second.entry)) clash.emplace(*earlier, later);
          if (IsFile(later) && !firstFile) firstFile = later;
        }
        runStart = runEnd;
      }
    }
    if (!clash) return;
    const auto& [earlier, later] = *clash;
    const std::string& laterName = readOf(later.entry).first;
    const std::string other = QuoteEntryName(readOf(earlier.entry).first);
    std::string cause;
    if (IsFile(earlier) && IsFile(later)) {
      cause = "it would write the same file as entry " + other + " (Windows does not tell their names apart)";
    } else if (IsFile(later)) {
      cause = "it is a file where entry " + other + " makes a folder of that name";
    } else {
      cause = "it needs a folder where entry " + other + " is a file of that name";
    }
    throw UnpackError(UnpackFailure::kAmbiguous, EntryPrefix(laterName) + cause, laterName);
  }

 private:
  static constexpr std::uint32_t kFnvBasis = 0x811c9dc5u;
  static constexpr std::uint32_t kFnvPrime = 0x01000193u;
  static constexpr std::uint32_t kFileBit = 0x80000000u;

  struct Landing {
    std::uint32_t hash;
    std::uint32_t entry;
    std::uint32_t length;  // of the key's prefix that lands there; with kFileBit: a file
  };
  static std::uint32_t Length(std::size_t length, bool file) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(length, ~kFileBit)) | (file ? kFileBit : 0);
  }
  static bool IsFile(const Landing& landing) { return (landing.length & kFileBit) != 0; }

  // The folder key[0, at) is one the previous entry's folder passes through: already kept.
  bool InLastFolder(const std::string& key, std::size_t at) const {
    return at <= lastFolder_.size() && key.compare(0, at, lastFolder_, 0, at) == 0 &&
           (at == lastFolder_.size() || lastFolder_[at] == '\\');
  }

  std::vector<Landing> landings_;
  std::string lastFolder_;
};

}  // namespace

bool CheckedEntry::inflated() const { return entry.method != kMethodStored && entry.uncompressedSize > 0; }

CheckedPackage::CheckedPackage(std::span<const std::uint8_t> package)
    : package_(package), directory_(LocateCentralDirectory(package)) {
  std::vector<ByteRange> ranges;
  // Every central header takes at least 46 bytes, so a bogus count cannot make this allocate much.
  ranges.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(directory_.entryCount, package.size() / 46)) + 1);
  Landings landings(ranges.capacity());
  CentralDirectoryCursor cursor(package, directory_);
  ZipEntry entry;
  for (std::uint32_t index = 0; cursor.Next(entry); ++index) {
    const CheckedEntry checked = CheckEntry(package, entry);
    ranges.push_back(RangeOf(package, checked));
    landings.Add(index, checked.target);
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
  ranges = {};
  landings.Check(package, directory_);
}

bool CheckedPackage::Entries::Next(CheckedEntry& checked) {
  if (!cursor_.Next(entry_)) return false;
  checked = CheckEntry(package_, entry_);
  return true;
}

}  // namespace quorvex
