#include "install/Shortcuts.h"

#include "install/FileSystem.h"
#include "install/PathText.h"
#include "install/Shell.h"

#include <memory>

namespace quorvex {
namespace {

// The special folder with its trailing backslash, or empty when the lookup failed: an empty
// path would otherwise become "\", the root of the current drive.
std::string FolderForShortcuts(Shell& shell, int csidl) {
  const std::string folder = GetSpecialFolder(shell, csidl);
  return folder.empty() ? std::string() : IncludeTrailingBackslash(folder);
}

}  // namespace

std::string GetSpecialFolder(Shell& shell, int csidl) { return shell.SpecialFolderPath(csidl); }

std::string GetShortcutTarget(Shell& shell, const std::string& linkPath) {
  const std::unique_ptr<ShellLink> link = shell.CreateLink();
  if (!link->Load(linkPath)) return {};
  return link->RawTarget();
}

void RemoveOldShortcuts(Shell& shell, FileSystem& files, const std::string& executablePath) {
  const std::string folders[] = {FolderForShortcuts(shell, kCsidlDesktop), FolderForShortcuts(shell, kCsidlPrograms)};
  const std::string executableName = FileNameOf(executablePath);
  for (const std::string_view suffix : kStaleShortcutSuffixes) {
    const std::string name = ReplaceExtension(executableName, suffix);
    for (const std::string& folder : folders) {
      if (folder.empty()) continue;
      const std::string linkPath = folder + name;
      // Only a loadable link with a target is removed; any other file of that name stays.
      if (!GetShortcutTarget(shell, linkPath).empty()) files.RemoveFile(linkPath);
    }
  }
  CreateShortcuts(shell, executablePath);
}

void CreateShortcuts(Shell& shell, const std::string& executablePath) {
  const std::unique_ptr<ShellLink> link = shell.CreateLink();
  link->SetFields({.description = std::string(kShortcutDescription),
                   .targetPath = executablePath,
                   .arguments = {},
                   .workingDirectory = FolderOf(executablePath)});
  const std::string name = ReplaceExtension(FileNameOf(executablePath), ".lnk");
  for (const int csidl : {kCsidlDesktop, kCsidlPrograms}) {
    const std::string folder = FolderForShortcuts(shell, csidl);
    if (!folder.empty()) link->SaveAs(folder + name);
  }
}

}  // namespace quorvex
