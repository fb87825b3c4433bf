// Releases replaced while clients download them: every download is one release whole or a
// failed transfer, never a complete answer of mixed or cut bytes.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <iostream>

#include "ServiceHarness.h"

namespace quorvex::service::testing {
namespace {

const std::string kEndpoint = "/admin/files/download";
constexpr std::size_t kReleaseSize = 8 * 1024 * 1024;
constexpr const char* kName = "Quorvex_2.4.0_x86.zip";
constexpr int kDownloads = 32;  // per way of replacing, half of them byte ranges

// A release as Python's zipfile makes it: a 32-bit Quorvex.exe and a large data file, stored,
// so that qv-publish takes it and each release's bytes differ all along.
std::string MakeRelease(const fs::path& path, unsigned seed) {
  const std::string script =
      "import random, struct, sys, zipfile\n"
      "random.seed(int(sys.argv[2]))\n"
      "exe = b'MZ' + bytes(0x3A) + struct.pack('<I', 0x40) + b'PE\\0\\0' + struct.pack('<H', 0x14C)\n"
      "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED) as z:\n"
      "    z.writestr('Quorvex.exe', exe + random.randbytes(4096))\n"
      "    z.writestr('data.bin', random.randbytes(" + std::to_string(kReleaseSize) + "))\n";
  fs::create_directories(path.parent_path());
  std::ofstream(path.parent_path() / "make.py") << script;
  const std::string command =
      "python3 '" + (path.parent_path() / "make.py").string() + "' '" + path.string() + "' " + std::to_string(seed);
  if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot make " + path.string());
  return ReadText(path);
}

void WriteAll(int fd, const std::string& bytes, std::size_t from, std::size_t to) {
  while (from < to) {
    const ssize_t wrote = ::pwrite(fd, bytes.data() + from, to - from, static_cast<off_t>(from));
    if (wrote <= 0) throw std::runtime_error("cannot write the release");
    from += static_cast<std::size_t>(wrote);
  }
}

// Written in place in pieces with pauses, as a copy onto the live file runs while clients read.
void WriteInPlace(const fs::path& path, const std::string& bytes, bool truncateFirst) {
  const int fd = ::open(path.c_str(), O_WRONLY | (truncateFirst ? O_TRUNC : 0));
  if (fd < 0) throw std::runtime_error("cannot open " + path.string());
  const std::size_t piece = bytes.size() / 16;
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    WriteAll(fd, bytes, at, std::min(bytes.size(), at + piece));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::close(fd);
}

void PublishByRename(const fs::path& path, const std::string& bytes) {
  const fs::path temporary = path.string() + ".new";
  std::ofstream(temporary, std::ios::binary | std::ios::trunc) << bytes;
  fs::rename(temporary, path);
}

struct Outcome {
  int old = 0;
  int fresh = 0;
  int failed = 0;
  std::vector<std::string> wrong;  // complete answers matching neither release
};

class ReleaseReplacedTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new ServiceFolder("qv-service-replaced");
    old_ = new std::string(MakeRelease(folder_->Path() / "old" / kName, 1));
    new_ = new std::string(MakeRelease(folder_->Path() / "new" / kName, 2));
  }
  static void TearDownTestSuite() {
    delete folder_;
    delete old_;
    delete new_;
  }

  // Starts kDownloads slow downloads of the live release over about a second, replaces it
  // part-way with `replace`, and sorts what each client got. `fresh` is what the file holds
  // once the replacement is done.
  static Outcome Run(const std::function<void(const fs::path&)>& replace, const std::string& fresh) {
    const fs::path live = folder_->Updates() / kName;
    PublishByRename(live, *old_);
    // Live for a while already: a file written a moment ago is answered only once it is still.
    fs::last_write_time(live, fs::file_time_type::clock::now() - std::chrono::hours(1));
    ServiceProcess service(folder_->Path(), {"--storage", folder_->Storage()});

    std::mutex mutex;
    Outcome outcome;
    std::vector<std::thread> clients;
    for (int i = 0; i < kDownloads; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      if (i == kDownloads * 2 / 3) replace(live);  // a third of them begin after the change
      clients.emplace_back([&, i] {
        const bool ranged = i % 2 == 1;
        const std::size_t first = ranged ? static_cast<std::size_t>(i) * 100000 : 0;
        Headers headers = InstallerHeaders(kName);
        if (ranged) headers.emplace_back("Range", "bytes=" + std::to_string(first) + "-");
        std::string body;
        std::optional<Response> response;
        try {
          auto client = service.Client();
          if (client->Send(RequestText("GET", kEndpoint, headers))) {
            // A client that reads about 4 MB/s, so the change lands while bytes are in flight.
            response = client->ReadResponse(false, [&](const char* data, std::size_t size) {
              body.append(data, size);
              std::this_thread::sleep_for(std::chrono::milliseconds(4));
            });
          }
        } catch (const std::exception&) {
          response.reset();
        }
        const std::lock_guard<std::mutex> lock(mutex);
        if (!response || (response->status != 200 && response->status != 206)) {
          ++outcome.failed;
          return;
        }
        const auto matches = [&](const std::string& release) {
          if (first >= release.size()) return false;
          const std::string expectedRange = "bytes " + std::to_string(first) + "-" +
                                            std::to_string(release.size() - 1) + "/" + std::to_string(release.size());
          return body.size() == release.size() - first && body.compare(0, body.size(), release, first) == 0 &&
                 (!ranged || response->Header("content-range") == expectedRange);
        };
        if (matches(*old_)) {
          ++outcome.old;
        } else if (matches(fresh)) {
          ++outcome.fresh;
        } else {
          outcome.wrong.push_back("download " + std::to_string(i) + ": " + std::to_string(response->status) + " with " +
                                  std::to_string(body.size()) + " bytes matching neither release");
        }
      });
    }
    for (auto& client : clients) client.join();
    log_ = service.AccessLog(kDownloads);
    return outcome;
  }

  static void Report(const std::string& way, const Outcome& outcome) {
    std::cout << "[ figures  ] " << way << ": " << kDownloads << " downloads (" << kDownloads / 2
              << " ranged): " << outcome.old << " old release whole, " << outcome.fresh << " new release whole, "
              << outcome.failed << " failed, " << outcome.wrong.size() << " wrong" << std::endl;
    for (const auto& wrong : outcome.wrong) ADD_FAILURE() << way << ": " << wrong;
    EXPECT_EQ(outcome.old + outcome.fresh + outcome.failed + static_cast<int>(outcome.wrong.size()), kDownloads);
  }

  static ServiceFolder* folder_;
  static std::string* old_;
  static std::string* new_;
  static std::string log_;
};

ServiceFolder* ReleaseReplacedTest::folder_ = nullptr;
std::string* ReleaseReplacedTest::old_ = nullptr;
std::string* ReleaseReplacedTest::new_ = nullptr;
std::string ReleaseReplacedTest::log_;

TEST_F(ReleaseReplacedTest, CopiedOverInPlace) {
  // Truncated first and rewritten, as `cp new live` does; and rewritten at the same size, which
  // a size check alone would miss.
  for (const bool truncateFirst : {true, false}) {
    const Outcome outcome = Run([&](const fs::path& live) { WriteInPlace(live, *new_, truncateFirst); }, *new_);
    Report(truncateFirst ? "copied over in place" : "rewritten in place at the same size", outcome);
    // Those that were under way when the writing began cannot have finished whole.
    EXPECT_GT(outcome.failed, 0);
    EXPECT_NE(log_.find(" cut=file-changed\n"), std::string::npos) << log_;
  }
}

TEST_F(ReleaseReplacedTest, AFileStillBeingWrittenIsAnsweredOnceStill) {
  // Asked for while a copy onto it pauses half-way: at that moment the file looks whole at half
  // its size, and only waiting for it to stay unwritten tells the difference.
  const fs::path live = folder_->Updates() / kName;
  PublishByRename(live, *old_);
  ServiceProcess service(folder_->Path(), {"--storage", folder_->Storage()});
  const int fd = ::open(live.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  WriteAll(fd, *new_, 0, new_->size() / 2);
  std::optional<Response> response;
  std::thread client([&] {
    auto connection = service.Client();
    response = connection->Request("GET", kEndpoint, InstallerHeaders(kName));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  WriteAll(fd, *new_, new_->size() / 2, new_->size());
  ::close(fd);
  client.join();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  EXPECT_TRUE(response->body == *new_) << "got " << response->body.size() << " bytes";
}

TEST_F(ReleaseReplacedTest, TruncatedInPlace) {
  const std::string half = old_->substr(0, kReleaseSize / 2);
  const Outcome outcome = Run([](const fs::path& live) { fs::resize_file(live, kReleaseSize / 2); }, half);
  Report("truncated in place", outcome);
  EXPECT_GT(outcome.failed, 0);
  EXPECT_NE(log_.find(" cut=file-changed\n"), std::string::npos) << log_;
}

TEST_F(ReleaseReplacedTest, PublishedWithQvPublish) {
  const Outcome outcome = Run(
      [&](const fs::path& live) {
        const std::string command = std::string(QUORVEX_PUBLISH_BINARY) + " '" +
                                    (folder_->Path() / "new" / kName).string() + "' '" +
                                    live.parent_path().string() + "' >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
      },
      *new_);
  Report("published with qv-publish", outcome);
  // The open file stays the old release: nothing under way has to fail.
  EXPECT_EQ(outcome.failed, 0);
  EXPECT_GT(outcome.old, 0);
  EXPECT_GT(outcome.fresh, 0);
}

}  // namespace
}  // namespace quorvex::service::testing
