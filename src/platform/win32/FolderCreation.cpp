#include "platform/win32/FolderCreation.h"

#include <windows.h>

#include "install/FileSystemError.h"
#include "platform/win32/ExtendedPath.h"
#include "platform/win32/TextConversion.h"

namespace quorvex::win32 {
namespace {

// Where the first folder that may need creating starts: after "C:\" or "\\server\share\".
std::size_t RootLength(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':') return path.size() >= 3 && path[2] == L'\\' ? 3 : 2;
  if (path.rfind(L"\\\\", 0) == 0) {
    const std::size_t server = path.find(L'\\', 2);
    if (server == std::wstring::npos) return path.size();
    const std::size_t share = path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path.size() : share + 1;
  }
  return 0;
}

}  // namespace

void MakeFolder(const std::wstring& folder) {
  const std::wstring extended = ExtendedPath(folder);
  if (::CreateDirectoryW(extended.c_str(), nullptr)) return;
  const DWORD error = ::GetLastError();
  const DWORD attributes = ::GetFileAttributesW(extended.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    throw FileSystemError(FileSystemFailure::kCreateFolder, Narrow(folder), error, SystemErrorReason(error));
  }
}

void MakeFolderTree(const std::wstring& path) {
  for (std::size_t at = path.find(L'\\', RootLength(path)); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    if (at > 0) MakeFolder(path.substr(0, at));
  }
  MakeFolder(path);
}

}  // namespace quorvex::win32
