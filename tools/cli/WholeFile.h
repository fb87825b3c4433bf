#pragma once
// A file read whole into memory: the one reader of the developer tools and the benchmarks (the
// installer itself reads no file; its package arrives over the network).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "download/RestTypes.h"

namespace quorvex::tools {

struct WholeFile {
  std::shared_ptr<std::uint8_t[]> data;  // not cleared before the read: a package may be large
  std::size_t size = 0;

  std::span<const std::uint8_t> Bytes() const { return {data.get(), size}; }
  std::string_view Text() const { return {reinterpret_cast<const char*>(data.get()), size}; }
};

// Reads the file at path. observer, when given, sees the bytes read so far after each block, as a
// download's observer sees its body arrive, and is told Moving before the read returns or
// throws. Throws std::runtime_error saying what failed, with the path and the system's reason:
// "Cannot open PATH: ...", "Cannot read PATH: ..." (a folder, a file that ends early, one that
// does not fit in memory).
WholeFile ReadWholeFile(const std::filesystem::path& path, BodyObserver* observer = nullptr);

// The path as UTF-8 text, for messages.
std::string PathText(const std::filesystem::path& path);

}  // namespace quorvex::tools
