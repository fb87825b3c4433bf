#pragma once
// The run log's file: QuorvexInstall.log in the user's temporary folder, the older one beside
// it as QuorvexInstall.1.log. Each line is one append to a file opened for that line with
// every kind of sharing, under a mutex named for the file (Lock), so two installers running
// at once interleave whole lines and only one of them moves the file aside.

#include <string>

#include "install/FileRunLog.h"
#include "platform/win32/UniqueHandle.h"

namespace quorvex::win32 {

class Win32LogStore : public LogStore {
 public:
  // folder: where the files go, with its trailing backslash; empty: the user's temporary
  // folder (GetTempPathW). No file is opened before the first line.
  explicit Win32LogStore(std::wstring folder = {});

  bool Lock(int waitMs) noexcept override;
  void Unlock() noexcept override;
  std::optional<std::uint64_t> Size() noexcept override;
  bool Append(std::string_view line) noexcept override;
  bool Rotate() noexcept override;
  LocalTimeStamp Now() noexcept override;

  const std::wstring& Path() const noexcept { return path_; }

 private:
  std::wstring path_;   // empty when there is no folder to write to
  std::wstring older_;
  UniqueHandle<KernelHandleTraits> mutex_;  // orders the writers of path_; null: none could be made
};

}  // namespace quorvex::win32
