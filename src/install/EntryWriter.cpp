#include "install/EntryWriter.h"

#include <zlib.h>

#include <algorithm>

#include "install/EntryName.h"
#include "install/UnpackError.h"
#include "install/WorkerStep.h"

namespace quorvex {
namespace {

// Inflated data waits in blocks between the two threads (6 MiB in all, enough to keep
// inflating while the writer copies a long run of stored entries); small entries share a
// block.
constexpr std::size_t kBlockSize = std::size_t{128} << 10;
constexpr std::size_t kBlockCount = 48;
constexpr std::size_t kMinRegion = std::size_t{16} << 10;
constexpr std::size_t kWakeOps = 32;
constexpr std::size_t kWakeBytes = std::size_t{256} << 10;
// Operations waiting for the writer, whatever their size: a package of many empty entries
// would otherwise queue one operation (and its path) per entry. The producer waits for
// the writer to take half of them before it goes on.
constexpr std::size_t kMaxQueuedOps = 4096;
// Who takes an entry's CRC-32: the writer while it keeps up, the producer once this much
// data waits for the writer (then the producer would only wait for room anyway).
constexpr std::size_t kCrcHandOverBacklog = std::size_t{1} << 20;

std::string Hex32(std::uint32_t value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
  return out;
}

}  // namespace

EntryWriter::EntryWriter(FileSystem& files) : files_(files) {
  blocks_.resize(kBlockCount);
  // Returning a block never allocates: the writer's thread has nowhere to report that.
  freeBlocks_.reserve(kBlockCount);
  for (std::size_t i = kBlockCount; i-- > 0;) freeBlocks_.push_back(i);
  thread_ = std::thread([this] { Run(); });
}

EntryWriter::~EntryWriter() {
  Abandon();
  thread_.join();
}

void EntryWriter::Abandon() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
}

void EntryWriter::CreateFolder(std::string path, std::string_view entryName) {
  Op op(Op::kFolder);
  op.path = std::move(path);
  op.entry = entryName;
  Push(std::move(op));
}

void EntryWriter::BeginFile(std::string path, std::string_view entryName, bool producerCrc, int slot) {
  Op op(Op::kBegin);
  op.slot = slot;
  op.path = std::move(path);
  op.entry = entryName;
  op.producerCrc = producerCrc;
  Push(std::move(op));
}

void EntryWriter::Write(const std::uint8_t* data, std::size_t size, int slot) {
  if (size == 0) return;
  Op op(Op::kWrite);
  op.slot = slot;
  op.data = data;
  op.size = size;
  backlog_.fetch_add(size, std::memory_order_relaxed);
  Push(std::move(op));
}

void EntryWriter::EndFile(std::uint32_t expectedCrc, std::optional<std::uint32_t> producerCrc, DosDateTime when,
                          std::optional<std::uint32_t> attributes, int slot) {
  Op op(Op::kEnd);
  op.slot = slot;
  op.crc = expectedCrc;
  op.producerCrc = producerCrc.has_value();
  op.actualCrc = producerCrc.value_or(0);
  op.when = when;
  op.attributes = attributes;
  Push(std::move(op));
}

std::span<std::uint8_t> EntryWriter::Region(std::uint64_t wanted) {
  const std::size_t left = block_ ? kBlockSize - used_ : 0;
  if (!block_ || (left < wanted && left < kMinRegion)) NextBlock();
  const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize - used_, wanted));
  return {blocks_[*block_].get() + used_, size};
}

bool EntryWriter::Behind() const { return backlog_.load(std::memory_order_relaxed) >= kCrcHandOverBacklog; }

void EntryWriter::ThrowIfFailed() {
  std::lock_guard lock(mutex_);
  if (failure_) std::rethrow_exception(failure_);
}

void EntryWriter::Finish() {
  Wake();
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
  if (failure_) std::rethrow_exception(failure_);
}

void EntryWriter::Push(Op op) {
  const std::size_t bytes = op.kind == Op::kWrite ? op.size : 0;
  {
    std::unique_lock lock(mutex_);
    if (queue_.size() >= kMaxQueuedOps) {
      lock.unlock();
      Wake();
      lock.lock();
      if (producerWaits_) producerWaits_(Wait::kQueue);
      waitingForRoom_ = true;
      room_.wait(lock, [this] { return queue_.size() <= kMaxQueuedOps / 2 || failure_; });
      waitingForRoom_ = false;
    }
    // Nothing more is queued after a failure; the producer learns of it here.
    if (failure_) std::rethrow_exception(failure_);
    queue_.push_back(std::move(op));
  }
  ++pendingOps_;
  pendingBytes_ += bytes;
  if (pendingOps_ >= kWakeOps || pendingBytes_ >= kWakeBytes) Wake();
}

void EntryWriter::Wake() {
  pendingOps_ = 0;
  pendingBytes_ = 0;
  wake_.notify_one();
}

void EntryWriter::NextBlock() {
  if (block_) {
    Op op(Op::kRelease);
    op.block = *block_;
    Push(std::move(op));
  }
  Wake();
  std::unique_lock lock(mutex_);
  if (freeBlocks_.empty() && !failure_ && producerWaits_) producerWaits_(Wait::kBlock);
  room_.wait(lock, [this] { return !freeBlocks_.empty() || failure_; });
  if (failure_) std::rethrow_exception(failure_);
  block_ = freeBlocks_.back();
  freeBlocks_.pop_back();
  lock.unlock();
  if (!blocks_[*block_]) blocks_[*block_] = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockSize);
  used_ = 0;
}

void EntryWriter::Run() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return !queue_.empty() || stopping_; });
    // Stopping without Finish drops what is queued: the producer left by an exception.
    if (stopping_) return;
    Op op = std::move(queue_.front());
    queue_.pop_front();
    if (waitingForRoom_ && queue_.size() <= kMaxQueuedOps / 2) room_.notify_all();
    if (op.kind == Op::kRelease) {
      freeBlocks_.push_back(op.block);
      room_.notify_one();
    } else if (!failure_) {
      if (const std::exception_ptr failure = RunUnlocked(lock, busy_, [&] { Execute(op); })) {
        failure_ = failure;
        room_.notify_all();
      }
    }
    if (queue_.empty()) idle_.notify_all();
  }
}

void EntryWriter::Execute(Op& op) {
  try {
    Carry(op);
  } catch (const FileSystemError& e) {
    // The file system's failure as the entry's, with the operation, the path and the system's code.
    const std::string& entry = op.kind == Op::kFolder ? op.entry : open_[op.slot].entry;
    UnpackError error(UnpackFailure::kFileSystem, EntryPrefix(entry) + e.what(), entry);
    error.path = e.path();
    error.fileSystemFailure = e.kind();
    error.systemCode = e.systemCode();
    throw error;
  }
}

void EntryWriter::Carry(Op& op) {
  switch (op.kind) {
    case Op::kFolder:
      files_.CreateFolderTree(op.path);
      break;
    case Op::kBegin: {
      OpenFile& open = open_[op.slot];
      open.entry = std::move(op.entry);
      open.path = std::move(op.path);
      open.file.reset();
      open.crc = crc32_z(0, nullptr, 0);
      open.writerCrc = !op.producerCrc;
      open.file = files_.CreateOutputFile(open.path);
      break;
    }
    case Op::kWrite: {
      OpenFile& open = open_[op.slot];
      // While the writer keeps up, the CRC-32 is taken here, off the inflating thread.
      if (open.writerCrc) open.crc = crc32_z(open.crc, op.data, op.size);
      const std::size_t stored = open.file->Write(op.data, op.size);
      backlog_.fetch_sub(op.size, std::memory_order_relaxed);
      if (stored != op.size) {
        UnpackError error(UnpackFailure::kFileSystem,
                          EntryPrefix(open.entry) + "the write stored " + std::to_string(stored) + " of " +
                              std::to_string(op.size) + " bytes",
                          open.entry);
        error.path = open.path;
        error.fileSystemFailure = FileSystemFailure::kWrite;
        throw error;
      }
      break;
    }
    case Op::kEnd: {
      OpenFile& open = open_[op.slot];
      if (const std::uint32_t actual = op.producerCrc ? op.actualCrc : static_cast<std::uint32_t>(open.crc);
          actual != op.crc) {
        UnpackError error(UnpackFailure::kChecksum,
                          EntryPrefix(open.entry) + "its CRC-32 does not match (stored " + Hex32(op.crc) + ", data " +
                              Hex32(actual) + ")",
                          open.entry);
        error.expectedCrc = op.crc;
        error.actualCrc = actual;
        throw error;
      }
      open.file->SetTimes(op.when);
      open.file->Close();
      open.file.reset();
      if (op.attributes) files_.ApplyAttributes(open.path, *op.attributes);
      break;
    }
    case Op::kRelease:
      break;
  }
}

}  // namespace quorvex
