#include "install/SignatureFormat.h"

#include <algorithm>

#include "download/HeaderValue.h"
#include "install/Bytes.h"
#include "install/UnpackError.h"
#include "install/ZipReader.h"

namespace quorvex {
namespace {

constexpr std::uint64_t kEndRecordSize = 22;
constexpr std::size_t kKeyIdDigits = 16;
// The longest DER signature on P-256 is 72 bytes, 96 characters in base64.
constexpr std::size_t kLongestSignatureText = 96;
constexpr std::size_t kLongestBoundName = 255;

constexpr std::string_view kUrlAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::string_view kStandardAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Canonical base64 without padding: every character from the alphabet, no leftover bits.
bool DecodeBase64(std::string_view text, std::string_view alphabet, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  if (text.size() % 4 == 1) return false;
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const std::size_t value = alphabet.find(c);
    if (value == std::string_view::npos) return false;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<std::uint8_t>(bits >> count));
      bits &= (1u << count) - 1;
    }
  }
  return bits == 0;
}

// One INTEGER of a DER signature, positive and minimally encoded, right-aligned in out.
bool TakeInteger(std::span<const std::uint8_t>& der, std::span<std::uint8_t, 32> out) {
  if (der.size() < 2 || der[0] != 0x02) return false;
  const std::size_t length = der[1];
  if (length == 0 || length > 33 || der.size() - 2 < length) return false;
  std::span<const std::uint8_t> value = der.subspan(2, length);
  der = der.subspan(2 + length);
  if (value[0] & 0x80) return false;  // negative
  if (value[0] == 0 && value.size() > 1) {
    if (!(value[1] & 0x80)) return false;  // a zero byte that was not needed
    value = value.subspan(1);
  }
  if (value.size() > 32) return false;
  if (std::all_of(value.begin(), value.end(), [](std::uint8_t b) { return b == 0; })) return false;
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  std::copy(value.begin(), value.end(), out.end() - static_cast<std::ptrdiff_t>(value.size()));
  return true;
}

[[noreturn]] void Unsigned(const std::string& cause) {
  throw SignatureError(SignatureFailure::kUnsigned, "The package is not signed: " + cause);
}

// One "<key id> <signature>" line.
SignatureLine ReadSignatureLine(std::string_view line, std::size_t number) {
  const std::string where = "signature line " + std::to_string(number) + " ";
  SignatureLine read;
  if (line.size() <= kKeyIdDigits || line[kKeyIdDigits] != ' ' || !ParseKeyId(line.substr(0, kKeyIdDigits), read.keyId)) {
    Unsigned(where + "does not begin with a key id (16 lowercase hex digits) and one space");
  }
  const std::string_view text = line.substr(kKeyIdDigits + 1);
  std::vector<std::uint8_t> der;
  if (text.size() > kLongestSignatureText || !DecodeBase64Url(text, der) || !ParseDerSignature(der, read.signature)) {
    Unsigned(where + "does not hold a DER ECDSA signature in base64url without padding");
  }
  return read;
}

}  // namespace

bool IsBindableName(std::string_view name) {
  // Printable ASCII only: the name reaches messages and the support log as the package says it.
  return !name.empty() && name.size() <= kLongestBoundName && std::all_of(name.begin(), name.end(), [](char c) {
    return c >= 0x20 && c <= 0x7E && c != '/' && c != '\\';
  });
}

std::string SignedMessagePrefix(std::string_view boundName) {
  std::string prefix(kSignatureTag);
  prefix += '\0';
  prefix += boundName;
  prefix += '\0';
  return prefix;
}

std::string SignatureCommentHead(std::string_view boundName) {
  return std::string(kSignatureTag) + " " + std::string(boundName);
}

std::string SignatureCommentLine(const KeyId& keyId, std::span<const std::uint8_t> derSignature) {
  std::string line(1, '\n');
  line += KeyIdText(keyId);
  line += ' ';
  line += EncodeBase64Url(derSignature);
  return line;
}

PackageSignatures ReadPackageSignatures(std::span<const std::uint8_t> data) {
  std::uint64_t end = 0;
  try {
    end = LocateEndRecord(data);
  } catch (const UnpackError&) {
    Unsigned("it has no end-of-central-directory record");
  }
  const Bytes package(data);
  const std::uint64_t commentLength = package.U16(end + 20);
  const std::uint64_t after = package.size() - end - kEndRecordSize;
  if (commentLength > after) {
    Unsigned("the end record's comment of " + std::to_string(commentLength) + " bytes runs past the end of the package");
  }
  if (commentLength < after) {
    throw SignatureError(SignatureFailure::kTrailingBytes,
                         "The package is refused: " + std::to_string(after - commentLength) +
                             " bytes follow the end record's comment, where nothing may");
  }
  std::string_view comment = package.Text(end + kEndRecordSize, commentLength);
  if (comment.empty()) Unsigned("the end record has no comment");
  if (comment.starts_with("QVSIG1 ")) {
    throw SignatureError(SignatureFailure::kUnbound,
                         "The package is signed in the old form (QVSIG1), which does not name the release it is for: "
                         "sign it again with qv-sign");
  }
  const std::string head = std::string(kSignatureTag) + " ";
  if (!comment.starts_with(head)) Unsigned("the end record's comment is not a signature");
  comment.remove_prefix(head.size());

  PackageSignatures read;
  const std::size_t nameEnd = comment.find('\n');
  read.boundName = std::string(comment.substr(0, nameEnd));
  if (!IsBindableName(read.boundName)) {
    Unsigned("the name the signature is for is not a file name (1 to 255 printable ASCII characters, no separator)");
  }
  if (nameEnd == std::string_view::npos) Unsigned("the signature for " + read.boundName + " holds no signature line");
  comment.remove_prefix(nameEnd + 1);
  for (std::size_t number = 1;; ++number) {
    if (number > kMostSignatures) Unsigned("it holds more than " + std::to_string(kMostSignatures) + " signatures");
    const std::size_t lineEnd = comment.find('\n');
    read.signatures.push_back(ReadSignatureLine(comment.substr(0, lineEnd), number));
    if (lineEnd == std::string_view::npos) break;
    comment.remove_prefix(lineEnd + 1);
  }
  read.coveredLength = end + 20;
  return read;
}

bool ParseDerSignature(std::span<const std::uint8_t> der, P256Pair& rs) {
  // A SEQUENCE of two INTEGERs; at most 72 bytes, so its length always fits one byte.
  if (der.size() < 2 || der[0] != 0x30 || der[1] >= 0x80 || der[1] != der.size() - 2) return false;
  std::span<const std::uint8_t> rest = der.subspan(2);
  P256Pair pair{};
  if (!TakeInteger(rest, std::span<std::uint8_t, 32>(pair.data(), 32))) return false;
  if (!TakeInteger(rest, std::span<std::uint8_t, 32>(pair.data() + 32, 32))) return false;
  if (!rest.empty()) return false;
  rs = pair;
  return true;
}

std::string EncodeBase64Url(std::span<const std::uint8_t> bytes) {
  std::string text = EncodeBase64({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return text;
}

bool DecodeBase64Url(std::string_view text, std::vector<std::uint8_t>& bytes) {
  return DecodeBase64(text, kUrlAlphabet, bytes);
}

bool DecodeBase64Standard(std::string_view text, std::vector<std::uint8_t>& bytes) {
  return DecodeBase64(text, kStandardAlphabet, bytes);
}

}  // namespace quorvex
