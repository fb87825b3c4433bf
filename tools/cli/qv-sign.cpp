// qv-sign --key PRIVATE.pem [--name FILE_NAME] [--replace] PACKAGE: signs a package in place for
// installers built with the matching public key. The package is first checked as the installer
// will check it (structure, names, every entry inflated and its CRC-32 compared), and what it
// will write is listed with the name the signature binds it to: FILE_NAME, the package file the
// installer asks for ("<version name>_<x86|x64>.zip"), by default the package's own file name.
// The signature (ECDSA P-256, SHA-256) goes into the end record's comment; a package already
// signed for that name gets one more signature beside the others (for a threshold, or a key
// rotation). Another comment is refused unless --replace. The signed package is written beside
// the old one and renamed over it, so an interrupted signing leaves the old package whole.
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
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "PackageListing.h"
#include "WholeFile.h"
#include "install/ReleaseCheck.h"
#include "install/SignatureFormat.h"
#include "install/UnpackError.h"
#include "install/ZipReader.h"
#include "platform/posix/OpenSslSignatureCrypto.h"

namespace {

constexpr const char* kUsage =
    "usage: qv-sign --key PRIVATE.pem [--name FILE_NAME] [--replace] PACKAGE\n"
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

// The signature of the signed message (SignatureFormat.h) for boundName over covered.
std::vector<std::uint8_t> SignMessage(EVP_PKEY* key, const std::string& boundName,
                                      std::span<const std::uint8_t> covered) {
  const std::string prefix = quorvex::SignedMessagePrefix(boundName);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::size_t length = 0;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
      EVP_DigestSignUpdate(context.get(), prefix.data(), prefix.size()) != 1 ||
      EVP_DigestSignUpdate(context.get(), covered.data(), covered.size()) != 1 ||
      EVP_DigestSignFinal(context.get(), nullptr, &length) != 1) {
    Fail("Cannot sign: " + OpenSslText());
  }
  std::vector<std::uint8_t> signature(length);
  if (EVP_DigestSignFinal(context.get(), signature.data(), &length) != 1) Fail("Cannot sign: " + OpenSslText());
  signature.resize(length);
  return signature;
}

int Sign(const std::string& keyPath, const std::string& packagePath, const std::string& boundName, bool replace) {
  if (!quorvex::IsBindableName(boundName)) {
    Fail("\"" + boundName + "\" cannot be the package's file name (1 to 255 printable ASCII characters, no separator)");
  }
  const Key key = ReadPrivateKey(keyPath);
  quorvex::OpenSslSignatureCrypto crypto;
  const std::vector<std::uint8_t> info = PublicKeyInfo(key.get());
  quorvex::PackageKey signer;
  signer.id = quorvex::KeyIdOf(info, crypto);
  std::copy(info.end() - 64, info.end(), signer.point.begin());

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
  const std::size_t covered = commentAt - 2;

  // The signatures already there stay, when they are for the same package file.
  std::string comment = quorvex::SignatureCommentHead(boundName);
  if (commentLength != 0) {
    std::optional<quorvex::PackageSignatures> existing;
    try {
      existing = quorvex::ReadPackageSignatures(package);
    } catch (const quorvex::SignatureError&) {
    }
    if (existing && existing->boundName != boundName && !replace) {
      Fail(packagePath + " is signed for " + existing->boundName + ", not " + boundName +
           "; --name " + existing->boundName + " adds a signature for that name, --replace starts again");
    }
    if (!existing && !replace) {
      Fail(packagePath + " already has a comment (" + std::to_string(commentLength) +
           " bytes) that is not a signature; --replace replaces it with the signature");
    }
    if (existing && existing->boundName == boundName && !replace) {
      for (const quorvex::SignatureLine& line : existing->signatures) {
        if (line.keyId == signer.id) {
          std::printf("%s is already signed for %s by key %s; left as it was\n", packagePath.c_str(),
                      boundName.c_str(), quorvex::KeyIdText(signer.id).c_str());
          return 0;
        }
      }
      comment.assign(reinterpret_cast<const char*>(package.data() + commentAt), commentLength);
    }
  }

  // What the installer will refuse is not signed; what it will write is shown.
  quorvex::ReleaseCheckResult checked;
  try {
    checked = quorvex::CheckReleasePackage(package, {{}, boundName});
  } catch (const std::exception& refused) {
    Fail(packagePath + " would not install, so it is not signed: " + refused.what());
  }
  std::printf("signing for %s, which writes below C:\\Quorvex\\:\n", boundName.c_str());
  quorvex::tools::PrintEntries(checked, stdout);

  comment += quorvex::SignatureCommentLine(signer.id, SignMessage(key.get(), boundName, {package.data(), covered}));
  if (comment.size() > 0xFFFF) Fail(packagePath + " has no room for another signature in its comment");
  package.resize(covered);
  package.push_back(static_cast<std::uint8_t>(comment.size() & 0xFF));
  package.push_back(static_cast<std::uint8_t>(comment.size() >> 8));
  package.insert(package.end(), comment.begin(), comment.end());

  // What the installer will do with it, before the old package is given up.
  quorvex::PackageVerifier verifier({{&signer, 1}, &crypto, 1}, boundName);
  verifier.Check(package);

  ReplaceFile(packagePath, package);
  const std::size_t signatures = quorvex::ReadPackageSignatures(package).signatures.size();
  std::printf("signed %s for %s with key %s (%zu signature%s)\n", packagePath.c_str(), boundName.c_str(),
              quorvex::KeyIdText(signer.id).c_str(), signatures, signatures == 1 ? "" : "s");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  try {
    if (args.size() == 2 && args[0] == "--public") return PrintPublic(std::string(args[1]));
    if (args.size() >= 3 && args[0] == "--key") {
      std::optional<std::string> name;
      bool replace = false;
      std::size_t at = 2;
      for (; at + 1 < args.size(); ++at) {
        if (args[at] == "--replace" && !replace) {
          replace = true;
        } else if (args[at] == "--name" && !name && at + 2 < args.size()) {
          name = std::string(args[++at]);
        } else {
          break;
        }
      }
      if (at + 1 == args.size() && !args[at].starts_with("--")) {
        const std::string package(args[at]);
        return Sign(std::string(args[1]), package,
                    name ? *name : quorvex::tools::PathText(std::filesystem::path(package).filename()), replace);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qv-sign: %s\n", e.what());
    return 1;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
