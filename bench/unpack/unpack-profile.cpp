// Where qv-unpack.exe's time goes: unpacks a package as qv-unpack.exe does, with clocks around
// every file-system call the unpacker makes, and prints per call kind the count and the total
// seconds, the writer thread's busy share, and the whole time.
//   unpack-profile.exe PACKAGE FOLDER

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "install/FileSystem.h"
#include "install/Unpacker.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/Win32FileSystem.h"
#include "WholeFile.h"

namespace {

using namespace quorvex;
using Clock = std::chrono::steady_clock;

enum Call { kFileExists, kFolderExists, kRemoveFile, kCreateFolderTree, kCreateOutputFile, kWrite, kSetTimes, kClose,
            kApplyAttributes, kCallCount };
constexpr const char* kNames[] = {"FileExists", "FolderExists", "RemoveFile", "CreateFolderTree", "CreateOutputFile",
                                  "Write", "SetTimes", "Close", "ApplyAttributes"};

struct Totals {
  std::mutex mutex;
  double seconds[kCallCount] = {};
  long count[kCallCount] = {};
};

class Timer {
 public:
  Timer(Totals& totals, Call call) : totals_(totals), call_(call), start_(Clock::now()) {}
  ~Timer() {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    std::lock_guard lock(totals_.mutex);
    totals_.seconds[call_] += seconds;
    ++totals_.count[call_];
  }
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

 private:
  Totals& totals_;
  Call call_;
  Clock::time_point start_;
};

class TimedOutputFile : public OutputFile {
 public:
  TimedOutputFile(std::unique_ptr<OutputFile> inner, Totals& totals) : inner_(std::move(inner)), totals_(totals) {}
  std::size_t Write(const std::uint8_t* data, std::size_t size) override {
    Timer timer(totals_, kWrite);
    return inner_->Write(data, size);
  }
  bool SetTimes(DosDateTime when) override {
    Timer timer(totals_, kSetTimes);
    return inner_->SetTimes(when);
  }
  void Close() override {
    Timer timer(totals_, kClose);
    inner_->Close();
  }

 private:
  std::unique_ptr<OutputFile> inner_;
  Totals& totals_;
};

class TimedFileSystem : public FileSystem {
 public:
  TimedFileSystem(FileSystem& inner, Totals& totals) : inner_(inner), totals_(totals) {}
  bool FileExists(const std::string& path) override {
    Timer timer(totals_, kFileExists);
    return inner_.FileExists(path);
  }
  bool FolderExists(const std::string& path) override {
    Timer timer(totals_, kFolderExists);
    return inner_.FolderExists(path);
  }
  bool RemoveFile(const std::string& path) override {
    Timer timer(totals_, kRemoveFile);
    return inner_.RemoveFile(path);
  }
  void CreateFolderTree(const std::string& path) override {
    Timer timer(totals_, kCreateFolderTree);
    inner_.CreateFolderTree(path);
  }
  std::unique_ptr<OutputFile> CreateOutputFile(const std::string& path) override {
    Timer timer(totals_, kCreateOutputFile);
    return std::make_unique<TimedOutputFile>(inner_.CreateOutputFile(path), totals_);
  }
  bool ApplyAttributes(const std::string& path, std::uint32_t attributes) override {
    Timer timer(totals_, kApplyAttributes);
    return inner_.ApplyAttributes(path, attributes);
  }

 private:
  FileSystem& inner_;
  Totals& totals_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: unpack-profile.exe PACKAGE FOLDER\n", stderr);
    return 2;
  }
  const Clock::time_point start = Clock::now();
  std::string folder = win32::Narrow(argv[2]);
  if (folder.empty() || folder.back() != '\\') folder += '\\';
  win32::Win32FileSystem real(folder);  // confined to the folder, as qv-unpack.exe's
  Totals totals;
  TimedFileSystem files(real, totals);
  Clock::time_point read;
  try {
    const tools::WholeFile package = tools::ReadWholeFile(argv[1]);
    read = Clock::now();
    UnpackPackage(package.Bytes(), folder, files);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "unpack-profile: %s\n", e.what());
    return 1;
  }
  const Clock::time_point end = Clock::now();
  const double unpack = std::chrono::duration<double>(end - read).count();
  double busy = 0;
  for (int call = 0; call < kCallCount; ++call) {
    if (totals.count[call] == 0) continue;
    busy += totals.seconds[call];
    std::printf("%-17s %6ld calls %8.3f s %8.1f us each\n", kNames[call], totals.count[call], totals.seconds[call],
                1e6 * totals.seconds[call] / static_cast<double>(totals.count[call]));
  }
  std::printf("read package      %8.3f s\n", std::chrono::duration<double>(read - start).count());
  std::printf("unpack            %8.3f s, file-system calls %.3f s (%.0f %% of it)\n", unpack, busy,
              100.0 * busy / unpack);
  return 0;
}
