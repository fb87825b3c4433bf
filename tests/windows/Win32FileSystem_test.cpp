#include "platform/win32/Win32FileSystem.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>

#include "../native/ZipTestSupport.h"
#include "install/Unpacker.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/UniqueHandle.h"

namespace quorvex::win32 {
namespace {


// A fresh folder under the temporary folder, removed with its files afterwards.
class Win32FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(::GetTempPathW(MAX_PATH, temp), 0u);
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    root_ = Narrow(temp) + "qv-fs-" + name + "-" + std::to_string(::GetCurrentProcessId()) + "\\";
    ASSERT_NO_THROW(files_.CreateFolderTree(root_));
  }
  void TearDown() override {
    RemoveTree(L"\\\\?\\" + Widen(root_));  // prefixed: some tests leave paths past MAX_PATH
  }
  static void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((folder + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(path + L"\\");
        } else {
          ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
          ::DeleteFileW(path.c_str());
        }
      } while (::FindNextFileW(search, &found));
      ::FindClose(search);
    }
    ::RemoveDirectoryW(folder.c_str());
  }

  std::string ReadFile(const std::string& path) {
    UniqueFile file(::CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    if (!file) return "<cannot open>";
    std::string content(4096, '\0');
    DWORD got = 0;
    ::ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &got, nullptr);
    content.resize(got);
    return content;
  }

  // Read-only, hidden and system only: Wine reports a file without any bits as archive.
  static DWORD ProtectionOf(const std::string& path) {
    return ::GetFileAttributesW(Widen(path).c_str()) &
           (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  }

  void WriteText(const std::string& path, std::string_view text) {
    WriteWholeFile(files_, path, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  }

  Win32FileSystem files_;
  std::string root_;
};

TEST_F(Win32FileSystemTest, FoldersFilesAndDeletion) {
  const std::string folder = root_ + "a\\b\\c\\";
  EXPECT_FALSE(files_.FolderExists(folder));
  files_.CreateFolderTree(folder);
  EXPECT_TRUE(files_.FolderExists(folder));
  files_.CreateFolderTree(folder);  // already there
  WriteText(folder + "x.txt", "content");
  EXPECT_TRUE(files_.FileExists(folder + "x.txt"));
  EXPECT_FALSE(files_.FileExists(root_ + "a"));
  EXPECT_FALSE(files_.FolderExists(folder + "x.txt"));
  EXPECT_TRUE(files_.RemoveFile(folder + "x.txt"));
  EXPECT_FALSE(files_.FileExists(folder + "x.txt"));
  EXPECT_FALSE(files_.RemoveFile(folder + "x.txt"));
}

// Trees past MAX_PATH are made whole, unconfined and confined, also where none of the confined
// folder's own ancestors exist yet.
TEST_F(Win32FileSystemTest, FolderTreesPastMaxPath) {
  std::string deep;
  while (deep.size() < MAX_PATH) deep += "node_modules\\";
  deep += "end";
  const std::string open = root_ + "open\\" + deep;
  files_.CreateFolderTree(open);
  EXPECT_TRUE(files_.FolderExists(open));
  const std::string confinedRoot = root_ + "confined\\" + deep;
  Win32FileSystem confined(confinedRoot);
  confined.CreateFolderTree(confinedRoot + "\\bin\\x\\");
  EXPECT_TRUE(files_.FolderExists(confinedRoot + "\\bin\\x"));
  confined.CreateFolderTree(confinedRoot + "\\bin\\x");  // already there
}

// Each failure names the operation, the path that failed (the folder in the way, for a tree)
// and the system's own code, as Wine gives them.
TEST_F(Win32FileSystemTest, FailuresCarryTheOperationThePathAndTheSystemCode) {
  WriteText(root_ + "x.txt", "a file");
  files_.CreateFolderTree(root_ + "folder");
  files_.CreateFolderTree(root_ + "confined");
  WriteText(root_ + "confined\\x.txt", "a file");
  Win32FileSystem confined(root_ + "confined");
  const std::unique_ptr<OutputFile> held = files_.CreateOutputFile(root_ + "held.txt");
  const std::unique_ptr<OutputFile> heldInside = files_.CreateOutputFile(root_ + "confined\\held.txt");
  std::string deep;
  while (deep.size() < MAX_PATH) deep += "node_modules\\";
  deep += "end";
  confined.CreateFolderTree(root_ + "confined\\" + deep);
  WriteText(root_ + "confined\\" + deep + "\\x.txt", "a file");

  struct Case {
    const char* what;
    std::function<void()> attempt;
    FileSystemFailure kind;
    std::string path;
    DWORD code;
  };
  const Case cases[] = {
      {"a file has the folder's name", [&] { files_.CreateFolderTree(root_ + "x.txt\\"); },
       FileSystemFailure::kCreateFolder, root_ + "x.txt", ERROR_ALREADY_EXISTS},
      {"a file has an ancestor's name", [&] { files_.CreateFolderTree(root_ + "x.txt\\sub\\deeper"); },
       FileSystemFailure::kCreateFolder, root_ + "x.txt", ERROR_ALREADY_EXISTS},
      // The confined folder's own ancestors are made by the same rule and fail the same way.
      {"a file has the confined folder's ancestor's name",
       [&] { Win32FileSystem(root_ + "x.txt\\inner").CreateFolderTree(root_ + "x.txt\\inner\\sub"); },
       FileSystemFailure::kCreateFolder, root_ + "x.txt", ERROR_ALREADY_EXISTS},
      {"no folder", [&] { files_.CreateOutputFile(root_ + "missing\\f.txt"); }, FileSystemFailure::kCreateFile,
       root_ + "missing\\f.txt", ERROR_PATH_NOT_FOUND},
      {"a folder where the file goes", [&] { files_.CreateOutputFile(root_ + "folder"); },
       FileSystemFailure::kCreateFile, root_ + "folder", ERROR_ACCESS_DENIED},
      {"held by another writer", [&] { files_.CreateOutputFile(root_ + "held.txt"); }, FileSystemFailure::kCreateFile,
       root_ + "held.txt", ERROR_SHARING_VIOLATION},
      // Inside a confined folder a file in a folder's place is refused, not created through.
      {"confined: a file has an ancestor's name", [&] { confined.CreateFolderTree(root_ + "confined\\x.txt\\sub"); },
       FileSystemFailure::kRefused, root_ + "confined\\x.txt", 0},
      {"confined: a file under a file", [&] { confined.CreateOutputFile(root_ + "confined\\x.txt\\f.txt"); },
       FileSystemFailure::kRefused, root_ + "confined\\x.txt", 0},
      {"confined: a folder the system cannot make", [&] { confined.CreateFolderTree(root_ + "confined\\a<b\\c"); },
       FileSystemFailure::kCreateFolder, root_ + "confined\\a<b", ERROR_INVALID_NAME},
      {"confined: held by another writer", [&] { confined.CreateOutputFile(root_ + "confined\\held.txt"); },
       FileSystemFailure::kCreateFile, root_ + "confined\\held.txt", ERROR_SHARING_VIOLATION},
      // Past MAX_PATH the failures are the same, and name the path as given, never its \\?\ form.
      {"no folder, past MAX_PATH", [&] { files_.CreateOutputFile(root_ + deep + "\\f.txt"); },
       FileSystemFailure::kCreateFile, root_ + deep + "\\f.txt", ERROR_PATH_NOT_FOUND},
      {"confined: a file under a file, past MAX_PATH",
       [&] { confined.CreateOutputFile(root_ + "confined\\" + deep + "\\x.txt\\f.txt"); },
       FileSystemFailure::kRefused, root_ + "confined\\" + deep + "\\x.txt", 0},
  };
  for (const Case& c : cases) {
    try {
      c.attempt();
      ADD_FAILURE() << c.what << ": no failure";
    } catch (const FileSystemError& error) {
      EXPECT_EQ(error.kind(), c.kind) << c.what << ": " << error.what();
      EXPECT_EQ(error.path(), c.path) << c.what << ": " << error.what();
      EXPECT_EQ(error.systemCode(), c.code) << c.what << ": " << error.what();
      EXPECT_THAT(error.what(), ::testing::HasSubstr(c.path + ": ")) << c.what;
    }
  }
}

TEST_F(Win32FileSystemTest, OutputFileIsExclusiveAndTruncatesAnExistingFile) {
  const std::string path = root_ + "out.bin";
  WriteText(path, "an older and longer content");
  std::unique_ptr<OutputFile> out = files_.CreateOutputFile(path);
  // Held exclusively: nobody else may even read it while it is written.
  UniqueFile reader(::CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(reader);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_THROW(files_.CreateOutputFile(path), FileSystemError);
  const std::string text = "new";
  EXPECT_EQ(out->Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), text.size());
  out->Close();
  EXPECT_EQ(ReadFile(path), "new");
}

// An earlier release's read-only, hidden or system file must not block the next one.
TEST_F(Win32FileSystemTest, ReadOnlyHiddenOrSystemFilesAreReplaced) {
  const DWORD protections[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                               FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM};
  for (const DWORD attribute : protections) {
    const std::string path = root_ + "protected.dll";
    ::SetFileAttributesW(Widen(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    WriteText(path, "an older and longer content");
    ASSERT_TRUE(::SetFileAttributesW(Widen(path).c_str(), attribute));
    std::unique_ptr<OutputFile> out = files_.CreateOutputFile(path);
    const std::string text = "new";
    EXPECT_EQ(out->Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), text.size());
    out->Close();
    EXPECT_EQ(ReadFile(path), "new") << attribute;
    EXPECT_EQ(ProtectionOf(path), 0u) << attribute;
  }
}

TEST_F(Win32FileSystemTest, TimesAndAttributesLand) {
  const std::string path = root_ + "timed.txt";
  std::unique_ptr<OutputFile> out = files_.CreateOutputFile(path);
  EXPECT_FALSE(out->SetTimes({0, 0}));                                    // month 0
  EXPECT_FALSE(out->SetTimes({(44 << 9) | (2 << 5) | 30, 0}));           // 30 February
  EXPECT_TRUE(out->SetTimes({testing::kSomeDate, (12 << 11) | (34 << 5) | 28}));
  out->Close();

  UniqueFile file(::CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr));
  ASSERT_TRUE(file);
  FILETIME created{}, written{};
  ASSERT_TRUE(::GetFileTime(file.get(), &created, nullptr, &written));
  file.reset();
  EXPECT_EQ(::CompareFileTime(&created, &written), 0);
  SYSTEMTIME utc{}, local{};
  ASSERT_TRUE(::FileTimeToSystemTime(&written, &utc));
  ASSERT_TRUE(::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
  EXPECT_EQ(local.wYear, 2024);
  EXPECT_EQ(local.wMonth, 5);
  EXPECT_EQ(local.wDay, 17);
  EXPECT_EQ(local.wHour, 12);
  EXPECT_EQ(local.wMinute, 34);
  EXPECT_EQ(local.wSecond, 56);

  // A new file is an archive already; asking for that again changes nothing.
  EXPECT_TRUE(files_.ApplyAttributes(path, kAttributeArchive));
  EXPECT_EQ(::GetFileAttributesW(Widen(path).c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_TRUE(files_.ApplyAttributes(path, kAttributeHidden | kAttributeArchive));
  EXPECT_EQ(::GetFileAttributesW(Widen(path).c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_TRUE(files_.ApplyAttributes(path, 0));
  EXPECT_EQ(ProtectionOf(path), 0u);
}

// A file held open without sharing by another process, and a running program, cannot be
// replaced; a read-only file that cannot be replaced keeps its attribute. The other process
// is file-holder.exe (built beside this program), copied to the folder and started from there.
TEST_F(Win32FileSystemTest, FilesInUseByAnotherProcessAreNotReplaced) {
  wchar_t self[MAX_PATH];
  ASSERT_NE(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  std::wstring holder = self;
  holder = holder.substr(0, holder.find_last_of(L"\\/") + 1) + L"file-holder.exe";
  const std::string program = root_ + "running.exe";
  ASSERT_TRUE(::CopyFileW(holder.c_str(), Widen(program).c_str(), FALSE)) << Narrow(holder);
  const std::string held = root_ + "held.dat";
  const std::string heldReadOnly = root_ + "held-read-only.dat";
  WriteText(held, "held");
  WriteText(heldReadOnly, "held read-only");
  ASSERT_TRUE(::SetFileAttributesW(Widen(heldReadOnly).c_str(), FILE_ATTRIBUTE_READONLY));

  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  UniqueKernelHandle started(::CreateEventW(&inherit, TRUE, FALSE, nullptr));
  ASSERT_TRUE(started);
  std::wstring command = L"\"" + Widen(program) + L"\" " +
                         std::to_wstring(reinterpret_cast<std::uintptr_t>(started.get())) + L" \"" + Widen(held) +
                         L"\" \"" + Widen(heldReadOnly) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                               &process));
  UniqueKernelHandle child(process.hProcess);
  UniqueKernelHandle thread(process.hThread);
  ASSERT_EQ(::WaitForSingleObject(started.get(), 30000), WAIT_OBJECT_0);

  for (const std::string& path : {held, heldReadOnly, program}) {
    try {
      files_.CreateOutputFile(path);
      ADD_FAILURE() << path << " was replaced";
    } catch (const FileSystemError& error) {
      EXPECT_EQ(error.kind(), FileSystemFailure::kCreateFile) << error.what();
      EXPECT_EQ(error.path(), path);
      EXPECT_EQ(error.systemCode(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << error.what();
    }
  }
  EXPECT_FALSE(files_.RemoveFile(program));
  EXPECT_EQ(ProtectionOf(heldReadOnly), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));

  ::TerminateProcess(child.get(), 0);
  ::WaitForSingleObject(child.get(), 30000);
  EXPECT_EQ(ReadFile(held), "held");
  EXPECT_EQ(ReadFile(heldReadOnly), "held read-only");
}

// Entry times are local times of their own date: a summer date is two hours ahead of UTC
// in Berlin, a winter date one, whatever the date of the run.
TEST_F(Win32FileSystemTest, EntryTimesFollowTheSummerTimeOfTheirDate) {
  TIME_ZONE_INFORMATION zone{};
  ASSERT_NE(::GetTimeZoneInformation(&zone), TIME_ZONE_ID_INVALID);
  ASSERT_TRUE(zone.Bias == -60 && zone.DaylightBias == -60)
      << "the Wine environment must run in Central European Time with summer time (TZ=Europe/Berlin); bias "
      << zone.Bias << ", daylight bias " << zone.DaylightBias;
  struct Case {
    DosDateTime when;
    WORD utcHour;
  };
  const Case cases[] = {
      {{(2024 - 1980) << 9 | 7 << 5 | 15, 12 << 11}, 10},           // 2024-07-15 12:00, summer
      {{(2024 - 1980) << 9 | 1 << 5 | 15, 12 << 11}, 11},           // 2024-01-15 12:00, winter
      {{(2023 - 1980) << 9 | 10 << 5 | 28, 23 << 11 | 30 << 5}, 21},  // 2023-10-28 23:30, the last summer night
      {{(2023 - 1980) << 9 | 10 << 5 | 29, 12 << 11}, 11},          // 2023-10-29 12:00, winter again
  };
  for (const Case& c : cases) {
    const std::string path = root_ + "dated.txt";
    std::unique_ptr<OutputFile> out = files_.CreateOutputFile(path);
    ASSERT_TRUE(out->SetTimes(c.when));
    out->Close();
    UniqueFile file(::CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(file);
    FILETIME written{};
    ASSERT_TRUE(::GetFileTime(file.get(), nullptr, nullptr, &written));
    SYSTEMTIME utc{};
    ASSERT_TRUE(::FileTimeToSystemTime(&written, &utc));
    EXPECT_EQ(utc.wHour, c.utcHour) << "DOS date " << c.when.date << " time " << c.when.time;
  }
}

TEST_F(Win32FileSystemTest, UnpacksAPackageWithTimesAndAttributes) {
  using namespace quorvex::testing;
  const std::string package = BuildPackage({
      {.name = "Quorvex.exe", .data = "MZ program", .method = 0, .externalAttributes = 0x21},
      {.name = "bin/", .data = ""},
      {.name = "bin/Instala\xC3\xA7\xC3\xA3o.txt", .data = std::string(100000, 'q'), .flags = 0x0800,
       .externalAttributes = 0x01},
  });
  UnpackPackage(AsBytes(package), root_, files_);
  EXPECT_EQ(ReadFile(root_ + "Quorvex.exe"), "MZ program");
  EXPECT_EQ(::GetFileAttributesW(Widen(root_ + "Quorvex.exe").c_str()),
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  const std::string accented = root_ + "bin\\Instala\xC3\xA7\xC3\xA3o.txt";
  EXPECT_EQ(ProtectionOf(accented), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(ReadFile(accented).size(), 4096u);  // ReadFile reads one block; the file is there

  // The next release unpacks over the read-only files, which are read-only again after it.
  const std::string next = BuildPackage({
      {.name = "Quorvex.exe", .data = "MZ next program", .method = 0, .externalAttributes = 0x21},
      {.name = "bin\\Instala\xC3\xA7\xC3\xA3o.txt", .data = "next", .flags = 0x0800, .externalAttributes = 0x06},
  });
  UnpackPackage(AsBytes(next), root_, files_);
  EXPECT_EQ(ReadFile(root_ + "Quorvex.exe"), "MZ next program");
  EXPECT_EQ(ProtectionOf(root_ + "Quorvex.exe"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(ReadFile(accented), "next");
  EXPECT_EQ(ProtectionOf(accented), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
}

// Paths past MAX_PATH below the folder: a 300-character path of ordinary names and a folder
// name of 255 characters (the most one name may have). Both reach the final-path check with
// more than MAX_PATH characters, so they also show the check asking again for the size.
TEST_F(Win32FileSystemTest, UnpacksEntriesPastMaxPath) {
  using namespace quorvex::testing;
  std::string deep;
  while (deep.size() < 300) deep += "node_modules/";
  deep += "index.js";
  const std::string wide = std::string(255, 'w') + "/x/" + std::string(200, 'f') + ".txt";
  const std::string package = BuildPackage({
      {.name = deep, .data = "deep"},
      {.name = wide, .data = "wide"},
  });
  Win32FileSystem confined(root_);
  ASSERT_NO_THROW(UnpackPackage(AsBytes(package), root_, confined));
  for (const auto& [name, text] : {std::pair{deep, "deep"}, std::pair{wide, "wide"}}) {
    std::string path = root_ + name;
    std::replace(path.begin(), path.end(), '/', '\\');
    EXPECT_GT(path.size(), static_cast<std::size_t>(MAX_PATH));
    EXPECT_EQ(ReadFile("\\\\?\\" + path), text) << name;
  }
}

// A disk that fills during a write: the write fails with the system's code and says how much the
// file holds, rather than returning a count that loses the reason; unpacking passes the code on.
// The disk is a 64 KiB tmpfs that fixtures/small-disk.sh mounts and names in QV_SMALL_DISK; this
// suite runs only there.
TEST(Win32ShortWrite, FailsWithTheSystemsCodeAfterPartOfTheData) {
  const char* mounted = std::getenv("QV_SMALL_DISK");
  ASSERT_NE(mounted, nullptr) << "QV_SMALL_DISK is not set: this suite runs through fixtures/small-disk.sh";
  std::string root = std::string("Z:") + mounted + "\\";
  std::replace(root.begin(), root.end(), '/', '\\');
  constexpr std::size_t kRoom = 64 * 1024;
  const std::string data(kRoom * 4, 'q');
  const auto diskFull = ::testing::AnyOf(static_cast<DWORD>(ERROR_DISK_FULL), static_cast<DWORD>(ERROR_HANDLE_DISK_FULL));
  Win32FileSystem files;
  {
    const std::string path = root + "big.bin";
    const std::unique_ptr<OutputFile> out = files.CreateOutputFile(path);
    try {
      out->Write(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
      ADD_FAILURE() << "the write of " << data.size() << " bytes did not fail";
    } catch (const FileSystemError& error) {
      EXPECT_EQ(error.kind(), FileSystemFailure::kWrite) << error.what();
      EXPECT_EQ(error.path(), path);
      EXPECT_THAT(error.systemCode(), diskFull) << error.what();
      EXPECT_THAT(error.what(), ::testing::HasSubstr(" after " + std::to_string(kRoom) + " of " +
                                                     std::to_string(data.size()) + " bytes"));
    }
    out->Close();
    EXPECT_TRUE(files.RemoveFile(path));
  }

  // A small entry first, so that the large one does not start on a boundary of the room.
  using namespace quorvex::testing;
  const std::string package = BuildPackage({
      {.name = "small.txt", .data = std::string(1000, 's')},
      {.name = "bin/large.dat", .data = data, .method = 0},
  });
  const std::string folder = root + "Quorvex\\";
  Win32FileSystem confined(folder);
  try {
    UnpackPackage(AsBytes(package), folder, confined);
    ADD_FAILURE() << "unpacked " << data.size() << " bytes into " << kRoom;
  } catch (const UnpackError& error) {
    EXPECT_EQ(error.kind(), UnpackFailure::kFileSystem) << error.what();
    EXPECT_EQ(error.entry(), "bin/large.dat");
    EXPECT_EQ(error.path, folder + "bin\\large.dat");
    EXPECT_EQ(error.fileSystemFailure, FileSystemFailure::kWrite);
    EXPECT_THAT(error.systemCode, diskFull) << error.what();
  }
  EXPECT_TRUE(files.FileExists(folder + "small.txt"));
}

}  // namespace
}  // namespace quorvex::win32
