#pragma once
// The installation run: download the release package, write and unpack it into the
// installation folder, refresh the shortcuts, start the application and end the installer.

#include <string>
#include <string_view>

#include "install/PackageVerifier.h"

namespace quorvex {

class FileSystem;
class Shell;
class InstallerUi;
class DownloadClient;
class RunLog;

// Fixed locations; nothing is read from the command line, the environment or a settings file.
inline constexpr std::string_view kInstallationFolder = "C:\\Quorvex\\";
inline constexpr std::string_view kApplicationExecutable = "C:\\Quorvex\\Quorvex.exe";

// The one message every failure of the download and installation steps ends in.
inline constexpr std::string_view kDownloadErrorText =
    "Erro no download!\rEntre em contato com o Suporte T\xC3\xA9" "cnico.";
inline constexpr std::string_view kDownloadErrorCaption = "Erro";

// What the run works through; all owned by the caller and outliving the call.
struct InstallationPorts {
  FileSystem& files;
  Shell& shell;
  InstallerUi& ui;
  DownloadClient& download;  // its progress handler is the window's; the run never calls it
  RunLog* log = nullptr;     // what happened, for support; none: nothing is recorded
  // With keys, the package must carry signatures by at least the threshold's number of them,
  // for the package file asked for, before anything is written.
  PackageTrust trust{};
};

// Performs one run on the calling thread. Every failure from the download to the shortcut
// refresh is caught here and shown as the download error message; the run then returns and
// the installer stays open. An empty response body, or a package file missing after it was
// written, ends the run silently. On success the application is started and the end of the
// installer is requested. Keeps no state between calls. Only a failure before the download
// (showing the progress display, the two deletions) or of the error message itself reaches
// the caller.
void DownloadAndInstall(const InstallationPorts& ports, const std::string& versionName);

}  // namespace quorvex
