// Feeds arbitrary bytes to the package signature check, as they would arrive and as a whole.
// Findings: a crash, a sanitizer report (a read outside the body among them), an exception
// other than SignatureError, and any input that verifies. The seeds are signed for
// Quorvex_fuzz_x64.zip by a key whose id the trusted key below carries with another key's point,
// so that they reach the signature check itself and no mutation of them can pass it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "install/PackageVerifier.h"
#include "platform/posix/OpenSslSignatureCrypto.h"

namespace {

quorvex::PackageKey TrustedKey() {
  quorvex::PackageKey key;
  key.id = {0x8c, 0x11, 0xe5, 0xd2, 0xfc, 0xad, 0x90, 0x1d};
  constexpr char kPoint[] =
      "154080195be79b36c4846b18d235a32bba8480d278726d6cc072721bfb1baca7"
      "c0e1ed710926d028b40f253f48c47f927912a23df801c1c8e9ea28f812d6ecdf";
  const auto value = [](char c) { return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10); };
  for (std::size_t i = 0; i < key.point.size(); ++i) {
    key.point[i] = static_cast<std::uint8_t>(value(kPoint[2 * i]) << 4 | value(kPoint[2 * i + 1]));
  }
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static quorvex::OpenSslSignatureCrypto crypto;
  static const quorvex::PackageKey keys[] = {TrustedKey()};
  // Each run gets a copy of exactly its size, so that a read past the body is one past a heap block.
  const std::vector<std::uint8_t> body(data, data + size);
  quorvex::PackageVerifier verifier({keys, &crypto, 1}, "Quorvex_fuzz_x64.zip");
  // Arriving in pieces of a size taken from the input.
  const std::size_t piece = size == 0 ? 1 : std::size_t{1} + body[0] * std::size_t{257};
  for (std::size_t at = 0; at < size;) {
    at = at + piece < size ? at + piece : size;
    verifier.Arrived({body.data(), at});
  }
  try {
    verifier.Check(body);
  } catch (const quorvex::SignatureError&) {
    return 0;
  }
  std::abort();  // a package no key of ours signed verified
}
