#pragma once
// Checks a package against the vendor's keys: signatures (see SignatureFormat.h) by at least
// the threshold's number of distinct trusted keys, over a message that names the package file
// asked for. The digest can be taken while the package arrives, on a thread of its own beside
// the transfer, so that only its last bytes remain once it is whole.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "install/PackageKeys.h"

namespace quorvex {

// The vendor's keys, how many of them must have signed, and the cryptography that checks.
// No keys: packages are not checked.
struct PackageTrust {
  std::span<const PackageKey> keys;
  SignatureCrypto* crypto = nullptr;  // needed when there are keys
  std::size_t threshold = 1;          // distinct keys; below 1 counts as 1
};

// What a package that passed carries.
struct SignatureVerdict {
  std::string boundName;
  std::vector<const PackageKey*> signers;  // distinct trusted keys whose signature holds, in the comment's order
  std::vector<KeyId> unknownKeys;          // signed by keys not trusted: ignored
  std::vector<KeyId> failedKeys;           // trusted keys whose signature does not hold: ignored, as the threshold is met
};

class PackageVerifier {
 public:
  // trust's keys and cryptography must outlive the verifier. boundName: the package file asked
  // for, which every counted signature must name.
  PackageVerifier(const PackageTrust& trust, std::string boundName);
  ~PackageVerifier();
  PackageVerifier(const PackageVerifier&) = delete;
  PackageVerifier& operator=(const PackageVerifier&) = delete;

  // The package received so far: a prefix of what Check will get, growing between calls. Its
  // bytes must stay where they are until Moving, Check or the verifier's end: the digest may
  // still be reading them. Rethrows a failure of the digest so far.
  void Arrived(std::span<const std::uint8_t> received);
  // Returns once the digest reads none of the bytes passed to Arrived any more.
  void Moving() noexcept;
  // Returns what signed the whole package when the threshold is met; throws SignatureError
  // otherwise. Signatures by keys not trusted are ignored, and a key counts once however
  // often it signed.
  SignatureVerdict Check(std::span<const std::uint8_t> package);

  const std::string& boundName() const { return boundName_; }

 private:
  class DigestThread;
  std::span<const PackageKey> keys_;
  SignatureCrypto& crypto_;
  std::size_t threshold_;
  std::string boundName_;
  std::unique_ptr<DigestThread> digest_;
};

}  // namespace quorvex
