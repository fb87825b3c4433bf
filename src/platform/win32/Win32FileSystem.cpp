#include "platform/win32/Win32FileSystem.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/win32/ExtendedPath.h"
#include "platform/win32/FolderCreation.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/UniqueHandle.h"

namespace quorvex::win32 {
namespace {

constexpr DWORD kProtectedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// One WriteFile call never takes more than this, whatever the caller hands over.
constexpr std::size_t kMaxWriteChunk = std::size_t{1} << 26;

[[noreturn]] void Fail(FileSystemFailure kind, const std::string& path, DWORD error) {
  throw FileSystemError(kind, path, error, SystemErrorReason(error));
}

class Win32OutputFile : public OutputFile {
 public:
  Win32OutputFile(UniqueFile file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}

  // A short write is continued: the system says why it stopped (ERROR_DISK_FULL, say) on the
  // call after it, and that reason, with what the file holds by then, is the failure.
  std::size_t Write(const std::uint8_t* data, std::size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      const DWORD want = static_cast<DWORD>(std::min(size - done, kMaxWriteChunk));
      DWORD written = 0;
      if (!::WriteFile(file_.get(), data + done, want, &written, nullptr)) {
        const DWORD error = ::GetLastError();
        std::string reason = SystemErrorReason(error);
        done += written;
        if (done > 0) reason += " after " + std::to_string(done) + " of " + std::to_string(size) + " bytes";
        throw FileSystemError(FileSystemFailure::kWrite, path_, error, reason);
      }
      if (written == 0) break;
      done += written;
    }
    return done;
  }

  bool SetTimes(DosDateTime when) override {
    LocalCalendarTime local;
    if (!DecodeDosDateTime(when, local)) return false;
    SYSTEMTIME localTime{};
    localTime.wYear = static_cast<WORD>(local.year);
    localTime.wMonth = static_cast<WORD>(local.month);
    localTime.wDay = static_cast<WORD>(local.day);
    localTime.wHour = static_cast<WORD>(local.hour);
    localTime.wMinute = static_cast<WORD>(local.minute);
    localTime.wSecond = static_cast<WORD>(local.second);
    // The daylight-saving rule of that date applies, not today's.
    SYSTEMTIME utc{};
    FILETIME fileTime{};
    if (!::TzSpecificLocalTimeToSystemTime(nullptr, &localTime, &utc) || !::SystemTimeToFileTime(&utc, &fileTime)) {
      return false;
    }
    return ::SetFileTime(file_.get(), &fileTime, nullptr, &fileTime) != FALSE;
  }

  void Close() override {
    if (!file_) return;
    const HANDLE handle = file_.release();
    if (!::CloseHandle(handle)) Fail(FileSystemFailure::kClose, path_, ::GetLastError());
  }

 private:
  UniqueFile file_;
  std::string path_;
};

}  // namespace

Win32FileSystem::Win32FileSystem(const std::string& confinedFolder) : confined_(Widen(confinedFolder)) {}

bool Win32FileSystem::FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(ExtendedPath(Widen(path)).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool Win32FileSystem::FolderExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(ExtendedPath(WithoutTrailingBackslashes(Widen(path))).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Win32FileSystem::RemoveFile(const std::string& path) {
  return ::DeleteFileW(ExtendedPath(Widen(path)).c_str()) != FALSE;
}

void Win32FileSystem::CreateFolderTree(const std::string& path) {
  const std::wstring folder = WithoutTrailingBackslashes(Widen(path));
  if (confined_.Contains(folder)) {
    // Each folder is checked before anything is made in it; a refusal or a folder that cannot
    // be made is reported there, and one that was checked is a folder.
    confined_.CreateFolders(folder);
    return;
  }
  const DWORD existing = ::GetFileAttributesW(ExtendedPath(folder).c_str());
  if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
  MakeFolderTree(folder);
}

std::unique_ptr<OutputFile> Win32FileSystem::CreateOutputFile(const std::string& path) {
  const std::wstring widePath = Widen(path);
  confined_.CheckParents(widePath);
  const std::wstring systemPath = ExtendedPath(widePath);
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  // Almost every file is new, so the name is first created where nothing, not even a link to
  // nothing, has it: no file appears at a link's far end, and a fresh install pays one lookup
  // by path per file (under Wine each lookup scans the folder). DELETE: a file made where a
  // folder was swapped for a link after its check is removed again.
  UniqueFile file(::CreateFileW(systemPath.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, kFlags, nullptr));
  bool created = static_cast<bool>(file);
  UniqueFile existing;
  FILE_BASIC_INFO before{};
  bool cleared = false;
  if (!file && ::GetLastError() == ERROR_FILE_EXISTS) {
    // Something has the name. It is opened for its attributes only, without following a link,
    // and checked: neither a link's far end nor its attributes are ever touched. CREATE_ALWAYS
    // would refuse a read-only file, and a hidden or system one unless asked for the same
    // attributes, so an earlier release's files would block every later one: those bits are
    // cleared here, and given back if the file still cannot be opened (in use by another
    // process).
    existing.reset(::CreateFileW(systemPath.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!existing && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
      throw FileSystemError(FileSystemFailure::kRefused, path, 0,
                            "it is a link to a file that does not exist; nothing is written through a link");
    }
    if (existing) {
      confined_.CheckOpened(existing.get(), widePath);
      if (::GetFileInformationByHandleEx(existing.get(), FileBasicInfo, &before, sizeof before) &&
          (before.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
          (before.FileAttributes & kProtectedAttributes) != 0) {
        FILE_BASIC_INFO plain{};  // zero times: left as they are
        plain.FileAttributes = (before.FileAttributes & ~kProtectedAttributes) != 0
                                   ? before.FileAttributes & ~kProtectedAttributes
                                   : FILE_ATTRIBUTE_NORMAL;
        cleared = ::SetFileInformationByHandle(existing.get(), FileBasicInfo, &plain, sizeof plain) != FALSE;
      }
    }
    // The existing file is opened without truncating and emptied only once the handle is
    // known to be the file the path names.
    file.reset(::CreateFileW(systemPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, kFlags, nullptr));
  }
  if (!file) {
    const DWORD error = ::GetLastError();
    if (cleared) {
      FILE_BASIC_INFO restore{};
      restore.FileAttributes = before.FileAttributes;
      ::SetFileInformationByHandle(existing.get(), FileBasicInfo, &restore, sizeof restore);
    }
    Fail(FileSystemFailure::kCreateFile, path, error);
  }
  try {
    confined_.CheckOpened(file.get(), widePath);
  } catch (const FileSystemError&) {
    if (created) {
      FILE_DISPOSITION_INFO remove{TRUE};
      ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &remove, sizeof remove);
    }
    throw;
  }
  // A new file is empty already.
  if (!created && !::SetEndOfFile(file.get())) Fail(FileSystemFailure::kReplace, path, ::GetLastError());
  return std::make_unique<Win32OutputFile>(std::move(file), path);
}

bool Win32FileSystem::ApplyAttributes(const std::string& path, std::uint32_t attributes) {
  constexpr DWORD kKept = kProtectedAttributes | FILE_ATTRIBUTE_ARCHIVE;
  const std::wstring widePath = ExtendedPath(Widen(path));
  const DWORD bits = attributes & kKept;
  // Most entries ask for what a file just written has already (archive). A query by path is
  // cheap; a change opens and closes the file, about ten times the cost under Wine.
  const DWORD current = ::GetFileAttributesW(widePath.c_str());
  if (current != INVALID_FILE_ATTRIBUTES && (current & FILE_ATTRIBUTE_DIRECTORY) == 0 && (current & kKept) == bits) {
    return true;
  }
  return ::SetFileAttributesW(widePath.c_str(), bits != 0 ? bits : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

}  // namespace quorvex::win32
