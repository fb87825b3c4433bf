#include "install/Unpacker.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

#include "install/EntryName.h"
#include "install/ZipReader.h"

namespace quorvex {
namespace {

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;
constexpr std::uint32_t kDosAttributeMask = kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive;

// Inflated data waits in blocks between the two threads (6 MiB in all, enough to keep
// inflating while the writer copies a long run of stored entries); small entries share a
// block. Stored data is written straight from the package, in chunks of 1 MiB: on Linux
// ext4, single writes of 2 MiB and more measured about ten times slower per byte.
constexpr std::size_t kBlockSize = std::size_t{128} << 10;
constexpr std::size_t kBlockCount = 48;
constexpr std::size_t kMinRegion = std::size_t{16} << 10;
constexpr std::size_t kStoredChunk = std::size_t{1} << 20;
constexpr std::size_t kWakeOps = 32;
constexpr std::size_t kWakeBytes = std::size_t{256} << 10;
// Who takes an entry's CRC-32: the writer while it keeps up, the producer once this much
// data waits for the writer (then the producer would only wait for room anyway).
constexpr std::size_t kCrcHandOverBacklog = std::size_t{1} << 20;

std::string EntryPrefix(std::string_view name) { return "Cannot unpack entry " + QuoteEntryName(name) + ": "; }

// Carries out the file-system side of unpacking on a second thread, in exactly the order
// it is given, so that inflating one block overlaps writing the one before. The first
// failure stops it: nothing queued after it touches the file system, and the failure is
// handed back to the producer, which then stops too. The caller's buffers referenced by
// queued writes must stay valid until Finish returns or the writer is destroyed.
class EntryWriter {
 public:
  explicit EntryWriter(FileSystem& files) : files_(files) {
    blocks_.resize(kBlockCount);
    for (std::size_t i = 0; i < kBlockCount; ++i) freeBlocks_.push_back(i);
    thread_ = std::thread([this] { Run(); });
  }
  EntryWriter(const EntryWriter&) = delete;
  EntryWriter& operator=(const EntryWriter&) = delete;
  ~EntryWriter() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  void CreateFolder(std::string path, std::string_view entryName) {
    Op op(Op::kFolder);
    op.path = std::move(path);
    op.entry = entryName;
    Push(std::move(op));
  }
  // Starts a file; with producerCrc the producer takes the CRC-32 of its data and hands it
  // to EndFile, otherwise the writer takes it of what it writes.
  void BeginFile(std::string path, std::string_view entryName, bool producerCrc) {
    Op op(Op::kBegin);
    op.path = std::move(path);
    op.entry = entryName;
    op.producerCrc = producerCrc;
    Push(std::move(op));
  }
  void Write(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    Op op(Op::kWrite);
    op.data = data;
    op.size = size;
    backlog_.fetch_add(size, std::memory_order_relaxed);
    Push(std::move(op));
  }
  // Finishes the current file: a CRC-32 of the written bytes (producerCrc when the
  // producer took it) other than expectedCrc fails after all its data is on disk;
  // otherwise the times and (when given) the attributes are applied.
  void EndFile(std::uint32_t expectedCrc, std::optional<std::uint32_t> producerCrc, DosDateTime when,
               std::optional<std::uint32_t> attributes) {
    Op op(Op::kEnd);
    op.crc = expectedCrc;
    op.producerCrc = producerCrc.has_value();
    op.actualCrc = producerCrc.value_or(0);
    op.when = when;
    op.attributes = attributes;
    Push(std::move(op));
  }

  // Room for inflated data: at least kMinRegion bytes (or what is left of the entry),
  // inside a block that stays untouched by this thread until the writer is done with it.
  std::span<std::uint8_t> Region(std::uint64_t wanted) {
    const std::size_t left = block_ ? kBlockSize - used_ : 0;
    if (left < wanted && left < kMinRegion) NextBlock();
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize - used_, wanted));
    return {blocks_[*block_].get() + used_, size};
  }
  // The first bytes of the last region were filled and handed to Write.
  void Used(std::size_t size) { used_ += size; }

  // True when the writer lags far enough behind that the producer should take the CRC-32.
  bool Behind() const { return backlog_.load(std::memory_order_relaxed) >= kCrcHandOverBacklog; }

  // Throws the writer's failure, if it has failed already.
  void ThrowIfFailed() {
    std::lock_guard lock(mutex_);
    if (failure_) std::rethrow_exception(failure_);
  }
  // Waits until everything queued is done; throws the writer's failure if there was one.
  void Finish() {
    Wake();
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  struct Op {
    enum Kind { kFolder, kBegin, kWrite, kEnd, kRelease };
    explicit Op(Kind k) : kind(k) {}
    Kind kind;
    std::string path;
    std::string entry;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::uint32_t crc = 0;
    bool producerCrc = false;
    std::uint32_t actualCrc = 0;
    DosDateTime when;
    std::optional<std::uint32_t> attributes;
    std::size_t block = 0;
  };

  // Wakes the writer only once some work has piled up: one wake-up per small file would
  // cost more than writing it.
  void Push(Op op) {
    const std::size_t bytes = op.kind == Op::kWrite ? op.size : 0;
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(op));
    }
    ++pendingOps_;
    pendingBytes_ += bytes;
    if (pendingOps_ >= kWakeOps || pendingBytes_ >= kWakeBytes) Wake();
  }
  void Wake() {
    pendingOps_ = 0;
    pendingBytes_ = 0;
    wake_.notify_one();
  }

  void NextBlock() {
    if (block_) {
      Op op(Op::kRelease);
      op.block = *block_;
      Push(std::move(op));
    }
    Wake();
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return !freeBlocks_.empty() || failure_; });
    if (failure_) std::rethrow_exception(failure_);
    block_ = freeBlocks_.front();
    freeBlocks_.pop_front();
    lock.unlock();
    if (!blocks_[*block_]) blocks_[*block_] = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockSize);
    used_ = 0;
  }

  void Run() {
    std::unique_lock lock(mutex_);
    while (true) {
      wake_.wait(lock, [this] { return !queue_.empty() || stopping_; });
      if (queue_.empty()) return;
      Op op = std::move(queue_.front());
      queue_.pop_front();
      if (op.kind == Op::kRelease) {
        freeBlocks_.push_back(op.block);
        room_.notify_one();
      } else if (!failure_) {
        busy_ = true;
        lock.unlock();
        std::exception_ptr failure;
        try {
          Execute(op);
        } catch (...) {
          failure = std::current_exception();
        }
        lock.lock();
        busy_ = false;
        if (failure) {
          failure_ = failure;
          room_.notify_all();
        }
      }
      if (queue_.empty()) idle_.notify_all();
    }
  }

  void Execute(Op& op) {
    switch (op.kind) {
      case Op::kFolder:
        if (!createdFolders_.count(op.path)) {
          if (!files_.CreateFolderTree(op.path)) throw UnpackError(EntryPrefix(op.entry) + "cannot create the folder " + op.path);
          createdFolders_.insert(op.path);
        }
        break;
      case Op::kBegin:
        entry_ = std::move(op.entry);
        path_ = std::move(op.path);
        file_.reset();
        crc_ = crc32_z(0, nullptr, 0);
        writerCrc_ = !op.producerCrc;
        try {
          file_ = files_.CreateOutputFile(path_);
        } catch (const FileSystemError& e) {
          throw UnpackError(EntryPrefix(entry_) + e.what());
        }
        break;
      case Op::kWrite: {
        // While the writer keeps up, the CRC-32 is taken here, off the inflating thread.
        if (writerCrc_) crc_ = crc32_z(crc_, op.data, op.size);
        std::size_t stored = 0;
        try {
          stored = file_->Write(op.data, op.size);
        } catch (const FileSystemError& e) {
          throw UnpackError(EntryPrefix(entry_) + e.what());
        }
        backlog_.fetch_sub(op.size, std::memory_order_relaxed);
        if (stored != op.size) {
          throw UnpackError(EntryPrefix(entry_) + "the write stored " + std::to_string(stored) + " of " +
                            std::to_string(op.size) + " bytes");
        }
        break;
      }
      case Op::kEnd:
        if ((op.producerCrc ? op.actualCrc : crc_) != op.crc) {
          throw UnpackError(EntryPrefix(entry_) + "its CRC-32 does not match");
        }
        file_->SetTimes(op.when);
        try {
          file_->Close();
        } catch (const FileSystemError& e) {
          throw UnpackError(EntryPrefix(entry_) + e.what());
        }
        file_.reset();
        if (op.attributes) files_.ApplyAttributes(path_, *op.attributes);
        break;
      case Op::kRelease:
        break;
    }
  }

  FileSystem& files_;
  // Producer side only.
  std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
  std::optional<std::size_t> block_;
  std::size_t used_ = 0;
  std::size_t pendingOps_ = 0;
  std::size_t pendingBytes_ = 0;
  // Writer side only.
  std::unique_ptr<OutputFile> file_;
  uLong crc_ = 0;
  bool writerCrc_ = true;
  std::string entry_;
  std::string path_;
  std::unordered_set<std::string> createdFolders_;
  // Shared, under mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::condition_variable room_;
  std::deque<Op> queue_;
  std::deque<std::size_t> freeBlocks_;
  std::exception_ptr failure_;
  // Bytes handed to Write and not yet written.
  std::atomic<std::size_t> backlog_ = 0;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

class InflateStream {
 public:
  InflateStream() {
    if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) throw UnpackError("Cannot start inflating: out of memory");
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
  if (available < size) throw UnpackError(EntryPrefix(entryName) + "its data ends early");
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
    if (!fault.empty()) throw UnpackError(EntryPrefix(entryName) + fault);
  }
  if (outputLeft > 0) throw UnpackError(EntryPrefix(entryName) + "its data ends early");
}

void UnpackEntries(std::span<const std::uint8_t> package, const std::string& extractionFolder,
                   EntryWriter& writer) {
  const std::vector<ZipEntry> entries = ReadCentralDirectory(package);
  std::optional<InflateStream> inflater;
  for (const ZipEntry& entry : entries) {
    writer.ThrowIfFailed();
    const ZipLocalHeader local = ReadLocalHeader(package, entry, entry.rawName);
    const std::string name = DecodeEntryName(entry, local);
    const EntryTarget target = CheckEntryName(name);
    const std::string path = extractionFolder + target.relativePath;
    if (target.isFolder) {
      writer.CreateFolder(path, name);
      continue;
    }
    if (entry.flags & (kZipFlagEncrypted | kZipFlagStrongEncryption)) {
      throw UnpackError(EntryPrefix(name) + "encrypted entries are not supported");
    }
    if (entry.method != kMethodStored && entry.method != kMethodDeflate) {
      throw UnpackError(EntryPrefix(name) + "compression method " + std::to_string(entry.method) +
                        " is not supported");
    }
    writer.CreateFolder(path.substr(0, path.rfind('\\')), name);
    std::optional<std::uint32_t> crc;
    if (writer.Behind()) crc = static_cast<std::uint32_t>(crc32_z(0, nullptr, 0));
    writer.BeginFile(path, name, crc.has_value());

    // The data starts after the local header; the central directory says how long it is.
    const std::uint64_t start = std::min<std::uint64_t>(local.dataOffset, package.size());
    const std::span<const std::uint8_t> data = package.subspan(
        static_cast<std::size_t>(start),
        static_cast<std::size_t>(std::min<std::uint64_t>(entry.compressedSize, package.size() - start)));
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

void UnpackPackage(std::span<const std::uint8_t> package, const std::string& extractionFolder, FileSystem& files) {
  EntryWriter writer(files);
  try {
    UnpackEntries(package, extractionFolder, writer);
  } catch (const UnpackError&) {
    // What was queued before this failure happened first; a failure of the writer there
    // is the earlier one and wins.
    writer.Finish();
    throw;
  }
  writer.Finish();
}

}  // namespace quorvex
