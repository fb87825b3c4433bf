#include "install/FileSystem.h"
#include "install/Shortcuts.h"
#include "platform/win32/ComPtr.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/Win32FileSystem.h"
#include "platform/win32/Win32Shell.h"

#include <windows.h>
#include <objidl.h>
#include <shlobj.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <thread>

namespace quorvex::win32 {
namespace {

using ::testing::ElementsAre;

const std::string kExecutable = "C:\\Quorvex\\Quorvex.exe";

// What a saved link holds, read back through the shell's own object.
struct StoredLink {
  std::string target, workingDirectory, description, arguments;
};

StoredLink ReadLink(const std::string& path) {
  ComPtr<IShellLinkW> link;
  EXPECT_TRUE(SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                           link.putVoid())));
  if (!link) return {};
  EXPECT_TRUE(SUCCEEDED(link.As<IPersistFile>(IID_IPersistFile)->Load(Widen(path).c_str(), STGM_READ))) << path;
  wchar_t text[INFOTIPSIZE] = {};
  StoredLink stored;
  link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
  stored.target = Narrow(text);
  text[0] = L'\0';
  link->GetWorkingDirectory(text, MAX_PATH);
  stored.workingDirectory = Narrow(text);
  text[0] = L'\0';
  link->GetDescription(text, INFOTIPSIZE);
  stored.description = Narrow(text);
  text[0] = L'\0';
  link->GetArguments(text, INFOTIPSIZE);
  stored.arguments = Narrow(text);
  return stored;
}

void WriteText(const std::string& path, const std::string& text) {
  const HANDLE file = ::CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  DWORD written = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
}

// Names of the files in folder that begin with "Quorvex".
std::set<std::string> QuorvexFiles(const std::string& folder) {
  std::set<std::string> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW(Widen(folder + "Quorvex*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do names.insert(Narrow(found.cFileName));
  while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return names;
}

class ShortcutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop_ = GetSpecialFolder(shell_, kCsidlDesktop);
    programs_ = GetSpecialFolder(shell_, kCsidlPrograms);
    ASSERT_FALSE(desktop_.empty());
    ASSERT_FALSE(programs_.empty());
    desktop_ += '\\';
    programs_ += '\\';
    ::SHCreateDirectoryExW(nullptr, Widen(desktop_).c_str(), nullptr);
    ::SHCreateDirectoryExW(nullptr, Widen(programs_).c_str(), nullptr);
    Clean();
  }
  void TearDown() override { Clean(); }
  void Clean() {
    for (const std::string& folder : {desktop_, programs_}) {
      for (const std::string& name : QuorvexFiles(folder)) ::DeleteFileW(Widen(folder + name).c_str());
    }
  }
  void SaveLink(const std::string& path, const std::string& target) {
    auto link = shell_.CreateLink();
    link->SetFields({.description = "old", .targetPath = target, .arguments = {}, .workingDirectory = "C:\\"});
    ASSERT_TRUE(link->SaveAs(path)) << path;
  }

  ComApartment apartment_;
  Win32Shell shell_;
  Win32FileSystem files_;
  std::string desktop_, programs_;
};

TEST_F(ShortcutTest, TheDesktopIsTheUsersDesktopDirectoryAndAnUnknownFolderIsEmpty) {
  wchar_t directory[MAX_PATH + 1] = {};
  ASSERT_TRUE(SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, directory)));
  EXPECT_EQ(desktop_, Narrow(directory) + '\\');
  EXPECT_EQ(GetSpecialFolder(shell_, 0xFE), "");
}

TEST_F(ShortcutTest, CreatedShortcutsReadBackWithTargetWorkingDirectoryAndDescription) {
  CreateShortcuts(shell_, kExecutable);
  for (const std::string& folder : {desktop_, programs_}) {
    const StoredLink stored = ReadLink(folder + "Quorvex.lnk");
    EXPECT_EQ(stored.target, kExecutable) << folder;
    EXPECT_EQ(stored.workingDirectory, "C:\\Quorvex\\") << folder;
    EXPECT_EQ(stored.description, "Quorvex - Veltrano") << folder;
    EXPECT_EQ(stored.arguments, "") << folder;
    EXPECT_EQ(GetShortcutTarget(shell_, folder + "Quorvex.lnk"), kExecutable) << folder;
  }
}

// A thread that never joined a COM apartment cannot make the link object: the failure carries
// the system's HRESULT, and nothing is written.
TEST_F(ShortcutTest, WithoutComTheLinkObjectFailsWithTheSystemsCode) {
  std::optional<ShellError> failure;
  std::thread outside([&] {
    Win32Shell shell;
    try {
      CreateShortcuts(shell, kExecutable);
    } catch (const ShellError& error) {
      failure = error;
    }
  });
  outside.join();
  ASSERT_TRUE(failure) << "the link object was made without COM";
  EXPECT_EQ(failure->kind(), ShellFailure::kCreateLinkObject);
  EXPECT_EQ(failure->systemCode(), static_cast<std::uint32_t>(CO_E_NOTINITIALIZED)) << failure->what();
  EXPECT_THAT(QuorvexFiles(desktop_), ElementsAre());
}

TEST_F(ShortcutTest, TargetIsEmptyForFilesThatAreNotLoadableLinks) {
  WriteText(desktop_ + "Quorvex.exe.lnk", "this is not a shell link");
  EXPECT_EQ(GetShortcutTarget(shell_, desktop_ + "Quorvex.exe.lnk"), "");
  EXPECT_EQ(GetShortcutTarget(shell_, desktop_ + "Quorvex - nowhere.lnk"), "");
}

TEST_F(ShortcutTest, StaleShortcutsGiveWayToExactlyOneFreshShortcutPerFolderRunAfterRun) {
  SaveLink(desktop_ + "Quorvex.lnk", "C:\\Antigo\\Quorvex.exe");
  SaveLink(desktop_ + "Quorvex - Atalho.lnk", "C:\\Quorvex\\Quorvex.exe");
  SaveLink(programs_ + "Quorvex.exe - Atalho.lnk", "C:\\Quorvex\\Quorvex.exe");
  WriteText(desktop_ + "Quorvex.exe.lnk", "this is not a shell link");

  for (int run = 1; run <= 2; ++run) {
    RemoveOldShortcuts(shell_, files_, kExecutable);
    EXPECT_THAT(QuorvexFiles(desktop_), ElementsAre("Quorvex.exe.lnk", "Quorvex.lnk")) << "run " << run;
    EXPECT_THAT(QuorvexFiles(programs_), ElementsAre("Quorvex.lnk")) << "run " << run;
    EXPECT_EQ(ReadLink(desktop_ + "Quorvex.lnk").target, kExecutable) << "run " << run;
    EXPECT_EQ(ReadLink(programs_ + "Quorvex.lnk").target, kExecutable) << "run " << run;
  }
}

}  // namespace
}  // namespace quorvex::win32
