#pragma once
// The application's shortcuts on the current user's desktop and in the Start menu's programs
// folder: stale ones of four fixed names are removed, then one fresh shortcut is written in each.

#include <array>
#include <string>
#include <string_view>

namespace quorvex {

class RunLog;

class FileSystem;
class Shell;

inline constexpr int kCsidlDesktop = 0;   // CSIDL_DESKTOP: the user's desktop directory
inline constexpr int kCsidlPrograms = 2;  // CSIDL_PROGRAMS: the user's Start menu programs folder

// Suffixes that replace the executable's extension to form the stale names, in the order searched.
inline constexpr std::array<std::string_view, 4> kStaleShortcutSuffixes = {
    ".exe - Atalho.lnk", " - Atalho.lnk", ".exe.lnk", ".lnk"};
inline constexpr std::string_view kShortcutDescription = "Quorvex - Veltrano";

// The special folder's current path; empty when the lookup fails.
std::string GetSpecialFolder(Shell& shell, int csidl);

// The raw target stored in a link file, read through a new link object; empty when the file
// cannot be loaded as a link or stores no target. Throws ShellError when no link object can be made.
std::string GetShortcutTarget(Shell& shell, const std::string& linkPath);

// Deletes every stale shortcut (any loadable link of the four names, whatever it points to) on
// the desktop and in the programs folder, then calls CreateShortcuts. A folder whose lookup
// fails is skipped rather than read as the root of the current drive.
void RemoveOldShortcuts(Shell& shell, FileSystem& files, const std::string& executablePath, RunLog* log = nullptr);

// Writes <executable name>.lnk pointing at executablePath into the desktop and programs folders
// with one link object. Save failures pass silently; failing to create the object throws ShellError.
void CreateShortcuts(Shell& shell, const std::string& executablePath, RunLog* log = nullptr);

}  // namespace quorvex
