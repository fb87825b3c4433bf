#include "StorageFiles.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace quorvex::service {
namespace {

namespace fs = std::filesystem;

class StorageFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() / ("qv-storage-" + std::to_string(::getpid()));
    fs::remove_all(base_);
    fs::create_directories(base_ / "root/server_files/updates/sub");
    fs::create_directories(base_ / "root/other");
    Touch(base_ / "root/server_files/updates/Quorvex_1.0.0_x64.zip");
    Touch(base_ / "root/server_files/updates/sub/a b.bin");
    Touch(base_ / "root/other/shared.zip");
    Touch(base_ / "secret.txt");
    fs::create_symlink(base_ / "secret.txt", base_ / "root/server_files/updates/escape.zip");
    fs::create_symlink(base_, base_ / "root/server_files/updates/up");
    fs::create_symlink("../../other/shared.zip", base_ / "root/server_files/updates/inside.zip");
  }
  void TearDown() override { fs::remove_all(base_); }

  static void Touch(const fs::path& path) { std::ofstream(path) << "x"; }

  fs::path base_;
};

TEST_F(StorageFilesTest, ServesOnlyPlainNamesThatStayInsideTheRoot) {
  const StorageRoot storage(base_ / "root");
  struct Case {
    const char* area;
    const char* name;
    StorageLookup lookup;
  } const cases[] = {
      {"server_files", "updates\\Quorvex_1.0.0_x64.zip", StorageLookup::Found},
      {"server_files", "updates/Quorvex_1.0.0_x64.zip", StorageLookup::Found},
      {"server_files", "updates\\sub\\a b.bin", StorageLookup::Found},
      {"server_files", "updates\\inside.zip", StorageLookup::Found},  // a link that stays inside
      {"server_files", "updates\\missing.zip", StorageLookup::NotFound},
      {"server_files", "updates\\sub", StorageLookup::NotFound},  // a folder is not a file
      {"missing_area", "updates\\Quorvex_1.0.0_x64.zip", StorageLookup::NotFound},
      {"server_files", "updates\\escape.zip", StorageLookup::NotFound},      // link to outside
      {"server_files", "updates\\up\\secret.txt", StorageLookup::NotFound},  // folder link to outside
      {"server_files", "..\\..\\secret.txt", StorageLookup::BadName},
      {"server_files", "updates\\..\\..\\..\\secret.txt", StorageLookup::BadName},
      {"server_files", "updates/../updates/Quorvex_1.0.0_x64.zip", StorageLookup::BadName},
      {"server_files", "\\updates\\Quorvex_1.0.0_x64.zip", StorageLookup::BadName},
      {"server_files", "/etc/passwd", StorageLookup::BadName},
      {"server_files", "C:\\Windows\\win.ini", StorageLookup::BadName},
      {"server_files", "updates\\Quorvex_1.0.0_x64.zip:stream", StorageLookup::BadName},
      {"server_files", "updates\\\\Quorvex_1.0.0_x64.zip", StorageLookup::BadName},
      {"server_files", "updates\\", StorageLookup::BadName},
      {"server_files", ".\\updates\\Quorvex_1.0.0_x64.zip", StorageLookup::BadName},
      {"server_files", "", StorageLookup::BadName},
      {"server_files", "updates\\a\tb", StorageLookup::BadName},
      {"..", "secret.txt", StorageLookup::BadName},
      {"", "server_files\\updates\\Quorvex_1.0.0_x64.zip", StorageLookup::BadName},
      {"server_files\\updates", "Quorvex_1.0.0_x64.zip", StorageLookup::BadName},
      {"/tmp", "secret.txt", StorageLookup::BadName},
  };
  for (const auto& c : cases) {
    const StorageFile file = storage.Find(c.area, c.name);
    EXPECT_EQ(file.lookup, c.lookup) << c.area << " | " << c.name;
    if (file.lookup == StorageLookup::Found) {
      EXPECT_TRUE(fs::is_regular_file(file.path)) << file.path;
      EXPECT_EQ(file.path, fs::canonical(file.path));
    }
  }
  // A NUL would cut the name short at the system call.
  EXPECT_EQ(storage.Find("server_files", std::string("updates\\Quorvex_1.0.0_x64.zip\0.txt", 35)).lookup,
            StorageLookup::BadName);
}

TEST_F(StorageFilesTest, RootMustBeAnExistingFolder) {
  EXPECT_THROW(StorageRoot(base_ / "nowhere"), std::runtime_error);
  EXPECT_THROW(StorageRoot(base_ / "secret.txt"), std::runtime_error);
  // A root reached through a link still serves its files.
  fs::create_symlink(base_ / "root", base_ / "root-link");
  EXPECT_EQ(StorageRoot(base_ / "root-link").Find("other", "shared.zip").lookup, StorageLookup::Found);
}

}  // namespace
}  // namespace quorvex::service
