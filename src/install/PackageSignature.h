#pragma once
// Packages signed by the vendor. The signature is ECDSA on P-256 over the SHA-256 of the
// package from its first byte up to the end record's comment length; it travels in that
// comment as the text "QVSIG1 <key id> <signature>": the key id is the first 8 bytes of the
// SHA-256 of the key's DER SubjectPublicKeyInfo in lowercase hex, the signature the DER
// ECDSA signature in base64url without padding. Nothing may follow the comment. Text only,
// so nothing in it can pass for a ZIP record when the end record is searched.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex {

using KeyId = std::array<std::uint8_t, 8>;
using Sha256Value = std::array<std::uint8_t, 32>;
// An uncompressed P-256 point or an (r, s) pair: two 32-byte big-endian numbers.
using P256Pair = std::array<std::uint8_t, 64>;

// A public key the installer trusts: its id and its point (X then Y).
struct PackageKey {
  KeyId id{};
  P256Pair point{};
};

// The DER SubjectPublicKeyInfo of an uncompressed P-256 key is this prefix and the point.
inline constexpr std::array<std::uint8_t, 27> kP256PublicKeyInfoPrefix = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
    0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

// A SHA-256 taken piece by piece.
class Sha256 {
 public:
  virtual ~Sha256() = default;
  virtual void Update(std::span<const std::uint8_t> bytes) = 0;
  virtual Sha256Value Finish() = 0;
};

// The platform's own cryptography: CNG on Windows, OpenSSL natively. Both throw
// SignatureError (kCryptography) when the cryptography itself fails.
class SignatureCrypto {
 public:
  virtual ~SignatureCrypto() = default;
  virtual std::unique_ptr<Sha256> StartSha256() = 0;
  // True when signature (r then s) is key's ECDSA signature of digest.
  virtual bool VerifyP256(const PackageKey& key, const Sha256Value& digest, const P256Pair& signature) = 0;
};

enum class SignatureFailure {
  kUnsigned,       // no end record, or its comment is not a signature in the one form
  kTrailingBytes,  // bytes after the end record's comment
  kUnknownKey,     // signed with a key the installer does not hold
  kBadSignature,   // the signature does not verify: the package changed after signing
  kCryptography,   // the platform's cryptography failed
};

class SignatureError : public std::runtime_error {
 public:
  SignatureError(SignatureFailure kind, const std::string& message, std::uint32_t systemCode = 0)
      : std::runtime_error(message), kind_(kind), systemCode_(systemCode) {}
  SignatureFailure kind() const noexcept { return kind_; }
  // The cryptography's own status code for kCryptography, else 0.
  std::uint32_t systemCode() const noexcept { return systemCode_; }

 private:
  SignatureFailure kind_;
  std::uint32_t systemCode_;
};

// What a package's end record says about its signature.
struct PackageSignature {
  std::uint64_t coveredLength = 0;  // the signed bytes, from the package's first
  KeyId keyId{};
  P256Pair signature{};  // r then s
};

// The vendor's keys and the cryptography that checks packages against them. No keys: packages
// are not checked.
struct PackageTrust {
  std::span<const PackageKey> keys;
  SignatureCrypto* crypto = nullptr;  // needed when there are keys
};

// Reads the signature from the comment of the end record that the unpacker uses. Throws
// SignatureError (kUnsigned, kTrailingBytes).
PackageSignature ReadPackageSignature(std::span<const std::uint8_t> package);

// Bytes at the end of a package that may lie outside the signed part: the end record and
// the longest comment. Everything before them is covered whatever the comment turns out to be.
inline constexpr std::uint64_t kUncoveredReach = 22 + 0xFFFF;

// Checks one package against the trusted keys. The digest can be taken while the package
// arrives, on a thread of its own beside the transfer, so that only its last bytes remain once
// it is whole.
class PackageVerifier {
 public:
  // keys and crypto must outlive the verifier.
  PackageVerifier(std::span<const PackageKey> keys, SignatureCrypto& crypto);
  ~PackageVerifier();
  PackageVerifier(const PackageVerifier&) = delete;
  PackageVerifier& operator=(const PackageVerifier&) = delete;

  // The package received so far: a prefix of what Check will get, growing between calls. Its
  // bytes must stay where they are until Moving, Check or the verifier's end: the digest may
  // still be reading them. Rethrows a failure of the digest so far.
  void Arrived(std::span<const std::uint8_t> received);
  // Returns once the digest reads none of the bytes passed to Arrived any more.
  void Moving() noexcept;
  // Returns the key that signed the whole package; throws SignatureError otherwise.
  const PackageKey& Check(std::span<const std::uint8_t> package);

 private:
  class DigestThread;
  std::span<const PackageKey> keys_;
  SignatureCrypto& crypto_;
  std::unique_ptr<DigestThread> digest_;
};

// The key id of a DER SubjectPublicKeyInfo.
KeyId KeyIdOf(std::span<const std::uint8_t> publicKeyInfo, SignatureCrypto& crypto);
std::string KeyIdText(const KeyId& id);

// A PEM "PUBLIC KEY" holding an uncompressed P-256 key. Throws std::invalid_argument saying
// what is wrong with it.
PackageKey ReadPublicKeyPem(std::string_view pem, SignatureCrypto& crypto);

// The (r, s) of a strict DER ECDSA signature on P-256; nothing when it is not one.
bool ParseDerSignature(std::span<const std::uint8_t> der, P256Pair& rs);

// Base64 without padding, with the URL alphabet; strict (canonical, no other characters).
std::string EncodeBase64Url(std::span<const std::uint8_t> bytes);
bool DecodeBase64Url(std::string_view text, std::vector<std::uint8_t>& bytes);

}  // namespace quorvex
