#include "PackageListing.h"

namespace quorvex::tools {

void PrintEntries(const ReleaseCheckResult& checked, std::FILE* out) {
  for (const PackageEntry& entry : checked.entries) {
    if (entry.isFolder) {
      std::fprintf(out, "%14s  %8s  %s\\\n", "folder", "", entry.relativePath.c_str());
    } else {
      std::fprintf(out, "%14llu  %08x  %s\n", static_cast<unsigned long long>(entry.size),
                   static_cast<unsigned>(entry.crc32), entry.relativePath.c_str());
    }
  }
}

void PrintSignature(const SignatureVerdict& verdict, std::span<const PackageKey> keys,
                    const std::vector<std::string>& keyFiles, std::FILE* out) {
  for (const PackageKey* key : verdict.signers) {
    const auto index = static_cast<std::size_t>(key - keys.data());
    const std::string file = index < keyFiles.size() ? " (" + keyFiles[index] + ")" : "";
    std::fprintf(out, "signed for %s by key %s%s\n", verdict.boundName.c_str(), KeyIdText(key->id).c_str(),
                 file.c_str());
  }
  for (const KeyId& id : verdict.unknownKeys) {
    std::fprintf(out, "ignored: a signature by key %s, which is not among the keys given\n", KeyIdText(id).c_str());
  }
  for (const KeyId& id : verdict.failedKeys) {
    std::fprintf(out, "ignored: a signature by key %s that does not match the package\n", KeyIdText(id).c_str());
  }
}

}  // namespace quorvex::tools
