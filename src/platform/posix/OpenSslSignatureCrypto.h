#pragma once
// The signature check's cryptography on POSIX, with OpenSSL: native tests, tools and fuzzing.

#include "install/PackageKeys.h"

namespace quorvex {

class OpenSslSignatureCrypto : public SignatureCrypto {
 public:
  std::unique_ptr<Sha256> StartSha256() override;
  bool VerifyP256(const PackageKey& key, const Sha256Value& digest, const P256Pair& signature) override;
};

}  // namespace quorvex
