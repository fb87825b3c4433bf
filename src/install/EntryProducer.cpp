#include "install/EntryProducer.h"

#include <algorithm>
#include <limits>

#include "install/UnpackError.h"

namespace quorvex {
namespace {

constexpr std::uint32_t kDosAttributeMask = kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive;

// Stored data is written straight from the package, in chunks of 1 MiB: on Linux ext4,
// single writes of 2 MiB and more measured about ten times slower per byte.
constexpr std::size_t kStoredChunk = std::size_t{1} << 20;

}  // namespace

InflateStream::~InflateStream() {
  if (started_) inflateEnd(&stream_);
}

z_stream& InflateStream::Begin() {
  if (started_) {
    inflateReset(&stream_);
  } else {
    if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) {
      throw UnpackError(UnpackFailure::kResources, "Cannot start inflating: out of memory");
    }
    started_ = true;
  }
  stream_.avail_in = 0;
  return stream_;
}

FileProduction::FileProduction(const CheckedEntry& checked, std::string path, EntryWriter& writer,
                               InflateStream& inflater, int slot)
    : writer_(writer), entry_(checked.entry), name_(checked.name), slot_(slot), next_(checked.data.data()),
      inputLeft_(checked.data.size()), outputLeft_(checked.entry.uncompressedSize) {
  if (checked.inflated()) stream_ = &inflater.Begin();
  if (writer_.Behind()) crc_ = static_cast<std::uint32_t>(crc32_z(0, nullptr, 0));
  writer_.BeginFile(std::move(path), name_, crc_.has_value(), slot_);
}

bool FileProduction::Step() {
  return stream_ ? StepInflated() : StepStored();
}

bool FileProduction::StepStored() {
  if (outputLeft_ == 0) {
    End();
    return false;
  }
  if (inputLeft_ == 0) Fault("its data ends early");
  const std::size_t chunk = static_cast<std::size_t>(std::min({outputLeft_, inputLeft_, std::uint64_t{kStoredChunk}}));
  writer_.Write(next_, chunk, slot_);
  // The package is only read, so this runs alongside the writer's copy of the chunk.
  if (crc_) crc_ = static_cast<std::uint32_t>(crc32_z(*crc_, next_, chunk));
  next_ += chunk;
  inputLeft_ -= chunk;
  outputLeft_ -= chunk;
  return true;
}

bool FileProduction::StepInflated() {
  if (outputLeft_ == 0 || streamEnded_) {
    if (outputLeft_ > 0) Fault("its data ends early");
    End();
    return false;
  }
  constexpr std::uint64_t kMaxInput = std::numeric_limits<uInt>::max();
  z_stream& stream = *stream_;
  const std::span<std::uint8_t> region = writer_.Region(outputLeft_);
  stream.next_out = region.data();
  stream.avail_out = static_cast<uInt>(region.size());
  std::string fault;
  while (stream.avail_out > 0) {
    if (stream.avail_in == 0 && inputLeft_ > 0) {
      const std::uint64_t chunk = std::min(inputLeft_, kMaxInput);
      stream.next_in = const_cast<Bytef*>(next_);
      stream.avail_in = static_cast<uInt>(chunk);
      next_ += chunk;
      inputLeft_ -= chunk;
    }
    const int result = inflate(&stream, Z_NO_FLUSH);
    if (result == Z_STREAM_END) {
      streamEnded_ = true;
      break;
    }
    if (result == Z_BUF_ERROR && stream.avail_in == 0 && inputLeft_ == 0) {
      fault = "its data ends early";
      break;
    }
    if (result != Z_OK) {
      fault = std::string("its data cannot be inflated (") + (stream.msg ? stream.msg : "zlib error") + ")";
      break;
    }
  }
  const std::size_t produced = region.size() - stream.avail_out;
  // Taken while the region is still in cache; the block is reused only after it is released.
  if (crc_) crc_ = static_cast<std::uint32_t>(crc32_z(*crc_, region.data(), produced));
  writer_.Write(region.data(), produced, slot_);
  writer_.Used(produced);
  outputLeft_ -= produced;
  if (!fault.empty()) Fault(fault);
  return true;
}

void FileProduction::End() {
  const bool dosHost = (entry_.versionMadeBy >> 8) == 0;
  writer_.EndFile(entry_.crc32, crc_, DosDateTime{entry_.dosDate, entry_.dosTime},
                  dosHost ? std::optional(entry_.externalAttributes & kDosAttributeMask) : std::nullopt, slot_);
}

void FileProduction::Fault(const std::string& what) const {
  throw UnpackError(UnpackFailure::kBadData, EntryPrefix(name_) + what, name_);
}

}  // namespace quorvex
