#include "install/Installation.h"

#include "download/DownloadClient.h"
#include "download/RunLog.h"
#include "install/FailureDescription.h"
#include "install/FileSystem.h"
#include "install/InstallerUi.h"
#include "install/PathText.h"
#include "install/Shell.h"
#include "install/Shortcuts.h"
#include "install/Unpacker.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

namespace quorvex {
namespace {

constexpr int kShowNormal = 1;  // SW_SHOWNORMAL

const char* ArchitectureName(ProcessorArchitecture architecture) {
  switch (architecture) {
    case ProcessorArchitecture::X86: return "x86";
    case ProcessorArchitecture::X64: return "x64";
    case ProcessorArchitecture::Arm64: return "arm64";
    case ProcessorArchitecture::Other: return "other";
  }
  return "other";
}

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// The verifier watching the body arrive.
class VerifierObserver : public BodyObserver {
 public:
  explicit VerifierObserver(PackageVerifier& verifier) : verifier_(verifier) {}
  void Arrived(std::span<const std::uint8_t> received) override { verifier_.Arrived(received); }
  void Moving() noexcept override { verifier_.Moving(); }

 private:
  PackageVerifier& verifier_;
};

std::string DescribeVerdict(const SignatureVerdict& verdict, long long milliseconds) {
  std::vector<KeyId> signers;
  for (const PackageKey* key : verdict.signers) signers.push_back(key->id);
  std::string text = "package signature verified for " + verdict.boundName + ": key" +
                     (signers.size() > 1 ? "s " : " ") + KeyIdList(signers);
  if (!verdict.unknownKeys.empty()) text += "; ignored, keys not held: " + KeyIdList(verdict.unknownKeys);
  if (!verdict.failedKeys.empty()) text += "; ignored, not matching: " + KeyIdList(verdict.failedKeys);
  return text + ", completed in " + std::to_string(milliseconds) + " ms after the body";
}

// Download, write, unpack, delete the package and refresh the shortcuts. Returns false when
// the run ends silently (empty body, package file missing after writing). Throws on failure.
bool InstallPackage(const InstallationPorts& ports, const std::string& packageFileName,
                    const std::string& packagePath) {
  const std::string installationFolder(kInstallationFolder);
  const std::string executable(kApplicationExecutable);
  {
    // With keys, the digest of the package is taken while it arrives (see PackageVerifier).
    std::optional<PackageVerifier> verifier;
    std::optional<VerifierObserver> observer;
    if (!ports.trust.keys.empty()) {
      verifier.emplace(ports.trust, packageFileName);
      observer.emplace(*verifier);
    }
    // The body moves here from the client: the only copy of the package in memory, released
    // when this block ends on every path.
    DownloadResult result = ports.download.DownloadPackage(packageFileName, observer ? &*observer : nullptr);
    std::vector<std::uint8_t> package = std::move(result.body);
    LogEvent(ports.log, [&] {
      return "response status " + std::to_string(result.status) + ", " + std::to_string(package.size()) + " bytes";
    });
    if (package.empty()) {
      LogEvent(ports.log, [] { return std::string("run ends without a message: the response body is empty"); });
      return false;
    }
    if (verifier) {
      // Before the first write: a package that is not the vendor's leaves no trace.
      const auto checkStart = std::chrono::steady_clock::now();
      const SignatureVerdict verdict = verifier->Check(package);
      LogEvent(ports.log, [&] { return DescribeVerdict(verdict, MillisecondsSince(checkStart)); });
    }

    // With keys, a package bad as a whole (its structure, its names, two readings) leaves no
    // trace either, not even its own file. Without keys the package file is written first, as
    // it always was.
    if (verifier) CheckPackage(package, {});

    // A folder that cannot be created fails the run here, as writing the package into it would.
    if (!ports.files.FolderExists(installationFolder)) ports.files.CreateFolderTree(installationFolder);
    WriteWholeFile(ports.files, packagePath, package);
    LogEvent(ports.log, [&] { return "package written to " + packagePath + ", " + std::to_string(package.size()) + " bytes"; });
    if (!ports.files.FileExists(packagePath)) {
      LogEvent(ports.log, [&] {
        return "run ends without a message: the package file " + packagePath + " is missing after writing";
      });
      return false;
    }

    const auto unpackStart = std::chrono::steady_clock::now();
    const UnpackSummary unpacked = UnpackPackage(package, FolderOf(executable), ports.files);
    LogEvent(ports.log, [&] {
      return "package unpacked into " + FolderOf(executable) + ": " + std::to_string(unpacked.entries) + " entries, " +
             std::to_string(unpacked.files) + " files of " + std::to_string(unpacked.bytes) + " bytes, " +
             std::to_string(unpacked.folders) + " folders, in " + std::to_string(MillisecondsSince(unpackStart)) + " ms";
    });
  }
  ports.files.RemoveFile(packagePath);
  RemoveOldShortcuts(ports.shell, ports.files, executable, ports.log);
  return true;
}

}  // namespace

void DownloadAndInstall(const InstallationPorts& ports, const std::string& versionName) {
  ports.ui.ShowProgress();
  const auto start = std::chrono::steady_clock::now();
  // The native architecture decides, not this 32-bit process's: only x64 gets the x64 package.
  const ProcessorArchitecture architecture = ports.shell.NativeArchitecture();
  const std::string packageFileName =
      versionName + (architecture == ProcessorArchitecture::X64 ? "_x64.zip" : "_x86.zip");
  LogEvent(ports.log, [&] {
    return "run starts: release " + versionName + ", native architecture " + ArchitectureName(architecture) +
           ", package " + packageFileName;
  });
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
    // package buffer has already been released at this point. The log says which it was.
    const std::exception_ptr failure = std::current_exception();
    LogEvent(ports.log, [&] {
      return "run fails after " + std::to_string(MillisecondsSince(start)) + " ms: " + DescribeFailure(failure);
    });
    ports.ui.ShowError(std::string(kDownloadErrorText), std::string(kDownloadErrorCaption));
    return;
  }
  if (!installed) return;

  const std::uint32_t answer = ports.shell.Execute("OPEN", executable, "", "", kShowNormal);
  // The shell's answer is not the user's business; above 32 it started.
  LogEvent(ports.log, [&] {
    return (answer > 32 ? "started " : "did not start ") + executable + " (the shell answered " + std::to_string(answer) +
           ")";
  });
  LogEvent(ports.log, [&] { return "run ends: installed in " + std::to_string(MillisecondsSince(start)) + " ms"; });
  ports.ui.RequestEnd();
}

}  // namespace quorvex
