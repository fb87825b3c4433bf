#include "ServiceAccount.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <array>
#include <utility>

namespace quorvex::service {
namespace {

using Digest = std::array<unsigned char, SHA256_DIGEST_LENGTH>;

// Hashing first gives equal-length inputs to the constant-time comparison whatever was offered.
Digest DigestOf(std::string_view text) {
  Digest digest{};
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data());
  return digest;
}

bool DigestsEqual(const Digest& a, const Digest& b) { return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0; }

}  // namespace

ServiceAccount::ServiceAccount(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password)) {}

bool ServiceAccount::Admits(std::string_view user, std::string_view password) const {
  const bool userMatches = DigestsEqual(DigestOf(user), DigestOf(user_));
  const bool passwordMatches = DigestsEqual(DigestOf(password), DigestOf(password_));
  // Both digests are compared before either result is looked at.
  return userMatches && passwordMatches;
}

}  // namespace quorvex::service
