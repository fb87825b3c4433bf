#pragma once
// Writes at or below one folder never pass through a link: the folder itself and every
// folder below it on a path must be plain folders (no junction, symbolic link or mount
// point), and an opened file must be the file its path names. Attributes alone do not
// show every link (Wine reports none for a symbolic link to a file), so each handle's final
// path is compared with the path it should have.

#include <windows.h>

#include <set>
#include <string>

namespace quorvex::win32 {

class ConfinedFolder {
 public:
  ConfinedFolder() = default;  // confines nothing
  // root: a full path, with or without its trailing backslash.
  explicit ConfinedFolder(std::wstring root);

  // True when path is the root or lies below it.
  bool Contains(const std::wstring& path) const;

  // Creates the folders of path that are missing, from the root down, checking each one
  // (the root included) before anything is created in it; a folder checked once is not
  // checked again. Throws FileSystemError naming the first one that is a link, does not lead
  // where its path says, or cannot be made (with the system's code).
  void CreateFolders(const std::wstring& path);

  // Checks the folders from the root down to path's parent, as CreateFolders does, without
  // creating any. Throws FileSystemError.
  void CheckParents(const std::wstring& path);

  // Checks an opened file against its path. Throws FileSystemError when the handle is a link
  // or leads elsewhere.
  void CheckOpened(HANDLE file, const std::wstring& path);

 private:
  void CheckFolder(const std::wstring& folder);
  std::wstring ExpectedFinalPath(const std::wstring& path);

  std::wstring root_;             // without trailing backslash; empty: confines nothing
  std::wstring rootFinal_;        // the root's final path once it has been checked
  std::set<std::wstring> plain_;  // folders already found plain, upper case
};

}  // namespace quorvex::win32
