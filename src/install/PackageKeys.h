#pragma once
// The vendor's package keys: P-256 public keys, named by a short id, and the platform's
// cryptography that checks signatures against them.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "install/SignatureError.h"

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

// The key id of a DER SubjectPublicKeyInfo: the first 8 bytes of its SHA-256.
KeyId KeyIdOf(std::span<const std::uint8_t> publicKeyInfo, SignatureCrypto& crypto);
// 16 lowercase hex digits.
std::string KeyIdText(const KeyId& id);
// Reads 16 lowercase hex digits; false for anything else.
bool ParseKeyId(std::string_view text, KeyId& id);

// A PEM "PUBLIC KEY" holding an uncompressed P-256 key. Throws std::invalid_argument saying
// what is wrong with it.
PackageKey ReadPublicKeyPem(std::string_view pem, SignatureCrypto& crypto);

// Ids, ", "-separated, "none" for no id: for messages and the support log.
std::string KeyIdList(std::span<const KeyId> ids);
std::string KeyIdList(std::span<const PackageKey> keys);

}  // namespace quorvex
