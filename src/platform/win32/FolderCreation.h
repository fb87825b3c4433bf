#pragma once
// Making folders, for the file-system adapter and its confined folder alike: one rule for what
// counts as made and what is a failure.

#include <string>

namespace quorvex::win32 {

// Makes one folder (given as an ordinary path; the system is asked with its extended form). A
// folder at the path afterwards is success, whether made now, before, or meanwhile by someone
// else, whatever the system said (it may answer a drive's root with ERROR_ACCESS_DENIED).
// Anything else in its place, or a folder the system cannot make, throws
// FileSystemError(kCreateFolder) naming the folder, with the system's code from the creation.
void MakeFolder(const std::wstring& folder);

// Makes each missing folder of path, from below its root ("C:\", "\\server\share\") down, as
// MakeFolder does; the first that cannot be made is the one named.
void MakeFolderTree(const std::wstring& path);

}  // namespace quorvex::win32
