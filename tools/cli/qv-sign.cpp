// qv-sign --key PRIVATE.pem [--replace] PACKAGE: signs a package in place for installers built
// with the matching public key. The signature (ECDSA P-256, SHA-256) goes into the end record's
// comment; a package that already has a comment is refused unless --replace. The signed
// package is written beside the old one and renamed over it, so an interrupted signing leaves
// the old package whole.
//
// qv-sign --public PRIVATE.pem: prints the public key in PEM, for QUORVEX_PACKAGE_KEYS, and its
// key id.
//
// Exit 0 on success; otherwise one line on stderr and exit 1 (2 for a wrong command line).

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "install/PackageSignature.h"
#include "install/UnpackError.h"
#include "install/ZipReader.h"
#include "platform/posix/OpenSslSignatureCrypto.h"
#include "WholeFile.h"

namespace {

constexpr const char* kUsage =
    "usage: qv-sign --key PRIVATE.pem [--replace] PACKAGE\n"
    "       qv-sign --public PRIVATE.pem\n";

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what); }

std::string OpenSslText() {
  const unsigned long code = ERR_get_error();
  char text[256] = "no detail";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  return text;
}

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

// A P-256 private key from a PEM file; anything else is refused.
Key ReadPrivateKey(const std::string& path) {
  std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "r"), BIO_free);
  if (!file) Fail("Cannot open the key " + path + ": " + OpenSslText());
  Key key(PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr));
  if (!key) Fail("The key " + path + " is not a PEM private key: " + OpenSslText());
  char group[64] = "";
  std::size_t length = 0;
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC ||
      EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) != 1 ||
      std::string_view(group) != "prime256v1") {
    Fail("The key " + path + " is not a P-256 (prime256v1) key" + (group[0] ? std::string(" but ") + group : ""));
  }
  // The key id is taken over the uncompressed form, whatever the file held.
  if (EVP_PKEY_set_utf8_string_param(key.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed") != 1) {
    Fail("Cannot use the key " + path + ": " + OpenSslText());
  }
  return key;
}

std::vector<std::uint8_t> PublicKeyInfo(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key, &der);
  if (length <= 0) Fail("Cannot write the public key: " + OpenSslText());
  std::vector<std::uint8_t> info(der, der + length);
  OPENSSL_free(der);
  return info;
}

// Writes bytes next to path and renames them over it; the old file stays until then.
void ReplaceFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  struct stat old {};
  if (::stat(path.c_str(), &old) != 0) Fail("Cannot read " + path + ": " + std::strerror(errno));
  std::string temporary = path + ".qv-sign-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) Fail("Cannot create a file beside " + path + ": " + std::strerror(errno));
  const auto fail = [&](const std::string& what) {
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    Fail(what + " " + temporary + ": " + std::strerror(error));
  };
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) fail("Cannot write");
    done += static_cast<std::size_t>(wrote);
  }
  if (::fchmod(fd, old.st_mode & 07777) != 0) fail("Cannot set the permissions of");
  if (::fsync(fd) != 0) fail("Cannot flush");
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    Fail("Cannot write " + temporary + ": " + std::strerror(error));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    Fail("Cannot replace " + path + ": " + std::strerror(error));
  }
}

int PrintPublic(const std::string& keyPath) {
  const Key key = ReadPrivateKey(keyPath);
  std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new_fp(stdout, BIO_NOCLOSE), BIO_free);
  if (!out || PEM_write_bio_PUBKEY(out.get(), key.get()) != 1) Fail("Cannot write the public key: " + OpenSslText());
  BIO_flush(out.get());
  quorvex::OpenSslSignatureCrypto crypto;
  std::printf("key id: %s\n", quorvex::KeyIdText(quorvex::KeyIdOf(PublicKeyInfo(key.get()), crypto)).c_str());
  return 0;
}

int Sign(const std::string& keyPath, const std::string& packagePath, bool replace) {
  const Key key = ReadPrivateKey(keyPath);
  quorvex::OpenSslSignatureCrypto crypto;
  const std::vector<std::uint8_t> info = PublicKeyInfo(key.get());
  const quorvex::KeyId id = quorvex::KeyIdOf(info, crypto);

  const quorvex::tools::WholeFile file = quorvex::tools::ReadWholeFile(packagePath);
  std::vector<std::uint8_t> package(file.Bytes().begin(), file.Bytes().end());
  std::uint64_t end = 0;
  try {
    end = quorvex::LocateEndRecord(package);
  } catch (const quorvex::UnpackError&) {
    Fail(packagePath + " is not a ZIP package: it has no end-of-central-directory record");
  }
  const std::size_t commentAt = static_cast<std::size_t>(end) + 22;
  const std::size_t commentLength = package[commentAt - 2] | package[commentAt - 1] << 8;
  if (commentAt + commentLength < package.size()) {
    Fail(packagePath + " has " + std::to_string(package.size() - commentAt - commentLength) +
         " bytes after its end record's comment; make the package again");
  }
  if (commentAt + commentLength > package.size()) Fail(packagePath + " is cut short: its end record's comment is missing");
  if (commentLength != 0 && !replace) {
    Fail(packagePath + " already has a comment (" + std::to_string(commentLength) +
         " bytes); --replace replaces it with the signature");
  }
  const std::size_t covered = commentAt - 2;

  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::size_t signatureLength = 0;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &signatureLength, package.data(), covered) != 1) {
    Fail("Cannot sign: " + OpenSslText());
  }
  std::vector<std::uint8_t> signature(signatureLength);
  if (EVP_DigestSign(context.get(), signature.data(), &signatureLength, package.data(), covered) != 1) {
    Fail("Cannot sign: " + OpenSslText());
  }
  signature.resize(signatureLength);

  const std::string comment = "QVSIG1 " + quorvex::KeyIdText(id) + " " + quorvex::EncodeBase64Url(signature);
  package.resize(covered);
  package.push_back(static_cast<std::uint8_t>(comment.size() & 0xFF));
  package.push_back(static_cast<std::uint8_t>(comment.size() >> 8));
  package.insert(package.end(), comment.begin(), comment.end());

  // What the installer will do with it, before the old package is given up.
  quorvex::PackageKey trusted;
  trusted.id = id;
  std::copy(info.end() - 64, info.end(), trusted.point.begin());
  quorvex::PackageVerifier verifier({&trusted, 1}, crypto);
  verifier.Check(package);

  ReplaceFile(packagePath, package);
  std::printf("signed %s with key %s\n", packagePath.c_str(), quorvex::KeyIdText(id).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  try {
    if (args.size() == 2 && args[0] == "--public") return PrintPublic(std::string(args[1]));
    if ((args.size() == 3 || args.size() == 4) && args[0] == "--key") {
      const bool replace = args.size() == 4;
      if (replace && args[2] != "--replace") {
        std::fputs(kUsage, stderr);
        return 2;
      }
      return Sign(std::string(args[1]), std::string(args.back()), replace);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qv-sign: %s\n", e.what());
    return 1;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
