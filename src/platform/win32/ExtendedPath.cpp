#include "platform/win32/ExtendedPath.h"

#include <windows.h>

#include <algorithm>

namespace quorvex::win32 {
namespace {

constexpr std::wstring_view kExtended = L"\\\\?\\";
constexpr std::wstring_view kExtendedUnc = L"\\\\?\\UNC\\";

bool IsDriveAbsolute(const std::wstring& path) {
  return path.size() >= 3 && path[1] == L':' && path[2] == L'\\' &&
         ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
}

bool IsUnc(const std::wstring& path) { return path.size() > 2 && path[0] == L'\\' && path[1] == L'\\'; }

// What only the system's own full-path step resolves: forward slashes, "." and ".." parts.
bool NeedsResolving(const std::wstring& path) {
  if (path.find(L'/') != std::wstring::npos) return true;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find(L'\\', start), path.size());
    const std::wstring_view part(path.data() + start, end - start);
    if (part == L"." || part == L"..") return true;
    start = end + 1;
  }
  return false;
}

std::wstring FullPath(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return path;  // the call that follows fails with the system's reason
    if (length < full.size()) {
      full.resize(length);
      return full;
    }
    full.assign(length, L'\0');
  }
  return path;
}

}  // namespace

std::wstring ExtendedPath(const std::wstring& path) {
  if (path.rfind(kExtended, 0) == 0) return path;
  std::wstring full = NeedsResolving(path) || !(IsDriveAbsolute(path) || IsUnc(path)) ? FullPath(path) : path;
  if (IsDriveAbsolute(full)) return std::wstring(kExtended) + full;
  if (IsUnc(full) && full.rfind(L"\\\\.\\", 0) != 0) return std::wstring(kExtendedUnc) + full.substr(2);
  return full;  // a device path or what could not be made full: as given
}

std::wstring WithoutTrailingBackslashes(std::wstring path) {
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

}  // namespace quorvex::win32
