#include "install/PackageVerifier.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "install/SignatureFormat.h"
#include "install/WorkerStep.h"

namespace quorvex {
// The digest of the signed message, taken on a thread of its own from what has been handed to
// it: the message's prefix (tag and bound name) at once, then the covered bytes. Pieces are
// taken a megabyte or more at a time, so that the thread is not woken for every block of a
// transfer.
class PackageVerifier::DigestThread {
 public:
  DigestThread(SignatureCrypto& crypto, const std::string& prefix) : digest_(crypto.StartSha256()) {
    digest_->Update({reinterpret_cast<const std::uint8_t*>(prefix.data()), prefix.size()});
  }
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

PackageVerifier::PackageVerifier(const PackageTrust& trust, std::string boundName)
    : keys_(trust.keys),
      crypto_(trust.crypto ? *trust.crypto
                           : throw SignatureError(SignatureFailure::kCryptography, "No cryptography for the package keys")),
      threshold_(std::max<std::size_t>(trust.threshold, 1)),
      boundName_(std::move(boundName)) {}

PackageVerifier::~PackageVerifier() = default;

void PackageVerifier::Arrived(std::span<const std::uint8_t> received) {
  if (digest_ && received.size() < digest_->Handed()) digest_.reset();  // another body: start again
  if (received.size() <= kUncoveredReach) return;
  if (!digest_) digest_ = std::make_unique<DigestThread>(crypto_, SignedMessagePrefix(boundName_));
  digest_->Offer(received.data(), received.size() - kUncoveredReach);
}

void PackageVerifier::Moving() noexcept {
  if (digest_) digest_->Pause();
}

SignatureVerdict PackageVerifier::Check(std::span<const std::uint8_t> package) {
  // Whatever happens, the next check starts from the first byte again.
  std::unique_ptr<DigestThread> digest = std::move(digest_);
  if (digest) digest->Pause();

  const PackageSignatures read = ReadPackageSignatures(package);
  // Before any cryptography: an older or other signed package is the likeliest stand-in.
  if (read.boundName != boundName_) {
    SignatureError error(SignatureFailure::kWrongRelease, "The package is signed for " + read.boundName + ", not for " +
                                                              boundName_ + " that was asked for");
    error.boundName = read.boundName;
    error.expectedName = boundName_;
    throw error;
  }
  SignatureVerdict verdict;
  verdict.boundName = read.boundName;
  const auto trusted = [&](const KeyId& id) {
    const auto key = std::find_if(keys_.begin(), keys_.end(), [&](const PackageKey& k) { return k.id == id; });
    return key == keys_.end() ? nullptr : &*key;
  };
  std::vector<std::pair<const PackageKey*, const SignatureLine*>> toCheck;
  for (const SignatureLine& line : read.signatures) {
    const PackageKey* key = trusted(line.keyId);
    if (!key) {
      if (std::find(verdict.unknownKeys.begin(), verdict.unknownKeys.end(), line.keyId) == verdict.unknownKeys.end()) {
        verdict.unknownKeys.push_back(line.keyId);
      }
      continue;
    }
    toCheck.emplace_back(key, &line);
  }
  if (toCheck.empty()) {
    throw SignatureError(SignatureFailure::kUnknownKey, "The package is signed with key " +
                                                            KeyIdList(verdict.unknownKeys) +
                                                            ", none of which is one of this installer's (" +
                                                            KeyIdList(keys_) + ")");
  }
  // The end record lies within the reach that Arrived leaves alone, so what it hashed is covered.
  if (!digest || digest->Handed() > read.coveredLength) {
    digest = std::make_unique<DigestThread>(crypto_, SignedMessagePrefix(boundName_));
  }
  const Sha256Value value = digest->Finish(package.data(), read.coveredLength);
  for (const auto& [key, line] : toCheck) {
    // A key that signed twice counts once: its other signatures are not even checked.
    if (std::find(verdict.signers.begin(), verdict.signers.end(), key) != verdict.signers.end()) continue;
    if (crypto_.VerifyP256(*key, value, line->signature)) {
      verdict.signers.push_back(key);
      std::erase(verdict.failedKeys, key->id);
    } else if (std::find(verdict.failedKeys.begin(), verdict.failedKeys.end(), key->id) == verdict.failedKeys.end()) {
      verdict.failedKeys.push_back(key->id);
    }
  }
  if (verdict.signers.size() >= threshold_) return verdict;
  std::vector<KeyId> valid;
  for (const PackageKey* key : verdict.signers) valid.push_back(key->id);
  const std::string counted = " (" + std::to_string(valid.size()) + " valid of the " + std::to_string(threshold_) +
                              " needed" + (valid.empty() ? std::string() : ": " + KeyIdList(valid)) + ")";
  if (!verdict.failedKeys.empty()) {
    throw SignatureError(SignatureFailure::kBadSignature, "The package's signature by key " +
                                                              KeyIdList(verdict.failedKeys) +
                                                              " does not match its bytes: it changed after signing" +
                                                              counted);
  }
  throw SignatureError(SignatureFailure::kTooFewSignatures,
                       "The package is signed by too few of this installer's keys" + counted +
                           (verdict.unknownKeys.empty() ? std::string() : "; keys not held: " + KeyIdList(verdict.unknownKeys)));
}

}  // namespace quorvex
