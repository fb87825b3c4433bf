#pragma once
// The second stage of unpacking: one file entry's data, stored or deflated, produced into
// the writer a piece at a time, from the file's start to its end.

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "install/EntryWriter.h"
#include "install/PackageCheck.h"

namespace quorvex {

// zlib's raw inflater, made on first use and reset for each entry after that: a package of
// stored entries never needs one.
class InflateStream {
 public:
  InflateStream() = default;
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;
  ~InflateStream();
  // The stream, ready for a new entry. Throws UnpackError when zlib cannot start.
  z_stream& Begin();

 private:
  z_stream stream_{};
  bool started_ = false;
};

// One file entry on its way into the writer's slot: the constructor begins the file, each
// Step produces one piece (a chunk of stored data, or a region inflated), and the Step that
// finds the data complete ends the file with its CRC-32, time and attributes. Steps throw
// UnpackError for data that ends early or does not inflate, after queuing what came before
// the fault. The entry's data and the inflater must outlive it.
class FileProduction {
 public:
  FileProduction(const CheckedEntry& checked, std::string path, EntryWriter& writer, InflateStream& inflater,
                 int slot);
  // False once the file is ended.
  bool Step();

 private:
  bool StepStored();
  bool StepInflated();
  void End();
  [[noreturn]] void Fault(const std::string& what) const;

  EntryWriter& writer_;
  const ZipEntry entry_;
  const std::string name_;
  const int slot_;
  z_stream* stream_ = nullptr;  // while inflating
  const std::uint8_t* next_;
  std::uint64_t inputLeft_;
  std::uint64_t outputLeft_;
  bool streamEnded_ = false;
  // Taken here once the writer lags behind; otherwise the writer takes it.
  std::optional<std::uint32_t> crc_;
};

}  // namespace quorvex
