// Runs one whole installation with the real adapters and a recording UI in place of the
// window, then writes what happened and what the machine looks like afterwards:
//
//   install-harness.exe API_BASE VERSION_NAME REPORT_FILE
//
// Report lines: "directory CURRENT_DIRECTORY", "ui progress", "ui error CAPTION|TEXT" (CR
// written as \r), "ui end", "handler TOTAL RECEIVED", "returned", then "file PATH size=N
// attributes=RHSA written=YYYY-MM-DD hh:mm:ss created=..." for every file below the
// installation folder (local times) and "link FOLDER NAME target=TARGET" for every Quorvex*
// file on the desktop and in the programs folder.

#include "download/DownloadClient.h"
#include "install/Installation.h"
#include "install/InstallerUi.h"
#include "install/Shortcuts.h"
#include "platform/win32/ComPtr.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/Win32FileSystem.h"
#include "platform/win32/Win32Shell.h"
#include "platform/win32/WinHttpTransport.h"

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace quorvex;

std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) out += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

class RecordingUi : public InstallerUi {
 public:
  explicit RecordingUi(std::ofstream& report) : report_(report) {}
  void ShowProgress() override { report_ << "ui progress\n"; }
  void ShowError(const std::string& text, const std::string& caption) override {
    report_ << "ui error " << caption << "|" << Escaped(text) << "\n";
  }
  void RequestEnd() override { report_ << "ui end\n"; }

 private:
  std::ofstream& report_;
};

std::string LocalTime(const FILETIME& utc) {
  // The local time of that date (summer or winter), not with today's offset.
  SYSTEMTIME universal;
  SYSTEMTIME t;
  ::FileTimeToSystemTime(&utc, &universal);
  ::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &t);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return text;
}

std::string AttributeLetters(DWORD attributes) {
  std::string letters;
  if (attributes & FILE_ATTRIBUTE_READONLY) letters += 'R';
  if (attributes & FILE_ATTRIBUTE_HIDDEN) letters += 'H';
  if (attributes & FILE_ATTRIBUTE_SYSTEM) letters += 'S';
  if (attributes & FILE_ATTRIBUTE_ARCHIVE) letters += 'A';
  return letters.empty() ? "-" : letters;
}

void ListFiles(const std::wstring& folder, std::ofstream& report) {
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW((folder + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ListFiles(folder + name + L"\\", report);
      continue;
    }
    const unsigned long long size = (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    report << "file " << win32::Narrow(folder + name) << " size=" << size
           << " attributes=" << AttributeLetters(found.dwFileAttributes) << " written=" << LocalTime(found.ftLastWriteTime)
           << " created=" << LocalTime(found.ftCreationTime) << "\n";
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}

void ListShortcuts(Shell& shell, const char* label, int csidl, std::ofstream& report) {
  const std::string folder = GetSpecialFolder(shell, csidl) + "\\";
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW(win32::Widen(folder + "Quorvex*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = win32::Narrow(found.cFileName);
    report << "link " << label << " " << name << " target=" << GetShortcutTarget(shell, folder + name) << "\n";
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fputs("usage: install-harness API_BASE VERSION_NAME REPORT_FILE\n", stderr);
    return 2;
  }
  std::ofstream report(std::filesystem::path(argv[3]), std::ios::binary | std::ios::trunc);
  if (!report) return 2;

  const win32::ComApartment apartment;
  win32::Win32FileSystem files{std::string(kInstallationFolder)};
  win32::Win32Shell shell;
  win32::WinHttpTransport transport;
  RecordingUi ui(report);
  DownloadClient client(transport, win32::Narrow(argv[1]));
  client.SetProgressHandler([&report](std::int64_t total, std::int64_t received, bool&) {
    report << "handler " << total << " " << received << "\n";
  });

  wchar_t directory[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, directory);
  report << "directory " << win32::Narrow(directory) << "\n";

  DownloadAndInstall({files, shell, ui, client}, win32::Narrow(argv[2]));
  report << "returned\n";

  ListFiles(win32::Widen(std::string(kInstallationFolder)), report);
  ListShortcuts(shell, "desktop", kCsidlDesktop, report);
  ListShortcuts(shell, "programs", kCsidlPrograms, report);
  return report.good() ? 0 : 2;
}
