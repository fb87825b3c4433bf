#include "platform/win32/CngSignatureCrypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32/SystemLibrary.h"
#include "platform/win32/TextConversion.h"

namespace quorvex::win32 {
namespace {

constexpr NTSTATUS kSuccess = 0;
constexpr NTSTATUS kInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);  // STATUS_INVALID_SIGNATURE

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
  return text;
}

[[noreturn]] void Fail(const std::string& what, NTSTATUS status) {
  throw SignatureError(SignatureFailure::kCryptography, "CNG: " + what + " (status " + StatusText(status) + ")",
                       static_cast<std::uint32_t>(status));
}

struct CngFunctions {
  decltype(&::BCryptOpenAlgorithmProvider) OpenAlgorithmProvider = nullptr;
  decltype(&::BCryptCreateHash) CreateHash = nullptr;
  decltype(&::BCryptHashData) HashData = nullptr;
  decltype(&::BCryptFinishHash) FinishHash = nullptr;
  decltype(&::BCryptDestroyHash) DestroyHash = nullptr;
  decltype(&::BCryptImportKeyPair) ImportKeyPair = nullptr;
  decltype(&::BCryptDestroyKey) DestroyKey = nullptr;
  decltype(&::BCryptVerifySignature) VerifySignature = nullptr;
  BCRYPT_ALG_HANDLE sha256 = nullptr;
  BCRYPT_ALG_HANDLE ecdsaP256 = nullptr;
};

CngFunctions Load() {
  SystemFunctions library(L"bcrypt.dll");
  CngFunctions f;
  library.Resolve(f.OpenAlgorithmProvider, "BCryptOpenAlgorithmProvider")
      .Resolve(f.CreateHash, "BCryptCreateHash")
      .Resolve(f.HashData, "BCryptHashData")
      .Resolve(f.FinishHash, "BCryptFinishHash")
      .Resolve(f.DestroyHash, "BCryptDestroyHash")
      .Resolve(f.ImportKeyPair, "BCryptImportKeyPair")
      .Resolve(f.DestroyKey, "BCryptDestroyKey")
      .Resolve(f.VerifySignature, "BCryptVerifySignature");
  if (!library.complete()) {
    throw SignatureError(SignatureFailure::kCryptography,
                         "CNG: " + library.missing() + ": " + SystemErrorText(library.error()), library.error());
  }
  // The providers, like the library, stay open for the rest of the process.
  if (const NTSTATUS status = f.OpenAlgorithmProvider(&f.sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0); status != kSuccess) {
    Fail("no SHA-256 provider", status);
  }
  if (const NTSTATUS status = f.OpenAlgorithmProvider(&f.ecdsaP256, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
      status != kSuccess) {
    Fail("no ECDSA P-256 provider", status);
  }
  return f;
}

const CngFunctions& Cng() {
  static const CngFunctions functions = Load();
  return functions;
}

class CngSha256 : public Sha256 {
 public:
  CngSha256() {
    if (const NTSTATUS status = Cng().CreateHash(Cng().sha256, &hash_, nullptr, 0, nullptr, 0, 0); status != kSuccess) {
      Fail("cannot start a SHA-256", status);
    }
  }
  ~CngSha256() override { Cng().DestroyHash(hash_); }
  CngSha256(const CngSha256&) = delete;
  CngSha256& operator=(const CngSha256&) = delete;

  void Update(std::span<const std::uint8_t> bytes) override {
    // ULONG lengths: a large package goes in pieces.
    constexpr std::size_t kPiece = 1u << 30;
    for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
      const std::size_t length = std::min(kPiece, bytes.size() - at);
      const NTSTATUS status = Cng().HashData(hash_, const_cast<PUCHAR>(bytes.data() + at), static_cast<ULONG>(length), 0);
      if (status != kSuccess) Fail("SHA-256 update", status);
    }
  }
  Sha256Value Finish() override {
    Sha256Value value{};
    if (const NTSTATUS status = Cng().FinishHash(hash_, value.data(), static_cast<ULONG>(value.size()), 0);
        status != kSuccess) {
      Fail("SHA-256 end", status);
    }
    return value;
  }

 private:
  BCRYPT_HASH_HANDLE hash_ = nullptr;
};

}  // namespace

std::unique_ptr<Sha256> CngSignatureCrypto::StartSha256() { return std::make_unique<CngSha256>(); }

bool CngSignatureCrypto::VerifyP256(const PackageKey& key, const Sha256Value& digest, const P256Pair& signature) {
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, key.point.data(), key.point.size());
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (const NTSTATUS status = Cng().ImportKeyPair(Cng().ecdsaP256, nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle, blob,
                                                  static_cast<ULONG>(sizeof blob), 0);
      status != kSuccess) {
    Fail("cannot import public key " + KeyIdText(key.id), status);
  }
  Sha256Value hashed = digest;
  P256Pair rs = signature;
  const NTSTATUS status = Cng().VerifySignature(handle, nullptr, hashed.data(), static_cast<ULONG>(hashed.size()),
                                                rs.data(), static_cast<ULONG>(rs.size()), 0);
  Cng().DestroyKey(handle);
  if (status == kSuccess) return true;
  if (status == kInvalidSignature) return false;
  Fail("signature check with key " + KeyIdText(key.id), status);
}

}  // namespace quorvex::win32
