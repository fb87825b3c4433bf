#pragma once
// The signature check's failure, apart from the check so that the cryptography adapters and
// the comment format can throw it without depending on the rest.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quorvex {

enum class SignatureFailure {
  kUnsigned,          // no end record, or its comment is not a signature in any form
  kUnbound,           // signed in the old form, which names no release: any signed package would pass
  kWrongRelease,      // bound to another package file than the one asked for
  kTrailingBytes,     // bytes after the end record's comment
  kUnknownKey,        // no signature by a key the installer holds
  kBadSignature,      // a held key's signature does not verify: the package changed after signing
  kTooFewSignatures,  // valid signatures by fewer distinct held keys than the threshold
  kCryptography,      // the platform's cryptography failed
};

class SignatureError : public std::runtime_error {
 public:
  SignatureError(SignatureFailure kind, const std::string& message, std::uint32_t systemCode = 0)
      : std::runtime_error(message), kind_(kind), systemCode_(systemCode) {}
  SignatureFailure kind() const noexcept { return kind_; }
  // The cryptography's own status code for kCryptography, else 0.
  std::uint32_t systemCode() const noexcept { return systemCode_; }
  // For kWrongRelease: the package file the signatures name, and the one asked for.
  std::string boundName;
  std::string expectedName;

 private:
  SignatureFailure kind_;
  std::uint32_t systemCode_;
};

}  // namespace quorvex
