#include "platform/win32/Win32LogStore.h"

#include <windows.h>

#include <cwchar>

#include "platform/win32/UniqueHandle.h"

namespace quorvex::win32 {
namespace {

using UniqueFile = UniqueHandle<FileHandleTraits>;

std::wstring TemporaryFolder() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) return {};
  return std::wstring(buffer, length);
}

// One name per log file for the mutex that orders appends to it, across processes.
std::wstring MutexNameFor(const std::wstring& path) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a of the lower-cased path
  for (const wchar_t c : path) {
    hash ^= static_cast<std::uint64_t>(c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c);
    hash *= 1099511628211ull;
  }
  wchar_t name[64];
  ::swprintf(name, 64, L"Local\\QuorvexInstallLog-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

std::int64_t Ticks(const SYSTEMTIME& time) {
  FILETIME file{};
  if (!::SystemTimeToFileTime(&time, &file)) return 0;
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime);
}

}  // namespace

Win32LogStore::Win32LogStore(std::wstring folder) {
  try {
    if (folder.empty()) folder = TemporaryFolder();
    if (folder.empty()) return;
    if (folder.back() != L'\\') folder += L'\\';
    path_ = folder + L"QuorvexInstall.log";
    older_ = folder + L"QuorvexInstall.1.log";
    // Made here, so that threads writing lines share it without a race over making it.
    mutex_.reset(::CreateMutexW(nullptr, FALSE, MutexNameFor(path_).c_str()));
  } catch (...) {
    path_.clear();  // no log rather than no installer
  }
}

std::optional<std::uint64_t> Win32LogStore::Size() noexcept {
  if (path_.empty()) return std::nullopt;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &data)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return 0;
    return std::nullopt;
  }
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool Win32LogStore::Lock(int waitMs) noexcept {
  if (path_.empty()) return false;
  // Without a mutex nothing can be ordered: the line is written as Windows appends it.
  if (!mutex_) return true;
  const DWORD waited = ::WaitForSingleObject(mutex_.get(), static_cast<DWORD>(waitMs));
  // An installer that ended while holding it left the file as whole as any append leaves it.
  return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

void Win32LogStore::Unlock() noexcept {
  // The mutex belongs to the thread that locked it, which is the one unlocking.
  if (mutex_) ::ReleaseMutex(mutex_.get());
}

bool Win32LogStore::Append(std::string_view line) noexcept {
  if (path_.empty() || line.size() > MAXDWORD) return false;
  // FILE_APPEND_DATA alone: every write lands at the end, whoever else appends meanwhile.
  UniqueFile file(::CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
         written == line.size();
}

bool Win32LogStore::Rotate() noexcept {
  if (path_.empty()) return false;
  return ::MoveFileExW(path_.c_str(), older_.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

LocalTimeStamp Win32LogStore::Now() noexcept {
  SYSTEMTIME utc{};
  ::GetSystemTime(&utc);
  SYSTEMTIME local = utc;
  if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
  // 100 ns ticks, whole minutes apart.
  const std::int64_t offset = (Ticks(local) - Ticks(utc)) / 600000000;
  return {local.wYear,   local.wMonth,  local.wDay,          local.wHour, local.wMinute,
          local.wSecond, local.wMilliseconds, static_cast<int>(offset)};
}

}  // namespace quorvex::win32
