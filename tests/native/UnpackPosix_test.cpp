#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "ZipTestSupport.h"
#include "install/Unpacker.h"
#include "platform/posix/PosixFileSystem.h"

namespace quorvex {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class UnpackPosix : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("qv-unpack-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
             std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(root_ / "Quorvex" / "Instalação" / "café.txt", fs::perms::owner_write, fs::perm_options::add,
                    ignored);
    fs::remove_all(root_, ignored);
  }
  void Unpack(const char* fixture) {
    const std::string package = ReadAll(fs::path(QUORVEX_SOURCE_DIR) / "tests" / "data" / fixture);
    ASSERT_FALSE(package.empty()) << fixture;
    PosixFileSystem files(root_.string());
    UnpackPackage({reinterpret_cast<const std::uint8_t*>(package.data()), package.size()}, "C:\\Quorvex\\", files);
  }
  fs::path root_;
};

TEST_F(UnpackPosix, FilesLandWithTheirLocalTimeAndReadOnlyBit) {
  Unpack("names-and-attributes.zip");
  const fs::path cafe = root_ / "Quorvex" / "Instalação" / "café.txt";
  EXPECT_EQ(ReadAll(cafe), "acentuação\n");
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  EXPECT_EQ(ReadAll(root_ / "Quorvex" / "stored.bin"), bytes);

  std::tm local{};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 4;
  local.tm_mday = 17;
  local.tm_hour = 12;
  local.tm_isdst = -1;
  struct stat info {};
  ASSERT_EQ(::stat(cafe.c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, std::mktime(&local));
  EXPECT_EQ(info.st_mode & 0222, 0u);  // the read-only bit
  ASSERT_EQ(::stat((root_ / "Quorvex" / "stored.bin").c_str(), &info), 0);
  EXPECT_NE(info.st_mode & 0200, 0u);

  // The next release replaces the read-only file of the one before, and it is read-only again.
  fs::permissions(cafe, fs::perms::owner_write, fs::perm_options::add);
  std::ofstream(cafe, std::ios::binary | std::ios::trunc) << "an older release";
  fs::permissions(cafe, fs::perms::owner_read, fs::perm_options::replace);
  Unpack("names-and-attributes.zip");
  EXPECT_EQ(ReadAll(cafe), "acentuação\n");
  ASSERT_EQ(::stat(cafe.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0222, 0u);
}

TEST_F(UnpackPosix, ClimbingNameStopsTheRunBeforeAnythingIsWritten) {
  EXPECT_THROW(Unpack("climbing-name.zip"), UnpackError);
  EXPECT_TRUE(fs::is_empty(root_));
}

TEST_F(UnpackPosix, WindowsPathsMapBelowTheRoot) {
  PosixFileSystem files(root_.string() + "/");
  EXPECT_EQ(files.HostPath("C:\\Quorvex\\bin\\a.dll"), root_.string() + "/Quorvex/bin/a.dll");
  EXPECT_EQ(files.HostPath("C:\\Quorvex\\"), root_.string() + "/Quorvex");
  EXPECT_EQ(files.HostPath("C:\\"), root_.string());
  files.CreateFolderTree("C:\\Quorvex\\a\\b\\");
  EXPECT_TRUE(files.FolderExists("C:\\Quorvex\\a\\b"));
  EXPECT_FALSE(files.FileExists("C:\\Quorvex\\a\\b"));
  // A symbolic link planted where a file goes is not followed.
  fs::create_symlink(root_ / "target.txt", root_ / "Quorvex" / "link.txt");
  EXPECT_THROW(files.CreateOutputFile("C:\\Quorvex\\link.txt"), FileSystemError);
  EXPECT_FALSE(fs::exists(root_ / "target.txt"));
}

// Each failure names the operation, the path that failed (the folder in the way, for a tree)
// and the system's own code.
TEST_F(UnpackPosix, FailuresCarryTheOperationThePathAndTheSystemCode) {
  PosixFileSystem files(root_.string());
  files.CreateFolderTree("C:\\Quorvex\\folder");
  std::ofstream(root_ / "Quorvex" / "x.txt") << "a file";
  fs::create_symlink(root_ / "target.txt", root_ / "Quorvex" / "link.txt");
  const std::unique_ptr<OutputFile> held = files.CreateOutputFile("C:\\Quorvex\\held.txt");

  struct Case {
    const char* what;
    std::function<void()> attempt;
    FileSystemFailure kind;
    std::string path;
    int code;
  };
  const Case cases[] = {
      {"a file has the folder's name", [&] { files.CreateFolderTree("C:\\Quorvex\\x.txt\\"); },
       FileSystemFailure::kCreateFolder, "C:\\Quorvex\\x.txt", EEXIST},
      {"a file has an ancestor's name", [&] { files.CreateFolderTree("C:\\Quorvex\\x.txt\\sub\\deeper"); },
       FileSystemFailure::kCreateFolder, "C:\\Quorvex\\x.txt", EEXIST},
      {"a file has the root's name",
       [&] { PosixFileSystem((root_ / "Quorvex" / "x.txt").string()).CreateFolderTree("C:\\Quorvex"); },
       FileSystemFailure::kCreateFolder, (root_ / "Quorvex" / "x.txt").string(), EEXIST},
      {"a link where the file goes", [&] { files.CreateOutputFile("C:\\Quorvex\\link.txt"); },
       FileSystemFailure::kCreateFile, "C:\\Quorvex\\link.txt", ELOOP},
      {"no folder", [&] { files.CreateOutputFile("C:\\Quorvex\\missing\\f.txt"); }, FileSystemFailure::kCreateFile,
       "C:\\Quorvex\\missing\\f.txt", ENOENT},
      {"a folder where the file goes", [&] { files.CreateOutputFile("C:\\Quorvex\\folder"); },
       FileSystemFailure::kCreateFile, "C:\\Quorvex\\folder", EISDIR},
      {"held by another writer", [&] { files.CreateOutputFile("C:\\Quorvex\\held.txt"); },
       FileSystemFailure::kReplace, "C:\\Quorvex\\held.txt", EWOULDBLOCK},
  };
  for (const Case& c : cases) {
    try {
      c.attempt();
      ADD_FAILURE() << c.what << ": no failure";
    } catch (const FileSystemError& error) {
      EXPECT_EQ(error.kind(), c.kind) << c.what;
      EXPECT_EQ(error.path(), c.path) << c.what;
      EXPECT_EQ(error.systemCode(), static_cast<std::uint32_t>(c.code)) << c.what << ": " << error.what();
      EXPECT_THAT(error.what(), HasSubstr(c.path + ": ")) << c.what;
    }
  }
  EXPECT_FALSE(fs::exists(root_ / "target.txt"));

  // Unpacking passes the same on, naming the entry.
  const std::string package =
      testing::BuildPackage({{.name = "x.txt/inside.txt", .data = "x"}});
  try {
    UnpackPackage(testing::AsBytes(package), "C:\\Quorvex\\", files);
    ADD_FAILURE() << "unpacked below a file";
  } catch (const UnpackError& error) {
    EXPECT_EQ(error.kind(), UnpackFailure::kFileSystem);
    EXPECT_EQ(error.entry(), "x.txt/inside.txt");
    EXPECT_EQ(error.path, "C:\\Quorvex\\x.txt");
    EXPECT_EQ(error.fileSystemFailure, FileSystemFailure::kCreateFolder);
    EXPECT_EQ(error.systemCode, static_cast<std::uint32_t>(EEXIST));
  }
}

}  // namespace
}  // namespace quorvex
