#include "install/PackageSignature.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "download/HeaderValue.h"
#include "install/Bytes.h"
#include "install/UnpackError.h"
#include "install/WorkerStep.h"
#include "install/ZipReader.h"

namespace quorvex {
namespace {

constexpr std::string_view kMagic = "QVSIG1 ";
constexpr std::size_t kKeyIdDigits = 16;
constexpr std::uint64_t kEndRecordSize = 22;
// The longest DER signature on P-256 is 72 bytes, 96 characters in base64.
constexpr std::size_t kLongestSignatureText = 96;

constexpr std::string_view kUrlAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::string_view kPemAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

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

[[noreturn]] void Unsigned(const std::string& cause) {
  throw SignatureError(SignatureFailure::kUnsigned, "The package is not signed: " + cause);
}

bool IsKeyIdDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

std::uint8_t HexValue(char c) { return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10); }

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

}  // namespace

std::string EncodeBase64Url(std::span<const std::uint8_t> bytes) {
  std::string text = EncodeBase64({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return text;
}

bool DecodeBase64Url(std::string_view text, std::vector<std::uint8_t>& bytes) {
  return DecodeBase64(text, kUrlAlphabet, bytes);
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

std::string KeyIdText(const KeyId& id) {
  constexpr std::string_view digits = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : id) {
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
  }
  return text;
}

KeyId KeyIdOf(std::span<const std::uint8_t> publicKeyInfo, SignatureCrypto& crypto) {
  const std::unique_ptr<Sha256> digest = crypto.StartSha256();
  digest->Update(publicKeyInfo);
  const Sha256Value value = digest->Finish();
  KeyId id{};
  std::copy_n(value.begin(), id.size(), id.begin());
  return id;
}

PackageKey ReadPublicKeyPem(std::string_view pem, SignatureCrypto& crypto) {
  constexpr std::string_view begin = "-----BEGIN PUBLIC KEY-----";
  constexpr std::string_view end = "-----END PUBLIC KEY-----";
  const std::size_t from = pem.find(begin);
  const std::size_t to = from == std::string_view::npos ? from : pem.find(end, from);
  if (to == std::string_view::npos) {
    if (pem.find("PRIVATE KEY-----") != std::string_view::npos) {
      throw std::invalid_argument("it holds a private key; give its public key (qv-sign --public)");
    }
    throw std::invalid_argument("it is not a PEM public key (no \"" + std::string(begin) + "\" block)");
  }
  std::string text;
  for (const char c : pem.substr(from + begin.size(), to - from - begin.size())) {
    if (c != '\r' && c != '\n' && c != ' ' && c != '\t') text += c;
  }
  while (!text.empty() && text.back() == '=') text.pop_back();
  std::vector<std::uint8_t> der;
  if (!DecodeBase64(text, kPemAlphabet, der)) throw std::invalid_argument("its base64 text is damaged");
  if (der.size() != kP256PublicKeyInfoPrefix.size() + 64 ||
      !std::equal(kP256PublicKeyInfoPrefix.begin(), kP256PublicKeyInfoPrefix.end(), der.begin())) {
    throw std::invalid_argument(
        "it is not an uncompressed P-256 (prime256v1) public key; make one with \"openssl ecparam -name prime256v1 "
        "-genkey\" and write its public part uncompressed");
  }
  PackageKey key;
  key.id = KeyIdOf(der, crypto);
  std::copy(der.begin() + static_cast<std::ptrdiff_t>(kP256PublicKeyInfoPrefix.size()), der.end(), key.point.begin());
  return key;
}

PackageSignature ReadPackageSignature(std::span<const std::uint8_t> data) {
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
  const std::string_view comment = package.Text(end + kEndRecordSize, commentLength);
  if (comment.empty()) Unsigned("the end record has no comment");
  if (comment.substr(0, kMagic.size()) != kMagic) Unsigned("the end record's comment is not a signature");
  const std::string_view keyId = comment.substr(kMagic.size(), kKeyIdDigits);
  if (keyId.size() != kKeyIdDigits || !std::all_of(keyId.begin(), keyId.end(), IsKeyIdDigit) ||
      comment.size() <= kMagic.size() + kKeyIdDigits || comment[kMagic.size() + kKeyIdDigits] != ' ') {
    Unsigned("the signature's key id is not 16 lowercase hex digits followed by one space");
  }
  const std::string_view text = comment.substr(kMagic.size() + kKeyIdDigits + 1);
  std::vector<std::uint8_t> der;
  PackageSignature signature;
  if (text.size() > kLongestSignatureText || !DecodeBase64Url(text, der) || !ParseDerSignature(der, signature.signature)) {
    Unsigned("the signature is not a DER ECDSA signature in base64url without padding");
  }
  for (std::size_t i = 0; i < signature.keyId.size(); ++i) {
    signature.keyId[i] = static_cast<std::uint8_t>(HexValue(keyId[2 * i]) << 4 | HexValue(keyId[2 * i + 1]));
  }
  signature.coveredLength = end + 20;
  return signature;
}

// The digest of the covered bytes, taken on a thread of its own from what has been handed to
// it. Pieces are taken a megabyte or more at a time, so that the thread is not woken for every
// block of a transfer.
class PackageVerifier::DigestThread {
 public:
  explicit DigestThread(SignatureCrypto& crypto) : digest_(crypto.StartSha256()) {}
  ~DigestThread() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  DigestThread(const DigestThread&) = delete;
  DigestThread& operator=(const DigestThread&) = delete;

  // base[0, upTo) is covered, and stays where it is until Pause.
  void Offer(const std::uint8_t* base, std::uint64_t upTo) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (failure_) std::rethrow_exception(failure_);
      base_ = base;
      if (upTo > target_) target_ = upTo;
      paused_ = false;
      if (!thread_.joinable() && target_ - done_ >= kPiece) thread_ = std::thread([this] { Run(); });
    }
    wake_.notify_one();
  }
  // Returns once the thread reads nothing more until the next Offer.
  void Pause() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    paused_ = true;
    idle_.wait(lock, [&] { return !busy_; });
  }
  // Hashes base[hashed so far, upTo) on the calling thread and returns the digest.
  Sha256Value Finish(const std::uint8_t* base, std::uint64_t upTo) {
    Pause();
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_) std::rethrow_exception(failure_);
    digest_->Update({base + done_, static_cast<std::size_t>(upTo - done_)});
    done_ = upTo;
    return digest_->Finish();
  }
  std::uint64_t Handed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return target_;
  }

 private:
  static constexpr std::uint64_t kPiece = std::uint64_t{1} << 20;

  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || (!paused_ && !failure_ && target_ - done_ >= kPiece); });
      if (stop_) return;
      const std::uint8_t* from = base_ + done_;
      const std::uint64_t length = target_ - done_;
      if (const std::exception_ptr failure =
              RunUnlocked(lock, busy_, [&] { digest_->Update({from, static_cast<std::size_t>(length)}); })) {
        failure_ = failure;
      } else {
        done_ += length;
      }
      idle_.notify_all();
    }
  }

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::unique_ptr<Sha256> digest_;
  const std::uint8_t* base_ = nullptr;
  std::uint64_t done_ = 0;    // hashed
  std::uint64_t target_ = 0;  // handed over
  bool busy_ = false;
  bool paused_ = false;
  bool stop_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: started once the members it uses exist
};

PackageVerifier::PackageVerifier(std::span<const PackageKey> keys, SignatureCrypto& crypto)
    : keys_(keys), crypto_(crypto) {}

PackageVerifier::~PackageVerifier() = default;

void PackageVerifier::Arrived(std::span<const std::uint8_t> received) {
  if (digest_ && received.size() < digest_->Handed()) digest_.reset();  // another body: start again
  if (received.size() <= kUncoveredReach) return;
  if (!digest_) digest_ = std::make_unique<DigestThread>(crypto_);
  digest_->Offer(received.data(), received.size() - kUncoveredReach);
}

void PackageVerifier::Moving() noexcept {
  if (digest_) digest_->Pause();
}

const PackageKey& PackageVerifier::Check(std::span<const std::uint8_t> package) {
  // Whatever happens, the next check starts from the first byte again.
  std::unique_ptr<DigestThread> digest = std::move(digest_);
  if (digest) digest->Pause();

  const PackageSignature signature = ReadPackageSignature(package);
  const auto key = std::find_if(keys_.begin(), keys_.end(), [&](const PackageKey& k) { return k.id == signature.keyId; });
  if (key == keys_.end()) {
    std::string held;
    for (const PackageKey& k : keys_) held += (held.empty() ? "" : ", ") + KeyIdText(k.id);
    throw SignatureError(SignatureFailure::kUnknownKey, "The package is signed with key " + KeyIdText(signature.keyId) +
                                                            ", which is not one of this installer's (" +
                                                            (held.empty() ? std::string("none") : held) + ")");
  }
  // The end record lies within the reach that Arrived leaves alone, so what it hashed is covered.
  if (!digest || digest->Handed() > signature.coveredLength) digest = std::make_unique<DigestThread>(crypto_);
  const Sha256Value value = digest->Finish(package.data(), signature.coveredLength);
  if (!crypto_.VerifyP256(*key, value, signature.signature)) {
    throw SignatureError(SignatureFailure::kBadSignature,
                         "The package's signature by key " + KeyIdText(signature.keyId) +
                             " does not match its bytes: it changed after signing");
  }
  return *key;
}

}  // namespace quorvex
