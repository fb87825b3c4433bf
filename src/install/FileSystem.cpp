#include "install/FileSystem.h"

#include <utility>

namespace quorvex {
namespace {

const char* Attempt(FileSystemFailure kind) {
  switch (kind) {
    case FileSystemFailure::kCreateFolder:
      return "Cannot create the folder";
    case FileSystemFailure::kCreateFile:
      return "Cannot create";
    case FileSystemFailure::kReplace:
      return "Cannot replace";
    case FileSystemFailure::kWrite:
      return "Cannot write";
    case FileSystemFailure::kClose:
      return "Cannot close";
    case FileSystemFailure::kRefused:
      return "Cannot write through";
    case FileSystemFailure::kCheck:
      return "Cannot check";
  }
  return "Cannot use";
}

}  // namespace

FileSystemError::FileSystemError(FileSystemFailure kind, std::string path, std::uint32_t systemCode,
                                 std::string_view reason)
    : std::runtime_error(std::string(Attempt(kind)) + " " + path + ": " + std::string(reason)),
      kind_(kind),
      path_(std::move(path)),
      systemCode_(systemCode) {}

bool DecodeDosDateTime(DosDateTime when, LocalCalendarTime& out) {
  LocalCalendarTime t;
  t.year = 1980 + (when.date >> 9);
  t.month = (when.date >> 5) & 0x0F;
  t.day = when.date & 0x1F;
  t.hour = when.time >> 11;
  t.minute = (when.time >> 5) & 0x3F;
  t.second = (when.time & 0x1F) * 2;
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 || t.minute > 59 || t.second > 59) return false;
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
  const int days = kDaysInMonth[t.month - 1] + (t.month == 2 && leap ? 1 : 0);
  if (t.day > days) return false;
  out = t;
  return true;
}

void WriteWholeFile(FileSystem& fileSystem, const std::string& path, std::span<const std::uint8_t> data) {
  std::unique_ptr<OutputFile> file = fileSystem.CreateOutputFile(path);
  std::size_t done = 0;
  while (done < data.size()) {
    const std::size_t stored = file->Write(data.data() + done, data.size() - done);
    if (stored == 0) throw FileSystemError(FileSystemFailure::kWrite, path, 0, "the write stored nothing");
    done += stored;
  }
  file->Close();
}

}  // namespace quorvex
