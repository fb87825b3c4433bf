// qv-unpack [--key PUBLIC.pem]... [--threshold N] [--name FILE_NAME] PACKAGE FOLDER: unpacks a
// package into FOLDER with the installer's own rules. Exit 0 on success; on failure one line on
// stderr naming the entry and the cause, exit 1. A package that is bad as a whole writes
// nothing; after a fault found while writing, what was written before it stays.
//
// qv-unpack --check [--key PUBLIC.pem]... [--threshold N] [--name FILE_NAME] PACKAGE: the
// pre-flight for vendors. Checks the package exactly as the installer would (its signatures,
// structure, every name, and every entry's data inflated and its CRC-32 compared), writes
// nothing, and lists the entries with the names they will get below the installation folder,
// their sizes and CRC-32s. Warns about names that look UTF-8 but will be read as code page 437,
// about a missing top-level Quorvex.exe, and about entries whose full path on Windows
// (C:\Quorvex\ and the name with backslashes) passes 259 characters: the installer writes them,
// but an application that opens such a file without the "\\?\" prefix cannot. Exit 0 when the
// package would install, else 1.
//
// --key (repeatable): the package must carry signatures by at least N (--threshold, default 1)
// of these keys, for the package file FILE_NAME (--name, default the package's own file name),
// checked as an installer built with these keys checks it before anything is written; --check
// then says which keys signed it.
//
// The package is read into memory first, and only those bytes are checked and unpacked: another
// process changing the file meanwhile changes nothing of what is written.

#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "PackageListing.h"
#include "WholeFile.h"
#include "install/ReleaseCheck.h"
#include "install/Unpacker.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/CngSignatureCrypto.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/Win32FileSystem.h"
#else
#include "platform/posix/OpenSslSignatureCrypto.h"
#include "platform/posix/PosixFileSystem.h"
#endif

namespace {

#ifdef _WIN32
using PlatformCrypto = quorvex::win32::CngSignatureCrypto;
#else
using PlatformCrypto = quorvex::OpenSslSignatureCrypto;
#endif

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The length of a UTF-8 text in UTF-16 units, as Windows counts a path.
std::size_t Utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;  // a lead byte starts a character
  }
  return units;
}

// The longest path, without its terminating character, that MAX_PATH leaves for a file.
constexpr std::size_t kLongestOrdinaryPath = 259;
constexpr std::string_view kInstallationFolder = "C:\\Quorvex\\";

constexpr const char* kUsage =
    "usage: qv-unpack [--key PUBLIC.pem]... [--threshold N] [--name FILE_NAME] PACKAGE FOLDER\n"
    "       qv-unpack --check [--key PUBLIC.pem]... [--threshold N] [--name FILE_NAME] PACKAGE\n";

struct CommandLine {
  bool check = false;
  std::vector<std::filesystem::path> keyFiles;
  std::size_t threshold = 1;
  std::optional<std::string> name;
  std::filesystem::path package;
  std::optional<std::filesystem::path> folder;
};

std::optional<CommandLine> ParseCommandLine(const std::vector<std::filesystem::path>& args) {
  CommandLine line;
  std::vector<std::filesystem::path> rest;
  bool thresholdGiven = false;
  for (std::size_t at = 0; at < args.size(); ++at) {
    const std::filesystem::path& arg = args[at];
    const bool hasValue = at + 1 < args.size();
    if (arg == "--check") {
      line.check = true;
    } else if (arg == "--key" && hasValue) {
      line.keyFiles.push_back(args[++at]);
    } else if (arg == "--threshold" && hasValue) {
      const std::string text = quorvex::tools::PathText(args[++at]);
      if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos ||
          text[0] == '0') {
        return std::nullopt;
      }
      line.threshold = std::stoul(text);
      thresholdGiven = true;
    } else if (arg == "--name" && hasValue) {
      line.name = quorvex::tools::PathText(args[++at]);
    } else if (quorvex::tools::PathText(arg).starts_with("--")) {
      return std::nullopt;
    } else {
      rest.push_back(arg);
    }
  }
  if (rest.size() != (line.check ? 1u : 2u)) return std::nullopt;
  if ((thresholdGiven || line.name) && line.keyFiles.empty()) return std::nullopt;
  line.package = rest[0];
  if (!line.check) line.folder = rest[1];
  return line;
}

// The keys given with --key and the check against them, which takes its digest while the
// package is read.
struct KeyCheck : quorvex::BodyObserver {
  PlatformCrypto crypto;
  std::vector<quorvex::PackageKey> keys;
  std::vector<std::string> files;
  std::optional<quorvex::PackageVerifier> verifier;

  void Add(const std::filesystem::path& file) {
    const std::string text(quorvex::tools::ReadWholeFile(file).Text());
    try {
      keys.push_back(quorvex::ReadPublicKeyPem(text, crypto));
    } catch (const std::invalid_argument& problem) {
      throw std::runtime_error("The key " + quorvex::tools::PathText(file) + " cannot be used: " + problem.what());
    }
    files.push_back(quorvex::tools::PathText(file));
  }
  quorvex::ReleaseExpectation Expectation(const CommandLine& line) {
    quorvex::ReleaseExpectation expected;
    if (keys.empty()) return expected;
    if (line.threshold > keys.size()) {
      throw std::runtime_error("--threshold " + std::to_string(line.threshold) + " needs at least as many keys; " +
                               std::to_string(keys.size()) + " given");
    }
    expected.trust = {keys, &crypto, line.threshold};
    expected.boundName = line.name ? *line.name : quorvex::tools::PathText(line.package.filename());
    return expected;
  }
  // Takes the digest while the package is read; nothing without keys.
  quorvex::BodyObserver* Observer(const quorvex::ReleaseExpectation& expected) {
    if (keys.empty()) return nullptr;
    verifier.emplace(expected.trust, expected.boundName);
    return this;
  }
  void Arrived(std::span<const std::uint8_t> read) override { verifier->Arrived(read); }
  void Moving() noexcept override { verifier->Moving(); }
};

int CheckPackageFile(const quorvex::tools::WholeFile& package, const quorvex::ReleaseExpectation& expected,
                     KeyCheck& keys) {
  const quorvex::ReleaseCheckResult checked =
      quorvex::CheckReleasePackage(package.Bytes(), expected, keys.verifier ? &*keys.verifier : nullptr);
  if (checked.signature) quorvex::tools::PrintSignature(*checked.signature, keys.keys, keys.files, stdout);
  quorvex::tools::PrintEntries(checked, stdout);
  bool hasExecutable = false;
  for (const quorvex::PackageEntry& entry : checked.entries) {
    hasExecutable = hasExecutable || (!entry.isFolder && EqualsIgnoringAsciiCase(entry.relativePath, "Quorvex.exe"));
    const std::size_t pathLength = kInstallationFolder.size() + Utf16Length(entry.relativePath);
    if (pathLength > kLongestOrdinaryPath) {
      std::fprintf(stderr,
                   "qv-unpack: warning: %llu characters as C:\\Quorvex\\%s, over %llu: installed, but programs that "
                   "do not use long paths cannot open it\n",
                   static_cast<unsigned long long>(pathLength), entry.relativePath.c_str(),
                   static_cast<unsigned long long>(kLongestOrdinaryPath));
    }
    if (entry.unmarkedUtf8) {
      std::fprintf(stderr,
                   "qv-unpack: warning: this name will be read as code page 437: \"%s\" (its bytes are the UTF-8 name "
                   "\"%s\", stored without the UTF-8 flag)\n",
                   entry.name.c_str(), entry.storedName.c_str());
    }
  }
  if (!hasExecutable) {
    std::fputs("qv-unpack: warning: no Quorvex.exe at the top level: the installer will have nothing to start\n", stderr);
  }
  std::printf("%llu files (%llu bytes), %llu folders: the package unpacks\n",
              static_cast<unsigned long long>(checked.files), static_cast<unsigned long long>(checked.bytes),
              static_cast<unsigned long long>(checked.folders));
  return 0;
}

// Unpacks or checks; returns the exit code.
int Run(const std::vector<std::filesystem::path>& args,
        const std::function<void(std::span<const std::uint8_t>, const std::filesystem::path&)>& unpack) {
  const std::optional<CommandLine> line = ParseCommandLine(args);
  if (!line) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  KeyCheck keys;
  for (const std::filesystem::path& file : line->keyFiles) keys.Add(file);
  const quorvex::ReleaseExpectation expected = keys.Expectation(*line);
  const quorvex::tools::WholeFile package = quorvex::tools::ReadWholeFile(line->package, keys.Observer(expected));
  if (line->check) return CheckPackageFile(package, expected, keys);
  // As the installer: the signatures before anything is written.
  if (keys.verifier) keys.verifier->Check(package.Bytes());
  unpack(package.Bytes(), *line->folder);
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  // Names are UTF-8 throughout.
  ::SetConsoleOutputCP(CP_UTF8);
  const std::vector<std::filesystem::path> args(argv + 1, argv + argc);
  try {
    return Run(args, [](std::span<const std::uint8_t> package, const std::filesystem::path& target) {
      std::wstring folder(MAX_PATH, L'\0');
      const std::wstring given = target.wstring();
      DWORD length = ::GetFullPathNameW(given.c_str(), static_cast<DWORD>(folder.size()), folder.data(), nullptr);
      if (length >= folder.size()) {
        folder.resize(length);
        length = ::GetFullPathNameW(given.c_str(), static_cast<DWORD>(folder.size()), folder.data(), nullptr);
      }
      if (length == 0) throw std::runtime_error("Cannot resolve the folder " + quorvex::win32::Narrow(given));
      folder.resize(length);
      if (folder.back() != L'\\') folder += L'\\';
      quorvex::win32::Win32FileSystem files(quorvex::win32::Narrow(folder));
      quorvex::UnpackPackage(package, quorvex::win32::Narrow(folder), files);
    });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qv-unpack: %s\n", e.what());
    return 1;
  }
}
#else
int main(int argc, char** argv) {
  const std::vector<std::filesystem::path> args(argv + 1, argv + argc);
  try {
    return Run(args, [](std::span<const std::uint8_t> package, const std::filesystem::path& target) {
      // FOLDER becomes the root of a one-volume file system whose drive root is the
      // extraction folder.
      quorvex::PosixFileSystem files(target.string());
      quorvex::UnpackPackage(package, "C:\\", files);
    });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qv-unpack: %s\n", e.what());
    return 1;
  }
}
#endif
