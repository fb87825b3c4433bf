#include "install/Shortcuts.h"

#include "InstallationFakes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quorvex {
namespace {

using ::testing::ElementsAre;
using ::testing::Contains;
using ::testing::HasSubstr;
using testing::EventLog;
using testing::FakeFileSystem;
using testing::FakeShell;

constexpr const char* kDesktop = "C:\\Users\\ana\\Desktop\\";
constexpr const char* kPrograms = "C:\\Users\\ana\\Start Menu\\Programs\\";

struct ShortcutWorld {
  EventLog log;
  FakeFileSystem files{log};
  FakeShell shell{log, files};

  // Only the loads, deletions and saves, in order.
  std::vector<std::string> FileEvents() const {
    std::vector<std::string> events;
    for (const std::string& event : log) {
      if (!event.starts_with("new link") && !event.starts_with("fields")) events.push_back(event);
    }
    return events;
  }
};

std::string At(const char* folder, const char* name) { return std::string(folder) + name; }

TEST(Shortcuts, StaleNamesAreSearchedNameByNameOnDesktopThenProgramsAndOnlyLinksWithATargetGo) {
  ShortcutWorld world;
  world.files.files = {
      {At(kDesktop, "Quorvex.lnk"), "LNK:C:\\Elsewhere\\Other.exe"},   // any target: removed
      {At(kDesktop, "Quorvex - Atalho.lnk"), "LNK:C:\\Quorvex\\Quorvex.exe"},
      {At(kDesktop, "Quorvex.exe.lnk"), "not a link at all"},          // not loadable: stays
      {At(kPrograms, "Quorvex.exe - Atalho.lnk"), "LNK:"},             // link without target: stays
      {At(kPrograms, "Quorvex.exe.lnk"), "LNK:C:\\Quorvex\\Quorvex.exe"},
  };

  RemoveOldShortcuts(world.shell, world.files, "C:\\Quorvex\\Quorvex.exe");

  EXPECT_THAT(world.FileEvents(),
              ElementsAre("load " + At(kDesktop, "Quorvex.exe - Atalho.lnk"),
                          "load " + At(kPrograms, "Quorvex.exe - Atalho.lnk"),
                          "load " + At(kDesktop, "Quorvex - Atalho.lnk"),
                          "delete " + At(kDesktop, "Quorvex - Atalho.lnk"),
                          "load " + At(kPrograms, "Quorvex - Atalho.lnk"),
                          "load " + At(kDesktop, "Quorvex.exe.lnk"),
                          "load " + At(kPrograms, "Quorvex.exe.lnk"),
                          "delete " + At(kPrograms, "Quorvex.exe.lnk"),
                          "load " + At(kDesktop, "Quorvex.lnk"),
                          "delete " + At(kDesktop, "Quorvex.lnk"),
                          "load " + At(kPrograms, "Quorvex.lnk"),
                          "save " + At(kDesktop, "Quorvex.lnk"),
                          "save " + At(kPrograms, "Quorvex.lnk")));
  EXPECT_EQ(world.files.files, (std::map<std::string, std::string>{
                                   {At(kDesktop, "Quorvex.exe.lnk"), "not a link at all"},
                                   {At(kDesktop, "Quorvex.lnk"), "LNK:C:\\Quorvex\\Quorvex.exe"},
                                   {At(kPrograms, "Quorvex.exe - Atalho.lnk"), "LNK:"},
                                   {At(kPrograms, "Quorvex.lnk"), "LNK:C:\\Quorvex\\Quorvex.exe"},
                               }));
}

TEST(Shortcuts, OneLinkObjectWritesBothShortcutsWithTheFixedFields) {
  ShortcutWorld world;
  CreateShortcuts(world.shell, "D:\\Apps\\Tool.v2.exe");
  EXPECT_THAT(world.log, ElementsAre("new link", "fields Quorvex - Veltrano | D:\\Apps\\Tool.v2.exe |  | D:\\Apps\\",
                                     "save " + At(kDesktop, "Tool.v2.lnk"), "save " + At(kPrograms, "Tool.v2.lnk")));
}

TEST(Shortcuts, FolderPathsAlreadyEndingInABackslashAreNotDoubled) {
  ShortcutWorld world;
  world.shell.specialFolders = {{0, "E:\\"}, {2, "E:\\Programs\\"}};
  CreateShortcuts(world.shell, "C:\\Quorvex\\Quorvex.exe");
  EXPECT_THAT(world.FileEvents(), ElementsAre("save E:\\Quorvex.lnk", "save E:\\Programs\\Quorvex.lnk"));
}

// A failed lookup gives an empty folder; used as is it would read, delete and write links at
// the root of the current drive ("\Quorvex.lnk"). Such a folder is skipped instead.
TEST(Shortcuts, AFolderWhoseLookupFailedIsNeitherSearchedNorWritten) {
  for (const int failing : {kCsidlDesktop, kCsidlPrograms}) {
    ShortcutWorld world;
    world.shell.specialFolders.erase(failing);
    world.files.files["\\Quorvex.lnk"] = "LNK:C:\\Quorvex\\Quorvex.exe";
    const char* kept = failing == kCsidlDesktop ? kPrograms : kDesktop;

    RemoveOldShortcuts(world.shell, world.files, "C:\\Quorvex\\Quorvex.exe");

    for (const std::string& event : world.FileEvents()) EXPECT_THAT(event, HasSubstr(kept)) << failing;
    EXPECT_THAT(world.FileEvents(), Contains("save " + At(kept, "Quorvex.lnk"))) << failing;
    EXPECT_EQ(world.files.Content("\\Quorvex.lnk"), "LNK:C:\\Quorvex\\Quorvex.exe") << failing;
  }
}

TEST(Shortcuts, TargetOfAFileThatIsNoLinkOrHasNoTargetIsEmpty) {
  ShortcutWorld world;
  world.files.files = {{"C:\\a.lnk", "LNK:C:\\Quorvex\\Quorvex.exe"}, {"C:\\b.lnk", "LNK:"}, {"C:\\c.lnk", "text"}};
  EXPECT_EQ(GetShortcutTarget(world.shell, "C:\\a.lnk"), "C:\\Quorvex\\Quorvex.exe");
  EXPECT_EQ(GetShortcutTarget(world.shell, "C:\\b.lnk"), "");
  EXPECT_EQ(GetShortcutTarget(world.shell, "C:\\c.lnk"), "");
  EXPECT_EQ(GetShortcutTarget(world.shell, "C:\\missing.lnk"), "");
}

TEST(Shortcuts, FailingToCreateTheLinkObjectRaisesBeforeAnythingIsDeleted) {
  ShortcutWorld world;
  world.files.files[At(kDesktop, "Quorvex.lnk")] = "LNK:C:\\Quorvex\\Quorvex.exe";
  world.shell.linkObjectFails = true;
  for (const bool removing : {true, false}) {
    try {
      if (removing) {
        RemoveOldShortcuts(world.shell, world.files, "C:\\Quorvex\\Quorvex.exe");
      } else {
        CreateShortcuts(world.shell, "C:\\Quorvex\\Quorvex.exe");
      }
      ADD_FAILURE() << "no failure, removing " << removing;
    } catch (const ShellError& error) {
      EXPECT_EQ(error.kind(), ShellFailure::kCreateLinkObject);
      EXPECT_EQ(error.systemCode(), FakeShell::kClassNotRegistered);
    }
  }
  EXPECT_EQ(world.files.files.size(), 1u);
}

}  // namespace
}  // namespace quorvex
