#include "install/Installation.h"

#include "download/DownloadClient.h"
#include "install/FileSystem.h"
#include "install/InstallerUi.h"
#include "install/PathText.h"
#include "install/Shell.h"
#include "install/Shortcuts.h"
#include "install/Unpacker.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace quorvex {
namespace {

constexpr int kShowNormal = 1;  // SW_SHOWNORMAL

// The native architecture decides, not this 32-bit process's: only x64 gets the x64 package.
std::string PackageSuffix(Shell& shell) {
  return shell.NativeArchitecture() == ProcessorArchitecture::X64 ? "_x64.zip" : "_x86.zip";
}

// Download, write, unpack, delete the package and refresh the shortcuts. Returns false when
// the run ends silently (empty body, package file missing after writing). Throws on failure.
bool InstallPackage(const InstallationPorts& ports, const std::string& packageFileName,
                    const std::string& packagePath) {
  const std::string installationFolder(kInstallationFolder);
  const std::string executable(kApplicationExecutable);
  {
    // The body moves here from the client: the only copy of the package in memory, released
    // when this block ends on every path.
    std::vector<std::uint8_t> package = ports.download.DownloadPackage(packageFileName).body;
    if (package.empty()) return false;

    // A folder that cannot be created fails the run here, as writing the package into it would.
    if (!ports.files.FolderExists(installationFolder)) ports.files.CreateFolderTree(installationFolder);
    WriteWholeFile(ports.files, packagePath, package);
    if (!ports.files.FileExists(packagePath)) return false;

    UnpackPackage(package, FolderOf(executable), ports.files);
  }
  ports.files.RemoveFile(packagePath);
  RemoveOldShortcuts(ports.shell, ports.files, executable);
  return true;
}

}  // namespace

void DownloadAndInstall(const InstallationPorts& ports, const std::string& versionName) {
  ports.ui.ShowProgress();
  const std::string packageFileName = versionName + PackageSuffix(ports.shell);
  const std::string packagePath = std::string(kInstallationFolder) + packageFileName;
  const std::string executable(kApplicationExecutable);

  // Outside the protected region: from here on the previous executable is gone whatever
  // happens next. A running application cannot be deleted; that shows up when unpacking.
  if (ports.files.FileExists(packagePath)) ports.files.RemoveFile(packagePath);
  if (ports.files.FileExists(executable)) ports.files.RemoveFile(executable);

  bool installed = false;
  try {
    installed = InstallPackage(ports, packageFileName, packagePath);
  } catch (...) {
    // Every kind of failure, allocation failures included, ends in the one message; the
    // package buffer has already been released at this point.
    ports.ui.ShowError(std::string(kDownloadErrorText), std::string(kDownloadErrorCaption));
    return;
  }
  if (!installed) return;

  ports.shell.Execute("OPEN", executable, "", "", kShowNormal);
  ports.ui.RequestEnd();
}

}  // namespace quorvex
