#include "install/EntryWriter.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ZipTestSupport.h"
#include "install/UnpackError.h"

namespace quorvex {
namespace {

using namespace quorvex::testing;

const std::string kPath = "C:\\Quorvex\\big.bin";

// A latch one thread opens and another waits on.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

// The memory file system with a say over each write and folder, and a log of every call the
// writer made (the base class logs only some).
class ScriptedFileSystem : public MemoryFileSystem {
 public:
  // Runs before the write with its number (from 0); may throw, or return fewer bytes to store.
  std::function<std::size_t(int, std::size_t)> beforeWrite;
  std::function<void(const std::string&)> beforeFolder;
  std::vector<std::string> calls;

  void CreateFolderTree(const std::string& path) override {
    calls.push_back("folder " + path);
    if (beforeFolder) beforeFolder(path);
    MemoryFileSystem::CreateFolderTree(path);
  }
  std::unique_ptr<OutputFile> CreateOutputFile(const std::string& path) override {
    calls.push_back("create " + path);
    return std::make_unique<Scripted>(*this, MemoryFileSystem::CreateOutputFile(path));
  }
  bool ApplyAttributes(const std::string& path, std::uint32_t attributes) override {
    calls.push_back("attributes " + path);
    return MemoryFileSystem::ApplyAttributes(path, attributes);
  }

 private:
  class Scripted : public OutputFile {
   public:
    Scripted(ScriptedFileSystem& owner, std::unique_ptr<OutputFile> inner) : owner_(owner), inner_(std::move(inner)) {}
    std::size_t Write(const std::uint8_t* data, std::size_t size) override {
      const int number = writes_++;
      owner_.calls.push_back("write " + std::to_string(number));
      if (owner_.beforeWrite) size = owner_.beforeWrite(number, size);
      return inner_->Write(data, size);
    }
    bool SetTimes(DosDateTime when) override { return inner_->SetTimes(when); }
    void Close() override {
      owner_.calls.push_back("close");
      inner_->Close();
    }

   private:
    ScriptedFileSystem& owner_;
    std::unique_ptr<OutputFile> inner_;
    int writes_ = 0;
  };
};

// Fills regions of varying sizes with a pattern until size bytes are written or the writer
// throws; returns what was meant to be written.
std::string Produce(EntryWriter& writer, std::size_t size) {
  std::string expected;
  for (std::uint32_t piece = 0; expected.size() < size; ++piece) {
    const std::size_t wanted = std::min<std::size_t>(size - expected.size(), 3000 + (piece * 7919) % 90000);
    const std::span<std::uint8_t> region = writer.Region(wanted);
    for (std::size_t i = 0; i < region.size(); ++i) region[i] = static_cast<std::uint8_t>(piece * 31 + i);
    expected.append(reinterpret_cast<const char*>(region.data()), region.size());
    writer.Write(region.data(), region.size());
    writer.Used(region.size());
  }
  return expected;
}

// The writer is held in its first write until the producer has filled every block and waits
// for one; then it either goes on or fails.
TEST(EntryWriter, AProducerWaitingForABlockGetsTheBlockOrTheWritersFailure) {
  constexpr std::size_t kSize = 24u << 20;  // several times all the blocks together
  for (const bool fail : {false, true}) {
    ScriptedFileSystem files;
    files.CreateFolderTree("C:\\Quorvex");
    Gate producerWaits;
    files.beforeWrite = [&](int number, std::size_t size) -> std::size_t {
      if (number > 0) return size;
      producerWaits.Wait();
      if (fail) throw FileSystemError(FileSystemFailure::kWrite, kPath, 112, "there is not enough space on the disk");
      return size;
    };
    std::vector<EntryWriter::Wait> waits;
    EntryWriter writer(files);
    writer.OnProducerWaits([&](EntryWriter::Wait why) {
      waits.push_back(why);
      producerWaits.Open();
    });
    writer.BeginFile(kPath, "big.bin", false);
    if (!fail) {
      const std::string expected = Produce(writer, kSize);
      writer.EndFile(Crc32(expected), std::nullopt, {kSomeDate, kNoonTime}, std::nullopt);
      writer.Finish();
      // A block reused before all of its data was written would show here.
      EXPECT_EQ(files.files.at(kPath).data, expected);
      ASSERT_FALSE(waits.empty());
      EXPECT_EQ(waits.front(), EntryWriter::Wait::kBlock);
      continue;
    }
    try {
      Produce(writer, kSize);
      ADD_FAILURE() << "the producer never learnt of the failure";
    } catch (const UnpackError& e) {
      EXPECT_EQ(e.kind(), UnpackFailure::kFileSystem);
      EXPECT_EQ(e.entry(), "big.bin");
      EXPECT_EQ(e.systemCode, 112u);
      EXPECT_EQ(e.fileSystemFailure, FileSystemFailure::kWrite);
    }
    EXPECT_EQ(waits, std::vector{EntryWriter::Wait::kBlock});
    EXPECT_THROW(writer.Finish(), UnpackError);
    // Nothing after the failing write reached the file system.
    EXPECT_EQ(files.calls.back(), "write 0");
  }
}

// Abandoning (what the destructor does) lets the operation under way finish and drops the
// rest; Finish instead carries everything out.
TEST(EntryWriter, AbandoningDropsWhatIsQueued) {
  for (const bool abandon : {false, true}) {
    ScriptedFileSystem files;
    Gate underWay, abandoned;
    files.beforeFolder = [&](const std::string&) {
      underWay.Open();
      abandoned.Wait();
    };
    {
      EntryWriter writer(files);
      writer.CreateFolder("C:\\Quorvex", "");
      writer.BeginFile("C:\\Quorvex\\a.txt", "a.txt", false);
      static const std::uint8_t kData[] = {'a'};
      writer.Write(kData, 1);
      writer.EndFile(Crc32("a"), std::nullopt, {kSomeDate, kNoonTime}, 0);
      // The writer is woken in batches; taking the first block wakes it now.
      writer.Region(1);
      underWay.Wait();
      if (abandon) {
        writer.Abandon();
        abandoned.Open();
      } else {
        abandoned.Open();
        writer.Finish();
      }
    }
    if (abandon) {
      EXPECT_EQ(files.calls, std::vector<std::string>{"folder C:\\Quorvex"});
    } else {
      EXPECT_EQ(files.calls, (std::vector<std::string>{"folder C:\\Quorvex", "create C:\\Quorvex\\a.txt", "write 0",
                                                       "close", "attributes C:\\Quorvex\\a.txt"}));
    }
  }
}

// Whatever an operation throws stops the writer; the file system's failures name the entry.
TEST(EntryWriter, EveryFailureOfAnOperationStopsTheWriter) {
  struct Case {
    const char* what;
    std::function<void()> thrower;
    bool unpackError;
  };
  const Case cases[] = {
      {"file system", [] { throw FileSystemError(FileSystemFailure::kCreateFolder, "C:\\Quorvex", 5, "denied"); }, true},
      {"out of memory", [] { throw std::bad_alloc(); }, false},
      {"anything else", [] { throw std::logic_error("unexpected"); }, false},
  };
  for (const Case& c : cases) {
    ScriptedFileSystem files;
    files.beforeFolder = [&](const std::string&) { c.thrower(); };
    EntryWriter writer(files);
    writer.CreateFolder("C:\\Quorvex", "pasta/");
    writer.BeginFile("C:\\Quorvex\\a.txt", "a.txt", false);
    try {
      writer.Finish();
      ADD_FAILURE() << c.what << ": no failure";
    } catch (const UnpackError& e) {
      EXPECT_TRUE(c.unpackError) << c.what;
      EXPECT_EQ(e.entry(), "pasta/") << c.what;
      EXPECT_EQ(e.systemCode, 5u) << c.what;
    } catch (...) {
      EXPECT_FALSE(c.unpackError) << c.what;
    }
    EXPECT_EQ(files.calls, std::vector<std::string>{"folder C:\\Quorvex"}) << c.what;
  }
}

TEST(EntryWriter, RegionBeforeAnyBlockIsInsideOne) {
  MemoryFileSystem files;
  EntryWriter writer(files);
  const std::span<std::uint8_t> none = writer.Region(0);
  EXPECT_EQ(none.size(), 0u);
  EXPECT_NE(none.data(), nullptr);
  const std::span<std::uint8_t> some = writer.Region(100);
  ASSERT_EQ(some.size(), 100u);
  std::memset(some.data(), 0xAB, some.size());
}

}  // namespace
}  // namespace quorvex
