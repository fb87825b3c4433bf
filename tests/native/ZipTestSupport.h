#pragma once
// Small packages made in the test, and a file system in memory that records what the
// unpacker did to it. Shared by the native tests and the fuzz target.

#include <zlib.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "install/FileSystem.h"

// Test entries are written with designated initializers that leave the other fields at
// their defaults on purpose; GCC would warn about each of them.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace quorvex::testing {

inline constexpr std::uint16_t kNoonTime = 12 << 11;                        // 12:00:00
inline constexpr std::uint16_t kSomeDate = (2024 - 1980) << 9 | 5 << 5 | 17;  // 2024-05-17

struct TestEntry {
  std::string name;  // raw name bytes as stored
  std::string data;  // the content before compression
  std::uint16_t method = 8;
  std::uint16_t flags = 0;
  std::uint16_t versionMadeBy = 20;  // upper byte 0: MS-DOS host
  std::uint32_t externalAttributes = 0;
  std::uint16_t dosTime = kNoonTime;
  std::uint16_t dosDate = kSomeDate;
  std::string localExtra;
  std::string centralExtra;
  std::optional<std::string> localName;  // when the local header's name differs
  std::optional<std::string> storedData;  // bytes written as the entry's data, as they are
  std::optional<std::uint32_t> crc;  // overrides the CRC-32 of data
  std::optional<std::uint64_t> uncompressedSize;
  std::optional<std::uint64_t> compressedSize;
  bool dataDescriptor = false;  // local header without sizes; a descriptor follows the data
  bool zip64 = false;           // saturated sizes and offset with a ZIP64 extra field
};

struct PackageOptions {
  bool zip64End = false;  // ZIP64 end record and locator, 32-bit fields saturated
  std::string comment;
  std::optional<std::uint64_t> entryCount;
  // With zip64End: the plain record keeps its true values, but for a saturated offset when
  // plainOffsetSaturated; the ZIP64 record may say another count or offset.
  bool plainValues = false;
  bool plainOffsetSaturated = false;
  std::optional<std::uint64_t> zip64Count;
  std::optional<std::uint64_t> zip64Offset;
};

inline void PutLe(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline std::uint32_t Crc32(std::string_view data) {
  return static_cast<std::uint32_t>(crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

inline std::string RawDeflate(std::string_view data, int level = 6) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(stream.total_out);
  return out;
}

// Extra field 0x7075: version 1, CRC-32 of the header's raw name, the name in UTF-8.
inline std::string UnicodePathExtra(std::string_view utf8Name, std::string_view rawName) {
  std::string field;
  PutLe(field, 0x7075, 2);
  PutLe(field, 5 + utf8Name.size(), 2);
  field += '\x01';
  PutLe(field, Crc32(rawName), 4);
  field += utf8Name;
  return field;
}

inline std::string BuildPackage(const std::vector<TestEntry>& entries, const PackageOptions& options = {}) {
  std::string out;
  std::string directory;
  for (const TestEntry& e : entries) {
    const std::string payload =
        e.storedData ? *e.storedData : (e.method == 8 ? RawDeflate(e.data) : e.data);
    const std::uint32_t crc = e.crc ? *e.crc : Crc32(e.data);
    const std::uint64_t uncompressed = e.uncompressedSize ? *e.uncompressedSize : e.data.size();
    const std::uint64_t compressed = e.compressedSize ? *e.compressedSize : payload.size();
    const std::uint64_t offset = out.size();
    const std::uint16_t flags = static_cast<std::uint16_t>(e.flags | (e.dataDescriptor ? 0x0008 : 0));
    const std::string localName = e.localName ? *e.localName : e.name;

    PutLe(out, 0x04034b50, 4);
    PutLe(out, e.zip64 ? 45 : 20, 2);
    PutLe(out, flags, 2);
    PutLe(out, e.method, 2);
    PutLe(out, e.dosTime, 2);
    PutLe(out, e.dosDate, 2);
    PutLe(out, e.dataDescriptor ? 0 : crc, 4);
    PutLe(out, e.dataDescriptor ? 0 : (e.zip64 ? 0xFFFFFFFF : compressed), 4);
    PutLe(out, e.dataDescriptor ? 0 : (e.zip64 ? 0xFFFFFFFF : uncompressed), 4);
    PutLe(out, localName.size(), 2);
    PutLe(out, e.localExtra.size(), 2);
    out += localName;
    out += e.localExtra;
    out += payload;
    if (e.dataDescriptor) {
      PutLe(out, 0x08074b50, 4);
      PutLe(out, crc, 4);
      PutLe(out, compressed, 4);
      PutLe(out, uncompressed, 4);
    }

    std::string extra = e.centralExtra;
    if (e.zip64) {
      PutLe(extra, 0x0001, 2);
      PutLe(extra, 24, 2);
      PutLe(extra, uncompressed, 8);
      PutLe(extra, compressed, 8);
      PutLe(extra, offset, 8);
    }
    PutLe(directory, 0x02014b50, 4);
    PutLe(directory, e.versionMadeBy, 2);
    PutLe(directory, e.zip64 ? 45 : 20, 2);
    PutLe(directory, flags, 2);
    PutLe(directory, e.method, 2);
    PutLe(directory, e.dosTime, 2);
    PutLe(directory, e.dosDate, 2);
    PutLe(directory, crc, 4);
    PutLe(directory, e.zip64 ? 0xFFFFFFFF : compressed, 4);
    PutLe(directory, e.zip64 ? 0xFFFFFFFF : uncompressed, 4);
    PutLe(directory, e.name.size(), 2);
    PutLe(directory, extra.size(), 2);
    PutLe(directory, 0, 2);  // comment
    PutLe(directory, 0, 2);  // disk
    PutLe(directory, 0, 2);  // internal attributes
    PutLe(directory, e.externalAttributes, 4);
    PutLe(directory, e.zip64 ? 0xFFFFFFFF : offset, 4);
    directory += e.name;
    directory += extra;
  }
  const std::uint64_t directoryOffset = out.size();
  out += directory;
  const std::uint64_t count = options.entryCount ? *options.entryCount : entries.size();
  if (options.zip64End) {
    const std::uint64_t recordOffset = out.size();
    PutLe(out, 0x06064b50, 4);
    PutLe(out, 44, 8);
    PutLe(out, 45, 2);
    PutLe(out, 45, 2);
    PutLe(out, 0, 4);
    PutLe(out, 0, 4);
    PutLe(out, options.zip64Count.value_or(count), 8);
    PutLe(out, options.zip64Count.value_or(count), 8);
    PutLe(out, directory.size(), 8);
    PutLe(out, options.zip64Offset.value_or(directoryOffset), 8);
    PutLe(out, 0x07064b50, 4);
    PutLe(out, 0, 4);
    PutLe(out, recordOffset, 8);
    PutLe(out, 1, 4);
  }
  PutLe(out, 0x06054b50, 4);
  PutLe(out, 0, 2);
  PutLe(out, 0, 2);
  const bool saturated = options.zip64End && !options.plainValues;
  PutLe(out, saturated ? 0xFFFF : count, 2);
  PutLe(out, saturated ? 0xFFFF : count, 2);
  PutLe(out, saturated ? 0xFFFFFFFF : directory.size(), 4);
  PutLe(out, saturated || options.plainOffsetSaturated ? 0xFFFFFFFF : directoryOffset, 4);
  PutLe(out, options.comment.size(), 2);
  out += options.comment;
  return out;
}

inline std::span<const std::uint8_t> AsBytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A file system in memory. Paths are compared as given; every change is logged in order.
class MemoryFileSystem : public FileSystem {
 public:
  struct File {
    std::string data;
    std::optional<DosDateTime> times;
    std::uint32_t attributes = 0;
    bool open = false;
  };

  std::map<std::string, File> files;
  std::set<std::string> folders;
  std::vector<std::string> log;
  std::set<std::string> inUse;                   // CreateOutputFile refuses these
  std::optional<std::size_t> writeCapacity;      // total bytes the "medium" takes

  bool FileExists(const std::string& path) override { return files.count(path) != 0; }
  bool FolderExists(const std::string& path) override { return folders.count(Trim(path)) != 0; }
  bool RemoveFile(const std::string& path) override { return files.erase(path) != 0; }

  // The codes Windows gives for the same failures.
  static constexpr std::uint32_t kPathNotFound = 3;     // ERROR_PATH_NOT_FOUND
  static constexpr std::uint32_t kAccessDenied = 5;     // ERROR_ACCESS_DENIED
  static constexpr std::uint32_t kSharingViolation = 32;  // ERROR_SHARING_VIOLATION
  static constexpr std::uint32_t kAlreadyExists = 183;  // ERROR_ALREADY_EXISTS

  void CreateFolderTree(const std::string& path) override {
    const std::string folder = Trim(path);
    for (std::size_t at = folder.find('\\'); ; at = folder.find('\\', at + 1)) {
      const std::string part = folder.substr(0, at);
      if (files.count(part)) throw FileSystemError(FileSystemFailure::kCreateFolder, part, kAlreadyExists, "a file has its name");
      if (folders.insert(part).second) log.push_back("folder " + part);
      if (at == std::string::npos) break;
    }
  }

  std::unique_ptr<OutputFile> CreateOutputFile(const std::string& path) override {
    const std::size_t slash = path.rfind('\\');
    if (slash == std::string::npos || !folders.count(path.substr(0, slash))) {
      throw FileSystemError(FileSystemFailure::kCreateFile, path, kPathNotFound, "the folder does not exist");
    }
    if (folders.count(path)) throw FileSystemError(FileSystemFailure::kCreateFile, path, kAccessDenied, "it is a folder");
    if (inUse.count(path)) throw FileSystemError(FileSystemFailure::kCreateFile, path, kSharingViolation, "in use");
    // Like the adapters: read-only, hidden and system are cleared, then the file is replaced.
    File& file = files[path];
    file = File{};
    file.open = true;
    log.push_back("create " + path);
    return std::make_unique<Output>(*this, path);
  }

  bool ApplyAttributes(const std::string& path, std::uint32_t attributes) override {
    auto it = files.find(path);
    if (it == files.end()) return false;
    it->second.attributes = attributes;
    log.push_back("attributes " + path + " " + std::to_string(attributes));
    return true;
  }

 private:
  static std::string Trim(std::string path) {
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
  }

  class Output : public OutputFile {
   public:
    Output(MemoryFileSystem& owner, std::string path) : owner_(owner), path_(std::move(path)) {}
    ~Output() override { owner_.files[path_].open = false; }
    std::size_t Write(const std::uint8_t* data, std::size_t size) override {
      if (owner_.writeCapacity) {
        size = std::min(size, *owner_.writeCapacity);
        *owner_.writeCapacity -= size;
      }
      owner_.files[path_].data.append(reinterpret_cast<const char*>(data), size);
      return size;
    }
    bool SetTimes(DosDateTime when) override {
      LocalCalendarTime ignored;
      if (!DecodeDosDateTime(when, ignored)) return false;
      owner_.files[path_].times = when;
      owner_.log.push_back("times " + path_);
      return true;
    }
    void Close() override {
      owner_.files[path_].open = false;
      owner_.log.push_back("close " + path_);
    }

   private:
    MemoryFileSystem& owner_;
    std::string path_;
  };
};

}  // namespace quorvex::testing
