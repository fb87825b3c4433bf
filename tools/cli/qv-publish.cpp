// qv-publish [--key PUBLIC.pem]... [--threshold N] PACKAGE FOLDER: puts a release live in a
// storage folder of the download service (or of an nginx edge) only once it would install.
// The package is read once into memory and checked exactly as the installer checks it: its
// file name is one the installer asks for (<release>_x64.zip or <release>_x86.zip), its
// structure and every name hold, every entry inflates and matches its CRC-32, a top-level
// Quorvex.exe is there and built for the name's architecture, and with keys the signature
// verifies. Then those same bytes go live atomically: written to a temporary file beside the
// live one, flushed to disk, renamed over it, the folder flushed. The file it replaces is kept
// as NAME.previous (made by a hard link first, so the live name never goes missing).
//
// qv-publish --restore NAME FOLDER: swaps NAME.previous and NAME in one atomic exchange, so
// the previous release is live again and the one taken back is the new NAME.previous.
//
// A refused package leaves FOLDER as it was. Exit 0 when published; otherwise one line on stderr
// naming the fault, exit 1 (2 for a wrong command line).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "install/FileSystem.h"
#include "install/PackageKeys.h"
#include "install/ReleaseCheck.h"
#include "install/SignatureError.h"
#include "install/Unpacker.h"
#include "platform/posix/OpenSslSignatureCrypto.h"
#include "WholeFile.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: qv-publish [--key PUBLIC.pem]... [--threshold N] PACKAGE FOLDER\n"
    "       qv-publish --restore NAME FOLDER\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A package that must not go live; the message names the fault.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string SystemText() { return std::strerror(errno); }

[[noreturn]] void FailSystem(const std::string& what) { throw std::runtime_error(what + ": " + SystemText()); }

enum class Architecture { X86, X64 };

// The release file name as the installer composes it: the release, then "_x64.zip" or
// "_x86.zip". The release is a plain Windows file name: it names C:\Quorvex\<NAME> there.
Architecture ArchitectureOfName(std::string_view name) {
  const auto refuse = [&](const std::string& why) {
    throw Refusal("the file name " + std::string(name) + " is not one the installer asks for: " + why);
  };
  std::optional<Architecture> architecture;
  if (name.size() > 8 && name.substr(name.size() - 8) == "_x64.zip") architecture = Architecture::X64;
  if (name.size() > 8 && name.substr(name.size() - 8) == "_x86.zip") architecture = Architecture::X86;
  if (!architecture) refuse("it must be <release>_x64.zip or <release>_x86.zip");
  if (name.front() == '.' || name.front() == ' ') refuse("it starts with a dot or a space");
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) {
      refuse("it holds a character Windows does not allow in a file name");
    }
  }
  return *architecture;
}

// Takes every file the unpacker writes and keeps only the first bytes of Quorvex.exe: the
// unpack runs every check that writing would, inflating and the CRC-32 included.
class ExecutableProbe : public quorvex::FileSystem {
 public:
  static constexpr std::string_view kExecutable = "C:\\Quorvex\\Quorvex.exe";

  bool FileExists(const std::string&) override { return false; }
  bool FolderExists(const std::string&) override { return true; }
  bool RemoveFile(const std::string&) override { return false; }
  void CreateFolderTree(const std::string&) override {}
  std::unique_ptr<quorvex::OutputFile> CreateOutputFile(const std::string& path) override {
    // Names compare as Windows compares them: "quorvex.EXE" is the same file.
    const bool executable = path.size() == kExecutable.size() &&
                            std::equal(path.begin(), path.end(), kExecutable.begin(), [](char a, char b) {
                              return std::tolower(static_cast<unsigned char>(a)) ==
                                     std::tolower(static_cast<unsigned char>(b));
                            });
    if (executable) {
      found = true;
      head.clear();
    }
    return std::make_unique<Output>(executable ? &head : nullptr);
  }
  bool ApplyAttributes(const std::string&, std::uint32_t) override { return true; }

  bool found = false;
  std::string head;  // the first bytes of the last Quorvex.exe written

 private:
  class Output : public quorvex::OutputFile {
   public:
    explicit Output(std::string* keep) : keep_(keep) {}
    std::size_t Write(const std::uint8_t* data, std::size_t size) override {
      if (keep_ && keep_->size() < 4096) {
        keep_->append(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 4096 - keep_->size()));
      }
      return size;
    }
    bool SetTimes(quorvex::DosDateTime) override { return true; }
    void Close() override {}

   private:
    std::string* keep_;
  };
};

// The machine a Windows executable is built for, from its PE header; nothing when the bytes
// are not one.
std::optional<std::uint16_t> PeMachine(const std::string& head) {
  const auto u16 = [&](std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(head[at]) | static_cast<unsigned char>(head[at + 1]) << 8);
  };
  if (head.size() < 0x40 || head.compare(0, 2, "MZ") != 0) return std::nullopt;
  const std::size_t pe = u16(0x3C) | static_cast<std::size_t>(u16(0x3E)) << 16;
  if (pe + 6 > head.size() || head.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return std::nullopt;
  return u16(pe + 4);
}

// Whether an end-of-central-directory signature lies where a ZIP's end record can be: without
// one the file is no ZIP at all, and saying so is clearer than the reader's first complaint.
bool HasEndRecord(std::span<const std::uint8_t> bytes) {
  constexpr std::string_view kSignature("PK\x05\x06", 4);
  const std::size_t reach = std::min<std::size_t>(bytes.size(), 22 + 0xFFFF);
  const std::string_view tail(reinterpret_cast<const char*>(bytes.data() + bytes.size() - reach), reach);
  return tail.find(kSignature) != std::string_view::npos;
}

struct Keys {
  quorvex::OpenSslSignatureCrypto crypto;
  std::vector<quorvex::PackageKey> keys;
  std::size_t threshold = 1;
};

// Checks the package as the installer checks it before anything is written; throws Refusal.
void CheckRelease(std::span<const std::uint8_t> package, std::string_view name, Keys& trust) {
  const Architecture architecture = ArchitectureOfName(name);
  // The installer's own check: with keys, the signatures, the threshold and the release the
  // package is bound to (the name it is published under); then structure, names and every
  // entry's CRC-32.
  try {
    quorvex::CheckReleasePackage(
        package, quorvex::ReleaseExpectation{
                     quorvex::PackageTrust{trust.keys, &trust.crypto, trust.threshold}, std::string(name)});
  } catch (const quorvex::SignatureError& error) {
    throw Refusal(std::string("signature: ") + error.what());
  } catch (const std::exception& error) {
    throw Refusal(error.what());
  }
  // Unpacked once more into nothing, to read the head of the Quorvex.exe it would start.
  ExecutableProbe probe;
  try {
    quorvex::UnpackPackage(package, "C:\\Quorvex\\", probe);
  } catch (const std::exception& error) {
    throw Refusal(error.what());
  }
  if (!probe.found) throw Refusal("no Quorvex.exe at the top level: the installer would have nothing to start");
  const auto machine = PeMachine(probe.head);
  if (!machine) throw Refusal("Quorvex.exe is not a Windows executable");
  constexpr std::uint16_t kI386 = 0x014C;
  constexpr std::uint16_t kAmd64 = 0x8664;
  constexpr std::uint16_t kArm64 = 0xAA64;
  // An x64 system runs 32-bit programs too; a 32-bit one runs nothing else.
  if (architecture == Architecture::X86 && *machine != kI386) {
    throw Refusal("Quorvex.exe is not a 32-bit x86 program, but the name says _x86");
  }
  if (architecture == Architecture::X64 && *machine != kAmd64 && *machine != kI386) {
    throw Refusal(*machine == kArm64 ? "Quorvex.exe is an ARM64 program, but the name says _x64"
                                     : "Quorvex.exe is for another processor than the name's _x64");
  }
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() const { return fd_; }
  // Closes now, reporting the error a deferred write may only show here.
  void Close(const std::string& what) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) FailSystem(what);
  }

 private:
  int fd_;
};

void SyncFolder(const fs::path& folder) {
  Descriptor handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (handle.Get() < 0 || ::fsync(handle.Get()) != 0) FailSystem("Cannot flush the folder " + folder.string());
}

// A temporary file beside `live`, removed unless Keep.
class TemporaryFile {
 public:
  explicit TemporaryFile(const fs::path& live) {
    std::string pattern = (live.parent_path() / ("." + live.filename().string() + ".publish-XXXXXX")).string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) FailSystem("Cannot make a temporary file in " + live.parent_path().string());
    path_ = pattern;
    fd_ = fd;
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!kept_) ::unlink(path_.c_str());
  }
  const fs::path& Path() const { return path_; }

  // Writes bytes, readable by the service's user, and flushes them to disk.
  void WriteAll(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t wrote = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) FailSystem("Cannot write " + path_.string());
      done += static_cast<std::size_t>(wrote);
    }
    if (::fchmod(fd_, 0644) != 0 || ::fsync(fd_) != 0) FailSystem("Cannot write " + path_.string());
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) FailSystem("Cannot write " + path_.string());
  }
  // Renames the file to target, replacing what is there in one step.
  void RenameTo(const fs::path& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) FailSystem("Cannot rename " + path_.string() + " to " + target.string());
    kept_ = true;
  }

 private:
  fs::path path_;
  int fd_ = -1;
  bool kept_ = false;
};

fs::path PreviousOf(const fs::path& live) { return live.string() + ".previous"; }

// Keeps the live release as NAME.previous without a moment in which NAME is missing: a hard
// link under a temporary name, renamed over an older NAME.previous.
void KeepPrevious(const fs::path& live) {
  struct stat status {};
  if (::lstat(live.c_str(), &status) != 0) {
    if (errno == ENOENT) return;
    FailSystem("Cannot read " + live.string());
  }
  if (!S_ISREG(status.st_mode)) throw Refusal(live.string() + " is not a regular file; it is left alone");
  const fs::path link = live.parent_path() / ("." + live.filename().string() + ".previous-link");
  ::unlink(link.c_str());
  if (::link(live.c_str(), link.c_str()) != 0) FailSystem("Cannot keep " + live.string() + " as the previous release");
  if (::rename(link.c_str(), PreviousOf(live).c_str()) != 0) {
    const std::string why = SystemText();
    ::unlink(link.c_str());
    throw std::runtime_error("Cannot keep " + live.string() + " as the previous release: " + why);
  }
}

fs::path Folder(const std::string& text) {
  std::error_code error;
  const fs::path folder = fs::canonical(text, error);
  if (error || !fs::is_directory(folder, error)) throw UsageError("the folder " + text + " does not exist");
  return folder;
}

int Publish(const fs::path& package, const fs::path& folder, Keys& trust) {
  const std::string name = package.filename().string();
  const fs::path live = folder / name;
  // The bytes checked are the bytes published: read once, then checked and written from memory.
  const quorvex::tools::WholeFile bytes = quorvex::tools::ReadWholeFile(package);
  try {
    if (!HasEndRecord(bytes.Bytes())) throw Refusal("it is not a ZIP package (no end record)");
    CheckRelease(bytes.Bytes(), name, trust);
  } catch (const Refusal& refusal) {
    std::error_code ignored;
    throw Refusal("refused " + package.string() + ": " + refusal.what() + "; " +
                  (fs::exists(live, ignored) ? live.string() + " is left as it was" : "nothing was published"));
  }
  TemporaryFile temporary(live);
  temporary.WriteAll(bytes.Bytes());
  KeepPrevious(live);
  temporary.RenameTo(live);
  SyncFolder(folder);
  std::printf("published %s (%zu bytes)%s\n", live.c_str(), bytes.size,
              fs::exists(PreviousOf(live)) ? (", the replaced release kept as " + PreviousOf(live).filename().string()).c_str()
                                           : "");
  return 0;
}

int Restore(const std::string& name, const fs::path& folder) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    throw UsageError("NAME is a file name in FOLDER, got " + name);
  }
  const fs::path live = folder / name;
  const fs::path previous = PreviousOf(live);
  struct stat status {};
  if (::lstat(previous.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw Refusal("nothing to restore: there is no " + previous.string());
  }
  // The previous release went live through this tool, but it may have been put there by hand.
  {
    Keys none;
    const quorvex::tools::WholeFile bytes = quorvex::tools::ReadWholeFile(previous);
    try {
      CheckRelease(bytes.Bytes(), name, none);
    } catch (const Refusal& refusal) {
      throw Refusal("not restoring " + previous.string() + ": " + refusal.what() + "; " + live.string() +
                    " is left as it was");
    }
  }
  if (::lstat(live.c_str(), &status) != 0) {
    if (errno != ENOENT) FailSystem("Cannot read " + live.string());
    if (::rename(previous.c_str(), live.c_str()) != 0) FailSystem("Cannot restore " + previous.string());
  } else if (::renameat2(AT_FDCWD, previous.c_str(), AT_FDCWD, live.c_str(), RENAME_EXCHANGE) != 0) {
    FailSystem("Cannot exchange " + previous.string() + " and " + live.string());
  }
  SyncFolder(folder);
  std::printf("restored %s from %s\n", live.c_str(), previous.filename().c_str());
  return 0;
}

int Run(const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "--restore") {
    if (args.size() != 3) throw UsageError("--restore takes NAME and FOLDER");
    return Restore(args[1], Folder(args[2]));
  }
  Keys trust;
  std::size_t at = 0;
  bool thresholdGiven = false;
  for (; at + 1 < args.size() && args[at].rfind("--", 0) == 0; at += 2) {
    if (args[at] == "--key") {
      const std::string text(quorvex::tools::ReadWholeFile(args[at + 1]).Text());
      try {
        trust.keys.push_back(quorvex::ReadPublicKeyPem(text, trust.crypto));
      } catch (const std::invalid_argument& problem) {
        throw UsageError("the key " + args[at + 1] + " cannot be used: " + problem.what());
      }
    } else if (args[at] == "--threshold") {
      std::size_t used = 0;
      long value = 0;
      try {
        value = std::stol(args[at + 1], &used);
      } catch (const std::exception&) {
      }
      if (used != args[at + 1].size() || value < 1 || value > 64) {
        throw UsageError("--threshold needs a whole number from 1 to 64, got " + args[at + 1]);
      }
      trust.threshold = static_cast<std::size_t>(value);
      thresholdGiven = true;
    } else {
      throw UsageError("unknown option " + args[at]);
    }
  }
  if (args.size() - at != 2) throw UsageError("PACKAGE and FOLDER are needed");
  if (thresholdGiven && trust.keys.empty()) throw UsageError("--threshold needs --key");
  if (trust.threshold > trust.keys.size() && !trust.keys.empty()) {
    throw UsageError("--threshold " + std::to_string(trust.threshold) + " is more than the " +
                     std::to_string(trust.keys.size()) + " keys given");
  }
  return Publish(args[at], Folder(args[at + 1]), trust);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& error) {
    std::fprintf(stderr, "qv-publish: %s\n%s", error.what(), kUsage);
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "qv-publish: %s\n", error.what());
    return 1;
  }
}
