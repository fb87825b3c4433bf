#include "platform/win32/ConfinedFolder.h"

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <optional>
#include <vector>

#include "install/FileSystem.h"
#include "platform/win32/ExtendedPath.h"
#include "platform/win32/FolderCreation.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/UniqueHandle.h"

namespace quorvex::win32 {
namespace {

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() &&
         ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
             CSTR_EQUAL;
}

[[noreturn]] void Refuse(const std::wstring& path, const std::string& why) {
  throw FileSystemError(FileSystemFailure::kRefused, Narrow(path), 0, why + "; nothing is written through a link");
}

// The object name the kernel keeps for a handle, asked of ntdll itself: Wine's
// GetFinalPathNameByHandleW asks with room for MAX_PATH characters only and answers every
// longer path with ERROR_MORE_DATA, whatever the caller's buffer. Wine names a file
// "\??\C:\dir\name", which is the form taken here; any other form (a device name) is not.
std::optional<std::wstring> FinalPathFromObjectName(HANDLE handle) {
  struct NameInformation {
    USHORT length;
    USHORT maximumLength;
    PWSTR buffer;
  };
  using QueryObject = LONG(NTAPI*)(HANDLE, int /* ObjectNameInformation */, void*, ULONG, ULONG*);
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto query = ntdll ? reinterpret_cast<QueryObject>(
                                 reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQueryObject")))
                           : nullptr;
  if (!query) return std::nullopt;
  std::vector<std::uint8_t> buffer(sizeof(NameInformation) + 65536 + sizeof(wchar_t));
  ULONG needed = 0;
  if (query(handle, 1, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) < 0) return std::nullopt;
  const auto* name = reinterpret_cast<const NameInformation*>(buffer.data());
  const std::wstring text(name->buffer, name->length / sizeof(wchar_t));
  if (text.rfind(L"\\??\\UNC\\", 0) == 0) return L"\\\\" + text.substr(8);
  if (text.rfind(L"\\??\\", 0) == 0 && text.size() >= 7 && text[5] == L':') return text.substr(4);
  return std::nullopt;
}

// The path the system resolves a handle to, in the form "C:\dir\name" or "\\server\share\dir".
// A short buffer is answered with the size needed.
std::optional<std::wstring> FinalPathOf(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
      if (::GetLastError() == ERROR_MORE_DATA) return FinalPathFromObjectName(handle);
      return std::nullopt;
    }
    if (length < path.size()) {
      path.resize(length);
      if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
      if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
      return path;
    }
    path.assign(length + 1, L'\0');
  }
  return std::nullopt;
}

std::optional<std::wstring> FinalPathOfFolder(const std::wstring& folder) {
  UniqueFile handle(::CreateFileW(ExtendedPath(folder).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return std::nullopt;
  return FinalPathOf(handle.get());
}

std::wstring ParentOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  return slash == 2 && path.size() > 1 && path[1] == L':' ? path.substr(0, 3) : path.substr(0, slash);
}

}  // namespace

ConfinedFolder::ConfinedFolder(std::wstring root) : root_(WithoutTrailingBackslashes(std::move(root))) {}

bool ConfinedFolder::Contains(const std::wstring& path) const {
  if (root_.empty() || path.size() < root_.size()) return false;
  if (!SamePath(path.substr(0, root_.size()), root_)) return false;
  return path.size() == root_.size() || path[root_.size()] == L'\\';
}

std::wstring ConfinedFolder::ExpectedFinalPath(const std::wstring& path) {
  return rootFinal_ + path.substr(root_.size());
}

void ConfinedFolder::CheckFolder(const std::wstring& folder) {
  if (plain_.count(Upper(folder))) return;
  const DWORD attributes = ::GetFileAttributesW(ExtendedPath(folder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    throw FileSystemError(FileSystemFailure::kCheck, Narrow(folder), error, SystemErrorReason(error));
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) Refuse(folder, "it is a link (junction, symbolic link or mount point)");
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) Refuse(folder, "it is a file, not a folder");
  const std::optional<std::wstring> final = FinalPathOfFolder(folder);
  if (!final) {
    const DWORD error = ::GetLastError();
    throw FileSystemError(FileSystemFailure::kCheck, Narrow(folder), error, SystemErrorReason(error));
  }
  std::wstring expected;
  if (folder.size() == root_.size()) {
    // The root is compared with its parent's own final path: links above it are the
    // machine's business, the root itself is ours.
    const std::wstring parent = ParentOf(folder);
    const std::optional<std::wstring> parentFinal = parent.empty() ? std::nullopt : FinalPathOfFolder(parent);
    if (!parentFinal) Refuse(folder, "its parent folder cannot be resolved");
    std::wstring base = *parentFinal;
    if (base.empty() || base.back() != L'\\') base += L'\\';
    expected = base + folder.substr(parent.size() + (parent.back() == L'\\' ? 0 : 1));
  } else {
    expected = ExpectedFinalPath(folder);
  }
  if (!SamePath(*final, expected)) Refuse(folder, "it leads to " + Narrow(*final));
  if (folder.size() == root_.size()) rootFinal_ = *final;
  plain_.insert(Upper(folder));
}

void ConfinedFolder::CreateFolders(const std::wstring& path) {
  const std::wstring target = WithoutTrailingBackslashes(path);
  if (!Contains(target)) return;
  // Most files go into a folder an earlier file made: checked once, not per file. A folder
  // swapped for a link since is still caught by the final path of each file opened in it.
  if (plain_.count(Upper(target))) return;
  // The root's own ancestors are made as the system finds them: links above the root are the
  // machine's business.
  if (::GetFileAttributesW(ExtendedPath(root_).c_str()) == INVALID_FILE_ATTRIBUTES) MakeFolderTree(root_);
  CheckFolder(root_);
  for (std::size_t at = target.find(L'\\', root_.size() + 1);; at = target.find(L'\\', at + 1)) {
    const std::wstring folder = at == std::wstring::npos ? target : target.substr(0, at);
    if (folder.size() > root_.size()) {
      if (::GetFileAttributesW(ExtendedPath(folder).c_str()) == INVALID_FILE_ATTRIBUTES) MakeFolder(folder);
      CheckFolder(folder);
    }
    if (at == std::wstring::npos) break;
  }
}

void ConfinedFolder::CheckParents(const std::wstring& path) {
  if (!Contains(path)) return;
  CheckFolder(root_);
  for (std::size_t at = path.find(L'\\', root_.size() + 1); at != std::wstring::npos; at = path.find(L'\\', at + 1))
    CheckFolder(path.substr(0, at));
}

void ConfinedFolder::CheckOpened(HANDLE file, const std::wstring& path) {
  if (!Contains(path)) return;
  // The attributes and tag alone: GetFileInformationByHandle also asks for the volume's serial
  // number, which under Wine is a round trip to the mount manager, about 0.7 ms per file.
  FILE_ATTRIBUTE_TAG_INFO information{};
  if (::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &information, sizeof information) &&
      (information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    Refuse(path, "it is a link (symbolic link or other reparse point)");
  const std::optional<std::wstring> final = FinalPathOf(file);
  if (!final) {
    const DWORD error = ::GetLastError();
    throw FileSystemError(FileSystemFailure::kCheck, Narrow(path), error, SystemErrorReason(error));
  }
  if (rootFinal_.empty()) CheckFolder(root_);
  if (!SamePath(*final, ExpectedFinalPath(path))) Refuse(path, "it leads to " + Narrow(*final));
}

}  // namespace quorvex::win32
