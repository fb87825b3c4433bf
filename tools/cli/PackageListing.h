#pragma once
// How the vendor's tools show a checked package: one line an entry, as it will be written below
// the installation folder, with its size and CRC-32; and what signed it.

#include <cstdio>
#include <string>
#include <vector>

#include "install/ReleaseCheck.h"

namespace quorvex::tools {

// "      SIZE  CRC-32    name" for a file, "    folder            name\" for a folder.
void PrintEntries(const ReleaseCheckResult& checked, std::FILE* out);

// "signed for NAME by key ID (file)" for each signer, and a line for each signature ignored.
// keyFiles, when not empty, names the file of each trusted key, in the order of keys.
void PrintSignature(const SignatureVerdict& verdict, std::span<const PackageKey> keys,
                    const std::vector<std::string>& keyFiles, std::FILE* out);

}  // namespace quorvex::tools
