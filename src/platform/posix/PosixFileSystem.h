#pragma once
// The file-system port on POSIX, for native tests, qv-unpack and benchmarks. A Windows
// path "X:\a\b" maps to root/a/b (the drive is dropped; there is one volume). Times are
// set from local time; the read-only bit removes write permission; hidden, system and
// archive have no counterpart and are ignored.

#include <string>

#include "install/FileSystem.h"

namespace quorvex {

class PosixFileSystem : public FileSystem {
 public:
  explicit PosixFileSystem(std::string root);

  bool FileExists(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  bool RemoveFile(const std::string& path) override;
  void CreateFolderTree(const std::string& path) override;
  // Replaces a file without write permission (the read-only bit) after granting it, like
  // the Windows adapter clears read-only; never follows a symbolic link.
  std::unique_ptr<OutputFile> CreateOutputFile(const std::string& path) override;
  bool ApplyAttributes(const std::string& path, std::uint32_t attributes) override;

  // The host path a Windows path maps to.
  std::string HostPath(const std::string& path) const;

 private:
  std::string root_;
};

}  // namespace quorvex
