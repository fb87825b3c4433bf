#include "EdgeLink.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quorvex::service {
namespace {

bool IsUnreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.' || c == '~';
}

// The path as a URL carries it: every byte but the unreserved ones and "/" escaped, so that
// nginx's decoding gives back exactly the signed bytes.
std::string PercentEncodePath(std::string_view path) {
  std::string out;
  for (const char c : path) {
    if (IsUnreserved(c) || c == '/') {
      out += c;
    } else {
      std::array<char, 4> escaped{};
      std::snprintf(escaped.data(), escaped.size(), "%%%02X", static_cast<unsigned char>(c));
      out += escaped.data();
    }
  }
  return out;
}

std::string Base64UrlWithoutPadding(const unsigned char* bytes, std::size_t size) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < size; i += 3) {
    const unsigned value = (unsigned{bytes[i]} << 16) | (unsigned{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(value >> shift) & 63];
  }
  if (size - i == 1) {
    const unsigned value = unsigned{bytes[i]} << 16;
    out += kAlphabet[(value >> 18) & 63];
    out += kAlphabet[(value >> 12) & 63];
  } else if (size - i == 2) {
    const unsigned value = (unsigned{bytes[i]} << 16) | (unsigned{bytes[i + 1]} << 8);
    out += kAlphabet[(value >> 18) & 63];
    out += kAlphabet[(value >> 12) & 63];
    out += kAlphabet[(value >> 6) & 63];
  }
  return out;
}

}  // namespace

std::string SecureLinkSignature(std::int64_t expires, std::string_view uri, std::string_view secret) {
  const std::string text = std::to_string(expires) + std::string(uri) + " " + std::string(secret);
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 is not available from OpenSSL");
  }
  return Base64UrlWithoutPadding(digest.data(), length);
}

EdgeLinks::EdgeLinks(std::string_view base, std::string secret, std::int64_t ttlSeconds)
    : secret_(std::move(secret)), ttl_(ttlSeconds) {
  constexpr std::string_view kScheme = "https://";
  if (base.substr(0, kScheme.size()) != kScheme) {
    throw std::invalid_argument("the edge base must be an https:// URL: " + std::string(base));
  }
  const std::string_view rest = base.substr(kScheme.size());
  const std::size_t slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  const bool authorityOk = !authority.empty() && std::all_of(authority.begin(), authority.end(), [](char c) {
    return IsUnreserved(c) || c == ':' || c == '[' || c == ']';
  });
  if (!authorityOk) throw std::invalid_argument("the edge base has a bad host: " + std::string(base));
  origin_ = std::string(kScheme) + std::string(authority);
  std::string path(slash == std::string_view::npos ? std::string_view() : rest.substr(slash));
  while (!path.empty() && path.back() == '/') path.pop_back();
  const bool pathOk = std::all_of(path.begin(), path.end(), [](char c) { return IsUnreserved(c) || c == '/'; }) &&
                      path.find("//") == std::string::npos;
  if (!pathOk) {
    throw std::invalid_argument("the edge base path may hold only letters, digits and / - _ . ~: " + std::string(base));
  }
  basePath_ = path;

  const bool secretOk = secret_.size() >= 16 && std::all_of(secret_.begin(), secret_.end(), [](char c) {
    return IsUnreserved(c) || c == '+' || c == '/' || c == '=';
  });
  if (!secretOk) {
    throw std::invalid_argument("the edge secret needs at least 16 characters, only letters, digits and - _ . ~ + / =");
  }
  if (ttl_ <= 0 || ttl_ > 7 * 24 * 3600) throw std::invalid_argument("the edge link lifetime must be 1 s to 7 days");
}

std::string EdgeLinks::EdgePath(std::string_view area, std::string_view name) const {
  std::string path = basePath_ + "/" + std::string(area) + "/";
  for (const char c : name) path += c == '\\' ? '/' : c;
  return path;
}

std::string EdgeLinks::Location(std::string_view area, std::string_view name, std::int64_t now) const {
  const std::string path = EdgePath(area, name);
  const std::int64_t expires = now + ttl_;
  return origin_ + PercentEncodePath(path) + "?md5=" + SecureLinkSignature(expires, path, secret_) +
         "&expires=" + std::to_string(expires);
}

std::string ReadSecretFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

}  // namespace quorvex::service
