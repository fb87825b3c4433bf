#pragma once
// A release package checked as the installer checks it before it writes, and to the end: with
// keys, its signatures against the keys, the threshold and the package file name it must be
// bound to; then its structure and every name (a package bad as a whole); then every entry
// inflated and its CRC-32 compared (a fault the installer meets only while writing). Nothing
// is written. The one check behind the vendor's tools (qv-unpack --check, qv-sign, publishing a
// release): a package it passes installs, one it refuses fails the installer the same way.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "install/PackageVerifier.h"
#include "install/Unpacker.h"

namespace quorvex {

// What the installer that will fetch the package holds and asks for.
struct ReleaseExpectation {
  PackageTrust trust;     // no keys: no signature is needed (nor looked at)
  std::string boundName;  // the package file it asks for, "<version name>_<x86|x64>.zip"
};

struct ReleaseCheckResult {
  std::optional<SignatureVerdict> signature;  // with keys: what signed it
  std::vector<PackageEntry> entries;          // in the package's order, as they will be written
  std::uint64_t files = 0;
  std::uint64_t folders = 0;                  // folder entries
  std::uint64_t bytes = 0;                    // of the files, uncompressed
};

// Checks package against expected. verifier, when given, is one made for the same trust and
// bound name that has seen the package arrive (PackageVerifier::Arrived), so that its digest
// is mostly taken; otherwise one is made here. Throws SignatureError or UnpackError, the
// installer's own refusal, for the first thing that fails.
ReleaseCheckResult CheckReleasePackage(std::span<const std::uint8_t> package, const ReleaseExpectation& expected,
                                       PackageVerifier* verifier = nullptr);

}  // namespace quorvex
