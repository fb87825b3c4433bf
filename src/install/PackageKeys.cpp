#include "install/PackageKeys.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "install/SignatureFormat.h"

namespace quorvex {

std::string KeyIdText(const KeyId& id) {
  constexpr std::string_view digits = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : id) {
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
  }
  return text;
}

bool ParseKeyId(std::string_view text, KeyId& id) {
  if (text.size() != 2 * id.size()) return false;
  const auto value = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
  KeyId read{};
  for (std::size_t i = 0; i < read.size(); ++i) {
    const int high = value(text[2 * i]);
    const int low = value(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    read[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  id = read;
  return true;
}

std::string KeyIdList(std::span<const KeyId> ids) {
  std::string list;
  for (const KeyId& id : ids) list += (list.empty() ? "" : ", ") + KeyIdText(id);
  return list.empty() ? "none" : list;
}

std::string KeyIdList(std::span<const PackageKey> keys) {
  std::vector<KeyId> ids;
  for (const PackageKey& key : keys) ids.push_back(key.id);
  return KeyIdList(ids);
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
  if (!DecodeBase64Standard(text, der)) throw std::invalid_argument("its base64 text is damaged");
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

}  // namespace quorvex
