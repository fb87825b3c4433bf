// qv-unpack PACKAGE FOLDER: unpacks a package into FOLDER with the installer's own rules.
// Exit 0 on success; on failure one line on stderr naming the entry and the cause, exit 1.
// A package that is bad as a whole writes nothing; after a fault found while writing, what
// was written before it stays.
//
// qv-unpack --check PACKAGE: the pre-flight for vendors. Checks the package exactly as the
// installer would (its structure, every name, and every entry's data inflated and its
// CRC-32 compared), writes nothing, and lists the entries with the names they will get
// below the installation folder. Warns about names that look UTF-8 but will be read as
// code page 437, about a missing top-level Quorvex.exe, and about entries whose full path on
// Windows (C:\Quorvex\ and the name with backslashes) passes 259 characters: the installer
// writes them, but an application that opens such a file without the "\\?\" prefix cannot.
// Exit 0 when the package would install, else 1.
//
// --key PUBLIC.pem (repeatable, before the package): the package must carry a signature by
// one of these keys, checked as the installer checks it before anything is written; --check
// then says which key signed it.

#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/RestTypes.h"
#include "install/PackageSignature.h"
#include "install/Unpacker.h"
#include "WholeFile.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/CngSignatureCrypto.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/Win32FileSystem.h"
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/OpenSslSignatureCrypto.h"
#include "platform/posix/PosixFileSystem.h"
#endif

namespace {

struct PackageBytes {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::shared_ptr<const void> mapping;  // owns what data points into
};

// Sees the package read so far, as the installer's download sees its body arrive; null: none.
using ReadObserver = quorvex::BodyObserver*;

#ifdef _WIN32
PackageBytes ReadPackage(const std::filesystem::path& path, ReadObserver observer) {
  const quorvex::tools::WholeFile file = quorvex::tools::ReadWholeFile(path, observer);
  return {file.data.get(), file.size, file.data};
}
#else
// The package is mapped rather than copied: its pages are the page cache's, read once.
PackageBytes ReadPackage(const std::filesystem::path& path, ReadObserver observer) {
  const std::string name = quorvex::tools::PathText(path);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("Cannot open " + name + ": " + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw std::runtime_error("Cannot read " + name + ": " + std::strerror(errno));
  PackageBytes bytes;
  bytes.size = static_cast<std::size_t>(info.st_size);
  if (bytes.size == 0) return bytes;
  void* mapped = ::mmap(nullptr, bytes.size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (mapped == MAP_FAILED) throw std::runtime_error("Cannot read " + name + ": " + std::strerror(errno));
  bytes.data = static_cast<const std::uint8_t*>(mapped);
  bytes.mapping = std::shared_ptr<void>(mapped, [size = bytes.size](void* p) { ::munmap(p, size); });
  if (observer) {
    // Whatever way this ends, the observer stops reading the mapping before it can go.
    try {
      observer->Arrived({bytes.data, bytes.size});
    } catch (...) {
      observer->Moving();
      throw;
    }
    observer->Moving();
  }
  return bytes;
}
#endif

// Takes everything and keeps nothing: unpacking into it runs every check that writing
// would, inflating and the CRC-32 included.
class DiscardingFileSystem : public quorvex::FileSystem {
 public:
  bool FileExists(const std::string&) override { return false; }
  bool FolderExists(const std::string&) override { return true; }
  bool RemoveFile(const std::string&) override { return false; }
  void CreateFolderTree(const std::string&) override {}
  std::unique_ptr<quorvex::OutputFile> CreateOutputFile(const std::string&) override {
    return std::make_unique<Discarded>();
  }
  bool ApplyAttributes(const std::string&, std::uint32_t) override { return true; }

 private:
  class Discarded : public quorvex::OutputFile {
   public:
    std::size_t Write(const std::uint8_t*, std::size_t size) override { return size; }
    bool SetTimes(quorvex::DosDateTime) override { return true; }
    void Close() override {}
  };
};

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

#ifdef _WIN32
using PlatformCrypto = quorvex::win32::CngSignatureCrypto;
#else
using PlatformCrypto = quorvex::OpenSslSignatureCrypto;
#endif

// The keys given with --key, and the check of the package against them.
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
  // Takes the digest while the package is read; nothing without keys.
  ReadObserver Observer() {
    if (keys.empty()) return nullptr;
    verifier.emplace(keys, crypto);
    return this;
  }
  void Arrived(std::span<const std::uint8_t> read) override { verifier->Arrived(read); }
  void Moving() noexcept override { verifier->Moving(); }
  // Throws SignatureError unless one of the keys signed the package; says which did.
  void Check(const PackageBytes& package, bool report) {
    if (keys.empty()) return;
    const quorvex::PackageKey& key = verifier->Check({package.data, package.size});
    if (report) {
      const std::size_t index = static_cast<std::size_t>(&key - keys.data());
      std::printf("signed by key %s (%s)\n", quorvex::KeyIdText(key.id).c_str(), files[index].c_str());
    }
  }
};

int CheckPackageFile(const PackageBytes& package, KeyCheck& keys) {
  keys.Check(package, true);
  const std::span<const std::uint8_t> bytes{package.data, package.size};
  std::uint64_t files = 0, folders = 0, total = 0;
  bool hasExecutable = false;
  quorvex::CheckPackage(bytes, [&](const quorvex::PackageEntry& entry) {
    if (entry.isFolder) {
      ++folders;
      std::printf("%14s  %s\\\n", "folder", entry.relativePath.c_str());
    } else {
      ++files;
      total += entry.size;
      std::printf("%14llu  %s\n", static_cast<unsigned long long>(entry.size), entry.relativePath.c_str());
      hasExecutable = hasExecutable || EqualsIgnoringAsciiCase(entry.relativePath, "Quorvex.exe");
    }
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
  });
  DiscardingFileSystem discard;
  quorvex::UnpackPackage(bytes, "C:\\Quorvex\\", discard);
  if (!hasExecutable) {
    std::fputs("qv-unpack: warning: no Quorvex.exe at the top level: the installer will have nothing to start\n", stderr);
  }
  std::printf("%llu files (%llu bytes), %llu folders: the package unpacks\n", static_cast<unsigned long long>(files),
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(folders));
  return 0;
}

constexpr const char* kUsage =
    "usage: qv-unpack [--key PUBLIC.pem]... PACKAGE FOLDER\n       qv-unpack --check [--key PUBLIC.pem]... PACKAGE\n";

// The command line after the program's name: --check, any --key FILE, then the package and
// (without --check) the folder. Unpacks or checks; returns the exit code.
int Run(const std::vector<std::filesystem::path>& args, bool check, std::size_t first,
        const std::function<void(const PackageBytes&, const std::filesystem::path&)>& unpack) {
  KeyCheck keys;
  std::size_t at = first;
  while (at + 1 < args.size() && args[at] == "--key") {
    keys.Add(args[at + 1]);
    at += 2;
  }
  if (args.size() - at != (check ? 1u : 2u)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const ReadObserver observer = keys.Observer();
  const PackageBytes package = ReadPackage(args[at], observer);
  if (check) return CheckPackageFile(package, keys);
  keys.Check(package, false);
  unpack(package, args[at + 1]);
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  // Names are UTF-8 throughout.
  ::SetConsoleOutputCP(CP_UTF8);
  const std::vector<std::filesystem::path> args(argv + 1, argv + argc);
  const bool check = !args.empty() && args[0] == L"--check";
  try {
    return Run(args, check, check ? 1 : 0, [](const PackageBytes& package, const std::filesystem::path& target) {
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
      quorvex::UnpackPackage({package.data, package.size}, quorvex::win32::Narrow(folder), files);
    });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qv-unpack: %s\n", e.what());
    return 1;
  }
}
#else
int main(int argc, char** argv) {
  const std::vector<std::filesystem::path> args(argv + 1, argv + argc);
  const bool check = !args.empty() && args[0] == "--check";
  try {
    return Run(args, check, check ? 1 : 0, [](const PackageBytes& package, const std::filesystem::path& target) {
      // FOLDER becomes the root of a one-volume file system whose drive root is the
      // extraction folder.
      quorvex::PosixFileSystem files(target.string());
      quorvex::UnpackPackage({package.data, package.size}, "C:\\", files);
    });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qv-unpack: %s\n", e.what());
    return 1;
  }
}
#endif
