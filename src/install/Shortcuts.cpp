#include "install/Shortcuts.h"

#include "download/RunLog.h"
#include "install/FileSystem.h"
#include "install/PathText.h"
#include "install/Shell.h"

#include <memory>

namespace quorvex {
namespace {

// The special folder with its trailing backslash, or empty when the lookup failed: an empty
// path would otherwise become "\", the root of the current drive.
std::string FolderForShortcuts(Shell& shell, int csidl, RunLog* log) {
  const std::string folder = GetSpecialFolder(shell, csidl);
  if (folder.empty()) {
    LogEvent(log, [&] { return "the shell did not name special folder " + std::to_string(csidl) + ": no shortcut there"; });
    return {};
  }
  return IncludeTrailingBackslash(folder);
}

}  // namespace

std::string GetSpecialFolder(Shell& shell, int csidl) { return shell.SpecialFolderPath(csidl); }

std::string GetShortcutTarget(Shell& shell, const std::string& linkPath) {
  const std::unique_ptr<ShellLink> link = shell.CreateLink();
  if (!link->Load(linkPath)) return {};
  return link->RawTarget();
}

void RemoveOldShortcuts(Shell& shell, FileSystem& files, const std::string& executablePath, RunLog* log) {
  const std::string folders[] = {FolderForShortcuts(shell, kCsidlDesktop, nullptr),
                                 FolderForShortcuts(shell, kCsidlPrograms, nullptr)};
  const std::string executableName = FileNameOf(executablePath);
  for (const std::string_view suffix : kStaleShortcutSuffixes) {
    const std::string name = ReplaceExtension(executableName, suffix);
    for (const std::string& folder : folders) {
      if (folder.empty()) continue;
      const std::string linkPath = folder + name;
      // Only a loadable link with a target is removed; any other file of that name stays.
      if (GetShortcutTarget(shell, linkPath).empty()) continue;
      const bool removed = files.RemoveFile(linkPath);
      LogEvent(log, [&] { return (removed ? "shortcut removed: " : "shortcut could not be removed: ") + linkPath; });
    }
  }
  CreateShortcuts(shell, executablePath, log);
}

void CreateShortcuts(Shell& shell, const std::string& executablePath, RunLog* log) {
  const std::unique_ptr<ShellLink> link = shell.CreateLink();
  link->SetFields({.description = std::string(kShortcutDescription),
                   .targetPath = executablePath,
                   .arguments = {},
                   .workingDirectory = FolderOf(executablePath)});
  const std::string name = ReplaceExtension(FileNameOf(executablePath), ".lnk");
  for (const int csidl : {kCsidlDesktop, kCsidlPrograms}) {
    const std::string folder = FolderForShortcuts(shell, csidl, log);
    if (folder.empty()) continue;
    const bool saved = link->SaveAs(folder + name);
    LogEvent(log, [&] { return (saved ? "shortcut made: " : "shortcut could not be saved: ") + folder + name; });
  }
}

}  // namespace quorvex
