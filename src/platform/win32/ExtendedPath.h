#pragma once
// Paths as the file system's Win32 calls get them: extended-length ("\\?\C:\...",
// "\\?\UNC\server\share\..."), so that a file may lie up to the system's 32,767 characters
// deep rather than MAX_PATH. The system takes such a path as it stands (no "/" for "\", no "."
// or ".." resolved, trailing dots and spaces kept), so an ordinary path is made full first
// where it needs it. Messages and failures keep naming the ordinary path.

#include <string>

namespace quorvex::win32 {

std::wstring ExtendedPath(const std::wstring& path);

// The path without trailing backslashes, but a drive's root keeps its own ("C:\").
std::wstring WithoutTrailingBackslashes(std::wstring path);

}  // namespace quorvex::win32
