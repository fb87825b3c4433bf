#include "install/Unpacker.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "install/EntryName.h"
#include "install/ZipReader.h"

namespace quorvex {
namespace {

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;
constexpr std::uint32_t kDosAttributeMask = kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive;
constexpr std::size_t kBlockSize = std::size_t{1} << 20;

class EntryFailure {
 public:
  explicit EntryFailure(std::string_view name) : prefix_("Cannot unpack entry " + QuoteEntryName(name) + ": ") {}
  [[noreturn]] void operator()(const std::string& cause) const { throw UnpackError(prefix_ + cause); }

 private:
  std::string prefix_;
};

// Writes one entry's bytes and keeps their CRC-32; a write that stores less than it was
// given fails.
class EntryOutput {
 public:
  EntryOutput(std::unique_ptr<OutputFile> file, const EntryFailure& fail) : file_(std::move(file)), fail_(fail) {}

  void Write(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    crc_ = crc32_z(crc_, data, size);
    std::size_t stored = 0;
    try {
      stored = file_->Write(data, size);
    } catch (const FileSystemError& e) {
      fail_(e.what());
    }
    if (stored != size) fail_("the write stored " + std::to_string(stored) + " of " + std::to_string(size) + " bytes");
  }
  std::uint32_t Crc() const { return static_cast<std::uint32_t>(crc_); }
  OutputFile& File() { return *file_; }

 private:
  std::unique_ptr<OutputFile> file_;
  const EntryFailure& fail_;
  uLong crc_ = crc32_z(0, nullptr, 0);
};

void CopyStored(std::span<const std::uint8_t> input, std::uint64_t size, EntryOutput& out, const EntryFailure& fail) {
  const std::uint64_t available = std::min<std::uint64_t>(input.size(), size);
  out.Write(input.data(), static_cast<std::size_t>(available));
  if (available < size) fail("its data ends early");
}

class InflateStream {
 public:
  InflateStream() {
    if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) throw UnpackError("Cannot start inflating: out of memory");
  }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;
  ~InflateStream() { inflateEnd(&stream_); }
  z_stream* operator->() { return &stream_; }
  z_stream* get() { return &stream_; }

 private:
  z_stream stream_{};
};

void Inflate(std::span<const std::uint8_t> input, std::uint64_t size, EntryOutput& out, const EntryFailure& fail,
             std::vector<std::uint8_t>& block) {
  InflateStream stream;
  constexpr std::uint64_t kMaxChunk = std::numeric_limits<uInt>::max();
  std::uint64_t inputLeft = input.size();
  const std::uint8_t* next = input.data();
  std::uint64_t outputLeft = size;
  bool ended = false;
  while (outputLeft > 0 && !ended) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(outputLeft, block.size()));
    stream->next_out = block.data();
    stream->avail_out = static_cast<uInt>(want);
    while (stream->avail_out > 0) {
      if (stream->avail_in == 0 && inputLeft > 0) {
        const std::uint64_t chunk = std::min(inputLeft, kMaxChunk);
        stream->next_in = const_cast<Bytef*>(next);
        stream->avail_in = static_cast<uInt>(chunk);
        next += chunk;
        inputLeft -= chunk;
      }
      const int result = inflate(stream.get(), Z_NO_FLUSH);
      if (result == Z_STREAM_END) {
        ended = true;
        break;
      }
      if (result == Z_BUF_ERROR && stream->avail_in == 0 && inputLeft == 0) {
        out.Write(block.data(), want - stream->avail_out);
        fail("its data ends early");
      }
      if (result != Z_OK) {
        out.Write(block.data(), want - stream->avail_out);
        fail(std::string("its data cannot be inflated (") + (stream->msg ? stream->msg : "zlib error") + ")");
      }
    }
    const std::size_t produced = want - stream->avail_out;
    out.Write(block.data(), produced);
    outputLeft -= produced;
  }
  if (outputLeft > 0) fail("its data ends early");
}

void CreateFolder(FileSystem& files, const std::string& path, const EntryFailure& fail) {
  if (!files.CreateFolderTree(path)) fail("cannot create the folder " + path);
}

}  // namespace

void UnpackPackage(std::span<const std::uint8_t> package, const std::string& extractionFolder, FileSystem& files) {
  const std::vector<ZipEntry> entries = ReadCentralDirectory(package);
  std::vector<std::uint8_t> block;
  for (const ZipEntry& entry : entries) {
    const ZipLocalHeader local = ReadLocalHeader(package, entry, entry.rawName);
    const std::string name = DecodeEntryName(entry, local);
    const EntryFailure fail(name);
    const EntryTarget target = CheckEntryName(name);
    const std::string path = extractionFolder + target.relativePath;
    if (target.isFolder) {
      CreateFolder(files, path, fail);
      continue;
    }
    if (entry.flags & (kZipFlagEncrypted | kZipFlagStrongEncryption)) fail("encrypted entries are not supported");
    if (entry.method != kMethodStored && entry.method != kMethodDeflate) {
      fail("compression method " + std::to_string(entry.method) + " is not supported");
    }
    const std::size_t slash = path.rfind('\\');
    CreateFolder(files, path.substr(0, slash), fail);

    std::unique_ptr<OutputFile> file;
    try {
      file = files.CreateOutputFile(path);
    } catch (const FileSystemError& e) {
      fail(e.what());
    }
    EntryOutput out(std::move(file), fail);
    const std::span<const std::uint8_t> data =
        local.dataOffset < package.size()
            ? package.subspan(static_cast<std::size_t>(local.dataOffset),
                              static_cast<std::size_t>(std::min<std::uint64_t>(
                                  entry.compressedSize, package.size() - local.dataOffset)))
            : std::span<const std::uint8_t>();
    if (entry.method == kMethodStored) {
      CopyStored(data, entry.uncompressedSize, out, fail);
    } else if (entry.uncompressedSize > 0) {
      if (block.empty()) block.resize(kBlockSize);
      Inflate(data, entry.uncompressedSize, out, fail, block);
    }
    if (out.Crc() != entry.crc32) fail("its CRC-32 does not match");
    out.File().SetTimes(DosDateTime{entry.dosDate, entry.dosTime});
    try {
      out.File().Close();
    } catch (const FileSystemError& e) {
      fail(e.what());
    }
    if ((entry.versionMadeBy >> 8) == 0) files.ApplyAttributes(path, entry.externalAttributes & kDosAttributeMask);
  }
}

}  // namespace quorvex
