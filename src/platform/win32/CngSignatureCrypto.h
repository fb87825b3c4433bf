#pragma once
// The signature check's cryptography on Windows: CNG, with bcrypt.dll loaded from the system
// folder like WinHTTP rather than imported.

#include "install/PackageKeys.h"

namespace quorvex::win32 {

class CngSignatureCrypto : public SignatureCrypto {
 public:
  // Throws SignatureError (kCryptography) when bcrypt.dll or its algorithms are missing.
  std::unique_ptr<Sha256> StartSha256() override;
  bool VerifyP256(const PackageKey& key, const Sha256Value& digest, const P256Pair& signature) override;
};

}  // namespace quorvex::win32
