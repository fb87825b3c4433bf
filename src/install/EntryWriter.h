#pragma once
// The file-system side of unpacking, on a thread of its own.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "install/FileSystem.h"

namespace quorvex {

// Carries out the file-system side of unpacking on a second thread, so that inflating one
// block overlaps writing the one before: inflating is work for the processor while the
// file system's calls block, and with one thread each would leave the other idle.
//
// Contract, for the one producer thread that calls it:
// - Order of effects: the file system sees the calls in exactly the order they were made
//   (CreateFolder, BeginFile, Write..., EndFile). At most two files are open, one in each
//   slot: a long entry may stay open in the background slot while the short entries after it
//   are written, so that inflating it overlaps their creation (a file's creation costs far
//   more than its bytes on Windows). EndFile checks the CRC-32 only after all the file's
//   data is written, then sets its times, closes it and applies its attributes.
// - First failure: the first operation that fails (a FileSystemError, a short write, a
//   CRC-32 mismatch, or any other exception) stops the writer: a file-system or data fault
//   becomes an UnpackError naming the entry, anything else stays what it was; nothing
//   queued after it touches the file system. The producer gets it from ThrowIfFailed,
//   Finish, or the next call that would queue or wait (a wait for a block or for room in
//   the queue included). Whatever was written before it stays.
// - Buffers: Write takes a pointer, not a copy. Data the producer owns (the package) must
//   stay valid until Finish returns or the writer is destroyed. Inflated data goes into
//   Region, memory the writer owns: the producer fills it, hands it to Write, reports it
//   with Used, and never touches it again; the writer reuses a block only after writing
//   everything in it. The writer's thread never allocates outside the operations it
//   carries out, whose failures it reports like any other.
// - Bounds: what waits between the threads is bounded in bytes (the blocks; stored data
//   in chunks) and in operations, so the producer waits when the writer falls behind.
// - Ending: Finish carries out everything queued. Destroying the writer without Finish (the
//   producer left by an exception) drops what is still queued: the operation under way
//   completes, no other reaches the file system, and files left open are closed as they are.
class EntryWriter {
 public:
  explicit EntryWriter(FileSystem& files);
  EntryWriter(const EntryWriter&) = delete;
  EntryWriter& operator=(const EntryWriter&) = delete;
  ~EntryWriter();

  // The two slots a file can be open in.
  static constexpr int kForeground = 0;
  static constexpr int kBackground = 1;

  void CreateFolder(std::string path, std::string_view entryName);
  // Starts a file in a slot that has none open; with producerCrc the producer takes the
  // CRC-32 of its data and hands it to EndFile, otherwise the writer takes it of what it
  // writes.
  void BeginFile(std::string path, std::string_view entryName, bool producerCrc, int slot = kForeground);
  void Write(const std::uint8_t* data, std::size_t size, int slot = kForeground);
  // Finishes the slot's file: a CRC-32 of the written bytes (producerCrc when the producer
  // took it) other than expectedCrc fails after all its data is on disk; otherwise the
  // times and (when given) the attributes are applied.
  void EndFile(std::uint32_t expectedCrc, std::optional<std::uint32_t> producerCrc, DosDateTime when,
               std::optional<std::uint32_t> attributes, int slot = kForeground);

  // Room for inflated data: at least a minimum region (or what is left of the entry, when
  // that is less), inside a block that stays untouched by the writer until it is released.
  std::span<std::uint8_t> Region(std::uint64_t wanted);
  // The first bytes of the last region were filled and handed to Write.
  void Used(std::size_t size) { used_ += size; }

  // True when the writer lags far enough behind that the producer should take the CRC-32.
  bool Behind() const;

  // For tests: called on the producer's thread just before it waits for the writer, with the
  // writer's lock held, so the writer can change nothing until the producer waits.
  enum class Wait { kBlock, kQueue };
  void OnProducerWaits(std::function<void(Wait)> hook) { producerWaits_ = std::move(hook); }

  // Throws the writer's failure, if it has failed already.
  void ThrowIfFailed();
  // Waits until everything queued is done; throws the writer's failure if there was one.
  void Finish();
  // Drops what is queued without waiting: the operation under way completes and no other
  // reaches the file system. The destructor does this; after it only destruction is left.
  void Abandon();

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
    int slot = kForeground;
  };

  // A file the writer has open, with what it knows of it.
  struct OpenFile {
    std::unique_ptr<OutputFile> file;
    unsigned long crc = 0;
    bool writerCrc = true;
    std::string entry;
    std::string path;
  };

  void Push(Op op);
  void Wake();
  void NextBlock();
  void Run();
  void Execute(Op& op);
  void Carry(Op& op);

  FileSystem& files_;
  // Producer side only.
  std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
  std::optional<std::size_t> block_;
  std::size_t used_ = 0;
  std::size_t pendingOps_ = 0;
  std::size_t pendingBytes_ = 0;
  std::function<void(Wait)> producerWaits_;
  // Writer side only.
  OpenFile open_[2];
  // Shared, under mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::condition_variable room_;
  std::deque<Op> queue_;
  std::vector<std::size_t> freeBlocks_;  // reserved for every block
  std::exception_ptr failure_;
  // Bytes handed to Write and not yet written.
  std::atomic<std::size_t> backlog_ = 0;
  bool busy_ = false;
  bool waitingForRoom_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace quorvex
