// One whole installation run, as the window's Install handler runs it (the real adapters, the
// real client), with clocks around the ports so that the run splits into its phases:
//   download   from the start of the run to the end of the body
//   check      with --key: the rest of the signature check, to the first file-system call
//   write      the package file written to the installation folder
//   unpack     from the written package to the deletion of the package file
//   shortcuts  from there to the start of the application (old links removed, new ones made)
//   start      the shell starting the application, until it has written its marker
//              (C:\Quorvex\started.txt, as the stand-in application of the tests does)
// Prints "PHASE SECONDS" for each and "total SECONDS"; exits 1 when the run showed an error
// or did not start the application.
//   install-timer.exe [--key PUBLIC.pem] API_BASE VERSION_NAME
// With --key the run requires the package to be signed by that key, as an installer built
// with it does.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/DownloadClient.h"
#include "install/FileSystem.h"
#include "install/Installation.h"
#include "install/InstallerUi.h"
#include "install/PackageVerifier.h"
#include "install/Shell.h"
#include "platform/win32/CngSignatureCrypto.h"
#include "platform/win32/ComPtr.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/Win32FileSystem.h"
#include "platform/win32/Win32Shell.h"
#include "platform/win32/WinHttpTransport.h"
#include "WholeFile.h"

namespace {

using namespace quorvex;
using Clock = std::chrono::steady_clock;

struct Marks {
  Clock::time_point start;
  std::optional<Clock::time_point> bodyEnd;
  std::optional<Clock::time_point> firstFileCall;  // after the body: the check is over
  std::optional<Clock::time_point> packageWritten;
  std::optional<Clock::time_point> packageDeleted;
  std::optional<Clock::time_point> executeBegin;
  std::optional<Clock::time_point> executeEnd;
  std::optional<Clock::time_point> applicationStarted;
};

class TimedExchange : public HttpExchange {
 public:
  TimedExchange(std::unique_ptr<HttpExchange> inner, Marks& marks) : inner_(std::move(inner)), marks_(marks) {}
  const TransportResponseHead& Head() const override { return inner_->Head(); }
  std::size_t ReadBlock(std::vector<std::uint8_t>& body) override {
    const std::size_t size = inner_->ReadBlock(body);
    if (size == 0) marks_.bodyEnd = Clock::now();
    return size;
  }

 private:
  std::unique_ptr<HttpExchange> inner_;
  Marks& marks_;
};

class TimedTransport : public Transport {
 public:
  TimedTransport(Transport& inner, Marks& marks) : inner_(inner), marks_(marks) {}
  std::unique_ptr<HttpExchange> Send(const TransportRequest& request) override {
    return std::make_unique<TimedExchange>(inner_.Send(request), marks_);
  }

 private:
  Transport& inner_;
  Marks& marks_;
};

class TimedOutputFile : public OutputFile {
 public:
  TimedOutputFile(std::unique_ptr<OutputFile> inner, Marks& marks) : inner_(std::move(inner)), marks_(marks) {}
  std::size_t Write(const std::uint8_t* data, std::size_t size) override { return inner_->Write(data, size); }
  bool SetTimes(DosDateTime when) override { return inner_->SetTimes(when); }
  void Close() override {
    inner_->Close();
    marks_.packageWritten = Clock::now();
  }

 private:
  std::unique_ptr<OutputFile> inner_;
  Marks& marks_;
};

// Only the package file's events are marked; the unpacker's writer thread passes straight through.
class TimedFileSystem : public FileSystem {
 public:
  TimedFileSystem(FileSystem& inner, std::string packagePath, Marks& marks)
      : inner_(inner), packagePath_(std::move(packagePath)), marks_(marks) {}
  bool FileExists(const std::string& path) override {
    Mark();
    return inner_.FileExists(path);
  }
  bool FolderExists(const std::string& path) override {
    Mark();
    return inner_.FolderExists(path);
  }
  bool RemoveFile(const std::string& path) override {
    const bool removed = inner_.RemoveFile(path);
    if (path == packagePath_ && marks_.packageWritten) marks_.packageDeleted = Clock::now();
    return removed;
  }
  void CreateFolderTree(const std::string& path) override {
    Mark();
    inner_.CreateFolderTree(path);
  }
  std::unique_ptr<OutputFile> CreateOutputFile(const std::string& path) override {
    Mark();
    std::unique_ptr<OutputFile> file = inner_.CreateOutputFile(path);
    if (path != packagePath_) return file;
    return std::make_unique<TimedOutputFile>(std::move(file), marks_);
  }
  bool ApplyAttributes(const std::string& path, std::uint32_t attributes) override {
    return inner_.ApplyAttributes(path, attributes);
  }

 private:
  void Mark() {
    if (marks_.bodyEnd && !marks_.firstFileCall) marks_.firstFileCall = Clock::now();
  }
  FileSystem& inner_;
  std::string packagePath_;
  Marks& marks_;
};

class TimedShell : public Shell {
 public:
  TimedShell(Shell& inner, Marks& marks) : inner_(inner), marks_(marks) {}
  std::string SpecialFolderPath(int csidl) override { return inner_.SpecialFolderPath(csidl); }
  std::unique_ptr<ShellLink> CreateLink() override { return inner_.CreateLink(); }
  std::uint32_t Execute(const std::string& verb, const std::string& file, const std::string& parameters,
                        const std::string& directory, int show) override {
    marks_.executeBegin = Clock::now();
    const std::uint32_t answer = inner_.Execute(verb, file, parameters, directory, show);
    marks_.executeEnd = Clock::now();
    return answer;
  }
  ProcessorArchitecture NativeArchitecture() override { return inner_.NativeArchitecture(); }

 private:
  Shell& inner_;
  Marks& marks_;
};

class SilentUi : public InstallerUi {
 public:
  void ShowProgress() override {}
  void ShowError(const std::string& text, const std::string&) override { error = text; }
  void RequestEnd() override {}
  std::string error;
};

double Seconds(Clock::time_point from, std::optional<Clock::time_point> to) {
  return to ? std::chrono::duration<double>(*to - from).count() : -1.0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  win32::CngSignatureCrypto crypto;
  std::vector<PackageKey> keys;
  if (argc == 5 && std::wstring_view(argv[1]) == L"--key") {
    try {
      keys.push_back(ReadPublicKeyPem(std::string(tools::ReadWholeFile(argv[2]).Text()), crypto));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "install-timer: %s\n", e.what());
      return 2;
    }
    argv += 2;
    argc -= 2;
  }
  if (argc != 3) {
    std::fputs("usage: install-timer.exe [--key PUBLIC.pem] API_BASE VERSION_NAME\n", stderr);
    return 2;
  }
  const win32::ComApartment apartment;
  win32::Win32FileSystem realFiles{std::string(kInstallationFolder)};  // confined, as the installer's
  win32::Win32Shell realShell;
  win32::WinHttpTransport realTransport;
  Marks marks;
  TimedTransport transport(realTransport, marks);
  TimedShell shell(realShell, marks);
  const std::string versionName = win32::Narrow(argv[2]);
  const std::string packagePath = std::string(kInstallationFolder) + versionName +
                                  (realShell.NativeArchitecture() == ProcessorArchitecture::X64 ? "_x64.zip" : "_x86.zip");
  TimedFileSystem files(realFiles, packagePath, marks);
  SilentUi ui;
  DownloadClient client(transport, win32::Narrow(argv[1]));
  client.SetProgressHandler([](std::int64_t, std::int64_t, bool&) {});

  marks.start = Clock::now();
  DownloadAndInstall({files, shell, ui, client, nullptr, PackageTrust{keys, &crypto}}, versionName);
  if (marks.executeEnd) {
    const std::wstring marker = win32::Widen(std::string(kInstallationFolder) + "started.txt");
    const Clock::time_point deadline = *marks.executeEnd + std::chrono::seconds(60);
    while (::GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES && Clock::now() < deadline) ::Sleep(1);
    if (::GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES) marks.applicationStarted = Clock::now();
  }
  if (!ui.error.empty() || !marks.applicationStarted) {
    std::fprintf(stderr, "install-timer: the run did not start the application%s%s\n",
                 ui.error.empty() ? "" : ": ", ui.error.c_str());
    return 1;
  }
  std::printf("download %.3f\n", Seconds(marks.start, marks.bodyEnd));
  std::printf("check %.3f\n", Seconds(*marks.bodyEnd, marks.firstFileCall));
  std::printf("write %.3f\n", Seconds(*marks.firstFileCall, marks.packageWritten));
  std::printf("unpack %.3f\n", Seconds(*marks.packageWritten, marks.packageDeleted));
  std::printf("shortcuts %.3f\n", Seconds(*marks.packageDeleted, marks.executeBegin));
  std::printf("start %.3f\n", Seconds(*marks.executeBegin, marks.applicationStarted));
  std::printf("total %.3f\n", Seconds(marks.start, marks.applicationStarted));
  return 0;
}
