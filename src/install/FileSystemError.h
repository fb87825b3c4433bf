#pragma once
// The file-system port's failure, apart from the port so that the unpacker's error can name
// the failed operation without depending on the rest.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvex {

// The operation that failed, for callers and tests that act on it rather than on the message.
enum class FileSystemFailure {
  kCreateFolder,  // a folder (or one of its ancestors) could not be created
  kCreateFile,    // a file could not be created or opened for writing
  kReplace,       // an existing file could not be taken over: held by another writer, not truncated
  kWrite,         // a write failed, or stored nothing
  kClose,         // closing the file failed
  kRefused,       // a link (or a file where a folder belongs) on the way: nothing is written through it
  kCheck,         // where the path leads could not be found out
};

// A file-system operation that failed. The message says what was attempted with the path and
// the system's reason: "Cannot create the folder C:\Quorvex\bin: error 5 (Access denied.)".
class FileSystemError : public std::runtime_error {
 public:
  // systemCode is the system's own code (a Win32 error, an errno value), 0 when there is none.
  FileSystemError(FileSystemFailure kind, std::string path, std::uint32_t systemCode, std::string_view reason);

  FileSystemFailure kind() const noexcept { return kind_; }
  // The path as the caller gave it, or the ancestor that could not be made or checked.
  const std::string& path() const noexcept { return path_; }
  std::uint32_t systemCode() const noexcept { return systemCode_; }

 private:
  FileSystemFailure kind_;
  std::string path_;
  std::uint32_t systemCode_;
};

}  // namespace quorvex
