#include "platform/posix/OpenSslSignatureCrypto.h"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>
#include <vector>

namespace quorvex {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  const unsigned long code = ERR_get_error();
  char text[256] = "no OpenSSL error";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  throw SignatureError(SignatureFailure::kCryptography, "OpenSSL: " + what + ": " + text,
                       static_cast<std::uint32_t>(code));
}

class OpenSslSha256 : public Sha256 {
 public:
  OpenSslSha256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
      EVP_MD_CTX_free(context_);
      Fail("cannot start a SHA-256");
    }
  }
  ~OpenSslSha256() override { EVP_MD_CTX_free(context_); }
  OpenSslSha256(const OpenSslSha256&) = delete;
  OpenSslSha256& operator=(const OpenSslSha256&) = delete;

  void Update(std::span<const std::uint8_t> bytes) override {
    if (EVP_DigestUpdate(context_, bytes.data(), bytes.size()) != 1) Fail("SHA-256 update");
  }
  Sha256Value Finish() override {
    Sha256Value value{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_, value.data(), &length) != 1 || length != value.size()) Fail("SHA-256 end");
    return value;
  }

 private:
  EVP_MD_CTX* context_;
};

}  // namespace

std::unique_ptr<Sha256> OpenSslSignatureCrypto::StartSha256() { return std::make_unique<OpenSslSha256>(); }

bool OpenSslSignatureCrypto::VerifyP256(const PackageKey& key, const Sha256Value& digest, const P256Pair& signature) {
  std::vector<std::uint8_t> info(kP256PublicKeyInfoPrefix.begin(), kP256PublicKeyInfoPrefix.end());
  info.insert(info.end(), key.point.begin(), key.point.end());
  const unsigned char* at = info.data();
  EVP_PKEY* publicKey = d2i_PUBKEY(nullptr, &at, static_cast<long>(info.size()));
  // A point off the curve is no key: nothing it could sign verifies.
  if (!publicKey) {
    ERR_clear_error();
    return false;
  }
  ECDSA_SIG* sig = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
  unsigned char* der = nullptr;
  int derLength = -1;
  if (sig && r && s && ECDSA_SIG_set0(sig, r, s) == 1) {
    r = s = nullptr;  // owned by sig now
    derLength = i2d_ECDSA_SIG(sig, &der);
  }
  BN_free(r);
  BN_free(s);
  ECDSA_SIG_free(sig);
  EVP_PKEY_CTX* context = derLength > 0 ? EVP_PKEY_CTX_new(publicKey, nullptr) : nullptr;
  int verdict = -1;
  if (context && EVP_PKEY_verify_init(context) == 1) {
    verdict = EVP_PKEY_verify(context, der, static_cast<std::size_t>(derLength), digest.data(), digest.size());
  }
  EVP_PKEY_CTX_free(context);
  OPENSSL_free(der);
  EVP_PKEY_free(publicKey);
  if (verdict < 0 && derLength <= 0) Fail("cannot encode the signature");
  ERR_clear_error();
  return verdict == 1;
}

}  // namespace quorvex
