#pragma once
// The file-system port on Windows: CreateFileW with exclusive access, SetFileTime,
// SetFileAttributesW, folder trees, deletion and existence tests.

#include <string>

#include "install/FileSystem.h"
#include "platform/win32/ConfinedFolder.h"

namespace quorvex::win32 {

class Win32FileSystem : public FileSystem {
 public:
  Win32FileSystem() = default;
  // Folders and files created at or below confinedFolder (the installation folder) are never
  // reached through a link: such a write throws FileSystemError naming the link.
  explicit Win32FileSystem(const std::string& confinedFolder);

  bool FileExists(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  bool RemoveFile(const std::string& path) override;
  void CreateFolderTree(const std::string& path) override;
  // Clears read-only, hidden and system on an existing file before CreateFileW, which
  // refuses to replace such a file on Windows (Wine refuses read-only only).
  std::unique_ptr<OutputFile> CreateOutputFile(const std::string& path) override;
  bool ApplyAttributes(const std::string& path, std::uint32_t attributes) override;

 private:
  ConfinedFolder confined_;
};

}  // namespace quorvex::win32
