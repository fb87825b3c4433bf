// The least a Win32 program does to leave a package's files on disk: it reads the package into
// memory as qv-unpack.exe does, then for every file of a manifest creates the missing folders,
// creates the file, writes its size in bytes straight from the package in memory, sets its
// times and closes it. No inflating, no checks, one thread. bench/unpack/run-windows times
// qv-unpack.exe against it.
//   write-floor.exe PACKAGE MANIFEST FOLDER
// MANIFEST (UTF-8), one entry a line: "F<TAB>size<TAB>dos date<TAB>dos time<TAB>name" or
// "D<TAB>name"; names use "/" and are relative to FOLDER.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <set>
#include <string>
#include <vector>

#include "WholeFile.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::wstring& path) {
  std::fwprintf(stderr, L"write-floor: %hs %ls: error %lu\n", what, path.c_str(), ::GetLastError());
  std::exit(1);
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// Creates every folder of path (a folder path ending in "\") that this run has not made yet.
void MakeFolders(const std::wstring& path, std::size_t rootLength, std::set<std::wstring>& made) {
  for (std::size_t at = path.find(L'\\', rootLength); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    const std::wstring folder = path.substr(0, at);
    if (made.insert(folder).second) ::CreateDirectoryW(folder.c_str(), nullptr);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fwprintf(stderr, L"usage: write-floor.exe PACKAGE MANIFEST FOLDER\n");
    return 2;
  }
  quorvex::tools::WholeFile package;
  quorvex::tools::WholeFile manifestBytes;
  try {
    package = quorvex::tools::ReadWholeFile(argv[1]);
    manifestBytes = quorvex::tools::ReadWholeFile(argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "write-floor: %s\n", e.what());
    return 1;
  }
  std::wstring root = argv[3];
  if (root.empty() || root.back() != L'\\') root += L'\\';
  std::set<std::wstring> made;
  MakeFolders(root, 3, made);

  constexpr std::size_t kChunk = std::size_t{1} << 20;
  std::size_t source = 0;  // where the next bytes come from in the package
  const std::string manifest(manifestBytes.Text());
  std::size_t lineStart = 0;
  while (lineStart < manifest.size()) {
    std::size_t lineEnd = manifest.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = manifest.size();
    std::vector<std::string> fields;
    for (std::size_t at = lineStart; at <= lineEnd;) {
      std::size_t tab = manifest.find('\t', at);
      if (tab == std::string::npos || tab > lineEnd) tab = lineEnd;
      fields.push_back(manifest.substr(at, tab - at));
      at = tab + 1;
    }
    lineStart = lineEnd + 1;
    if (fields.empty() || fields[0].empty()) continue;
    std::wstring path = root + Widen(fields.back());
    for (wchar_t& c : path) {
      if (c == L'/') c = L'\\';
    }
    if (fields[0] == "D") {
      MakeFolders(path.back() == L'\\' ? path : path + L'\\', root.size(), made);
      continue;
    }
    const std::uint64_t size = std::stoull(fields[1]);
    MakeFolders(path.substr(0, path.rfind(L'\\') + 1), root.size(), made);
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail("cannot create", path);
    for (std::uint64_t done = 0; done < size;) {
      if (source + kChunk > package.size) source = 0;
      const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(size - done, std::min(kChunk, package.size)));
      DWORD written = 0;
      if (!::WriteFile(file, package.data.get() + source, want, &written, nullptr) || written != want) {
        Fail("cannot write", path);
      }
      source += want;
      done += want;
    }
    FILETIME local{};
    FILETIME utc{};
    if (::DosDateTimeToFileTime(static_cast<WORD>(std::stoul(fields[2])), static_cast<WORD>(std::stoul(fields[3])),
                                &local) &&
        ::LocalFileTimeToFileTime(&local, &utc)) {
      ::SetFileTime(file, &utc, nullptr, &utc);
    }
    if (!::CloseHandle(file)) Fail("cannot close", path);
  }
  return 0;
}
