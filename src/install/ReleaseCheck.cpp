#include "install/ReleaseCheck.h"

#include <memory>

#include "install/FileSystem.h"

namespace quorvex {
namespace {

// Takes everything and keeps nothing: unpacking into it runs every check that writing would,
// inflating and the CRC-32 included.
class DiscardingFileSystem : public FileSystem {
 public:
  bool FileExists(const std::string&) override { return false; }
  bool FolderExists(const std::string&) override { return true; }
  bool RemoveFile(const std::string&) override { return false; }
  void CreateFolderTree(const std::string&) override {}
  std::unique_ptr<OutputFile> CreateOutputFile(const std::string&) override { return std::make_unique<Discarded>(); }
  bool ApplyAttributes(const std::string&, std::uint32_t) override { return true; }

 private:
  class Discarded : public OutputFile {
   public:
    std::size_t Write(const std::uint8_t*, std::size_t size) override { return size; }
    bool SetTimes(DosDateTime) override { return true; }
    void Close() override {}
  };
};

}  // namespace

ReleaseCheckResult CheckReleasePackage(std::span<const std::uint8_t> package, const ReleaseExpectation& expected,
                                       PackageVerifier* verifier) {
  ReleaseCheckResult result;
  // In the installer's order: the signature before anything else is looked at.
  if (!expected.trust.keys.empty()) {
    std::optional<PackageVerifier> own;
    if (!verifier) verifier = &own.emplace(expected.trust, expected.boundName);
    result.signature = verifier->Check(package);
  }
  CheckPackage(package, [&](const PackageEntry& entry) {
    result.entries.push_back(entry);
    if (entry.isFolder) {
      ++result.folders;
    } else {
      ++result.files;
      result.bytes += entry.size;
    }
  });
  DiscardingFileSystem discard;
  UnpackPackage(package, "C:\\Quorvex\\", discard);
  return result;
}

}  // namespace quorvex
