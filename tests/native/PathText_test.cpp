#include "install/PathText.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

TEST(PathText, FileNameAndFolderSplitAtLastBackslashOrColon) {
  struct Case { const char* path; const char* name; const char* folder; };
  const Case cases[] = {
      {"C:\\Quorvex\\Quorvex.exe", "Quorvex.exe", "C:\\Quorvex\\"},
      {"C:Quorvex.exe", "Quorvex.exe", "C:"},
      {"Quorvex.exe", "Quorvex.exe", ""},
      {"C:\\Quorvex\\", "", "C:\\Quorvex\\"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileNameOf(c.path), c.name) << c.path;
    EXPECT_EQ(FolderOf(c.path), c.folder) << c.path;
  }
}

TEST(PathText, ReplaceExtensionUsesLastDotOfTheFileNameOnly) {
  EXPECT_EQ(ReplaceExtension("Quorvex.exe", " - Atalho.lnk"), "Quorvex - Atalho.lnk");
  EXPECT_EQ(ReplaceExtension("Quorvex.exe", ".exe.lnk"), "Quorvex.exe.lnk");
  EXPECT_EQ(ReplaceExtension("Quorvex.tar.gz", ".lnk"), "Quorvex.tar.lnk");
  EXPECT_EQ(ReplaceExtension("Quorvex", ".lnk"), "Quorvex.lnk");
  // A dot in a folder name is not an extension of the file.
  EXPECT_EQ(ReplaceExtension("C:\\v1.2\\Quorvex", ".lnk"), "C:\\v1.2\\Quorvex.lnk");
}

TEST(PathText, TrailingBackslashIsAddedOnce) {
  EXPECT_EQ(IncludeTrailingBackslash("C:\\Users\\Desktop"), "C:\\Users\\Desktop\\");
  EXPECT_EQ(IncludeTrailingBackslash("C:\\Users\\Desktop\\"), "C:\\Users\\Desktop\\");
  EXPECT_EQ(IncludeTrailingBackslash(""), "\\");
}

}  // namespace
}  // namespace quorvex
