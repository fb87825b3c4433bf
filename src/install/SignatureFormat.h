#pragma once
// How a package carries its signatures: text in the comment of the ZIP end record, so that the
// service, edges and caches serve signed packages unchanged.
//
//   QVSIG2 <bound name>
//   <key id> <signature>
//   ...
//
// Lines end in "\n" (none after the last). The bound name is the package file the signatures
// are for ("Quorvex_2.4.0_x64.zip": release and architecture); each further line is one
// signature: the key id (16 lowercase hex digits, see PackageKeys.h), one space, the DER ECDSA
// P-256 signature in base64url without padding. Each signature is over the SHA-256 of the
// signed message: the tag "QVSIG2", a zero byte, the bound name, a zero byte, then the package
// from its first byte up to, and not including, the end record's comment length. The tag keeps
// the message from being read as any other message a key signs (a package under the old
// unbound form begins "PK"); the zero bytes end a name that cannot hold one. Nothing may follow
// the comment. Text only, so nothing in it can pass for a ZIP record when the end record is
// searched.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "install/PackageKeys.h"

namespace quorvex {

inline constexpr std::string_view kSignatureTag = "QVSIG2";
// At most this many signatures in one comment: enough for any rotation and threshold, and few
// enough that checking them costs nothing next to the package.
inline constexpr std::size_t kMostSignatures = 32;

// Bytes at the end of a package that may lie outside the signed part: the end record and
// the longest comment. Everything before them is covered whatever the comment turns out to be.
inline constexpr std::uint64_t kUncoveredReach = 22 + 0xFFFF;

// A name a package can be bound to: 1 to 255 printable ASCII characters, no folder separator.
bool IsBindableName(std::string_view name);

// The signed message's bytes before the package: the tag, a zero byte, the name, a zero byte.
std::string SignedMessagePrefix(std::string_view boundName);

struct SignatureLine {
  KeyId keyId{};
  P256Pair signature{};  // r then s
};

// What a package's end record says about its signatures.
struct PackageSignatures {
  std::uint64_t coveredLength = 0;  // the package's signed bytes, from its first
  std::string boundName;
  std::vector<SignatureLine> signatures;  // in the comment's order, repeats kept
};

// Reads the signatures from the comment of the end record that the unpacker uses. Throws
// SignatureError: kUnsigned (no such comment, or one not in the form above), kUnbound (the old
// "QVSIG1" form), kTrailingBytes.
PackageSignatures ReadPackageSignatures(std::span<const std::uint8_t> package);

// The comment's first line, and one signature line with the "\n" before it.
std::string SignatureCommentHead(std::string_view boundName);
std::string SignatureCommentLine(const KeyId& keyId, std::span<const std::uint8_t> derSignature);

// The (r, s) of a strict DER ECDSA signature on P-256; false when it is not one.
bool ParseDerSignature(std::span<const std::uint8_t> der, P256Pair& rs);

// Base64 without padding, strict (canonical, no other characters): the URL alphabet for
// signatures, the standard one for PEM.
std::string EncodeBase64Url(std::span<const std::uint8_t> bytes);
bool DecodeBase64Url(std::string_view text, std::vector<std::uint8_t>& bytes);
bool DecodeBase64Standard(std::string_view text, std::vector<std::uint8_t>& bytes);

}  // namespace quorvex
