#include "platform/posix/PosixFileSystem.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>

#include "ZipTestSupport.h"
#include "install/Unpacker.h"

namespace quorvex {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// Media that take part of a write and then refuse the rest.
//   a file size limit (RLIMIT_FSIZE, with SIGXFSZ ignored): EFBIG past the limit, for this
//   process only, and back as it was afterwards;
//   a small tmpfs: ENOSPC once its pages are taken. Mounting needs root; elsewhere it skips.
class ShortMedium {
 public:
  virtual ~ShortMedium() = default;
  // Where to write; empty with why set when the medium cannot be had here.
  virtual fs::path Prepare(const fs::path& work, std::string& why) = 0;
  virtual int ExpectedCode() const = 0;
  // How many bytes fit; the writes below ask for far more.
  virtual std::size_t Room() const = 0;
};

class FileSizeLimit : public ShortMedium {
 public:
  // Not a multiple of any block size: the write that crosses it is cut short.
  static constexpr std::size_t kLimit = 100000 + 123;
  ~FileSizeLimit() override {
    if (active_) {
      ::setrlimit(RLIMIT_FSIZE, &before_);
      std::signal(SIGXFSZ, previous_);
    }
  }
  fs::path Prepare(const fs::path& work, std::string& why) override {
    if (::getrlimit(RLIMIT_FSIZE, &before_) != 0) {
      why = std::string("getrlimit: ") + std::strerror(errno);
      return {};
    }
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = before_;
    limited.rlim_cur = kLimit;
    if (::setrlimit(RLIMIT_FSIZE, &limited) != 0) {
      why = std::string("setrlimit: ") + std::strerror(errno);
      std::signal(SIGXFSZ, previous_);
      return {};
    }
    active_ = true;
    return work;
  }
  int ExpectedCode() const override { return EFBIG; }
  std::size_t Room() const override { return kLimit; }

 private:
  rlimit before_{};
  void (*previous_)(int) = SIG_DFL;
  bool active_ = false;
};

class SmallTmpfs : public ShortMedium {
 public:
  static constexpr std::size_t kSize = 64 * 1024;
  ~SmallTmpfs() override {
    if (!mounted_.empty()) ::umount2(mounted_.c_str(), MNT_DETACH);
  }
  fs::path Prepare(const fs::path& work, std::string& why) override {
    const fs::path folder = work / "small";
    fs::create_directories(folder);
    if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
      why = std::string("a small tmpfs cannot be mounted here (root only): ") + std::strerror(errno);
      return {};
    }
    mounted_ = folder.string();
    return folder;
  }
  int ExpectedCode() const override { return ENOSPC; }
  std::size_t Room() const override { return kSize; }

 private:
  std::string mounted_;
};

enum class Medium { kFileSizeLimit, kSmallTmpfs };

void PrintTo(Medium medium, std::ostream* out) {
  *out << (medium == Medium::kFileSizeLimit ? "a file size limit" : "a small tmpfs");
}

std::unique_ptr<ShortMedium> Make(Medium medium) {
  if (medium == Medium::kFileSizeLimit) return std::make_unique<FileSizeLimit>();
  return std::make_unique<SmallTmpfs>();
}

class PosixShortWrite : public ::testing::TestWithParam<Medium> {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) {
      if (c == '/') c = '-';
    }
    work_ = fs::temp_directory_path() / ("qv-short-write-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(work_);
    fs::create_directories(work_);
    medium_ = Make(GetParam());
    std::string why;
    root_ = medium_->Prepare(work_, why);
    if (root_.empty()) GTEST_SKIP() << why;
  }
  void TearDown() override {
    medium_.reset();  // the limit lifted, the tmpfs gone, before anything is removed
    std::error_code ignored;
    fs::remove_all(work_, ignored);
  }
  fs::path work_;
  fs::path root_;
  std::unique_ptr<ShortMedium> medium_;
};

// The write that the medium cuts short fails with the system's code and says how much the file
// holds, rather than returning a count that loses the reason; unpacking passes the code on.
TEST_P(PosixShortWrite, FailsWithTheSystemsCodeAfterPartOfTheData) {
  PosixFileSystem files(root_.string());
  const std::string data(medium_->Room() * 4, 'q');
  {
    const std::unique_ptr<OutputFile> out = files.CreateOutputFile("C:\\big.bin");
    try {
      out->Write(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
      ADD_FAILURE() << "the write of " << data.size() << " bytes did not fail";
    } catch (const FileSystemError& error) {
      EXPECT_EQ(error.kind(), FileSystemFailure::kWrite) << error.what();
      EXPECT_EQ(error.path(), "C:\\big.bin");
      EXPECT_EQ(error.systemCode(), static_cast<std::uint32_t>(medium_->ExpectedCode())) << error.what();
      const std::uintmax_t held = fs::file_size(root_ / "big.bin");
      EXPECT_EQ(held, medium_->Room());
      EXPECT_THAT(error.what(), HasSubstr(std::strerror(medium_->ExpectedCode())));
      EXPECT_THAT(error.what(), HasSubstr(" after " + std::to_string(held) + " of " + std::to_string(data.size()) +
                                          " bytes"));
    }
  }
  fs::remove(root_ / "big.bin");

  // A small entry first, so that the large one does not start on a boundary of the room.
  const std::string package = testing::BuildPackage({
      {.name = "small.txt", .data = std::string(1000, 's')},
      {.name = "bin/large.dat", .data = data, .method = 0},
  });
  try {
    UnpackPackage(testing::AsBytes(package), "C:\\Quorvex\\", files);
    ADD_FAILURE() << "unpacked " << data.size() << " bytes into " << medium_->Room();
  } catch (const UnpackError& error) {
    EXPECT_EQ(error.kind(), UnpackFailure::kFileSystem) << error.what();
    EXPECT_EQ(error.entry(), "bin/large.dat");
    EXPECT_EQ(error.path, "C:\\Quorvex\\bin\\large.dat");
    EXPECT_EQ(error.fileSystemFailure, FileSystemFailure::kWrite);
    EXPECT_EQ(error.systemCode, static_cast<std::uint32_t>(medium_->ExpectedCode())) << error.what();
  }
  EXPECT_EQ(fs::file_size(root_ / "Quorvex" / "small.txt"), 1000u);
}

INSTANTIATE_TEST_SUITE_P(Media, PosixShortWrite, ::testing::Values(Medium::kFileSizeLimit, Medium::kSmallTmpfs),
                         [](const ::testing::TestParamInfo<Medium>& medium) {
                           return medium.param == Medium::kFileSizeLimit ? "FileSizeLimit" : "SmallTmpfs";
                         });

}  // namespace
}  // namespace quorvex
