// Feeds arbitrary bytes to the unpacker as a package. Anything but success or an
// UnpackError (a crash, a sanitizer report, another exception) is a finding.

#include <cstddef>
#include <cstdint>

#include "ZipTestSupport.h"
#include "install/Unpacker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvex::testing::MemoryFileSystem files;
  // Bounded so that a tiny input announcing gigabytes cannot exhaust memory in the fake.
  files.writeCapacity = std::size_t{64} << 20;
  try {
    quorvex::UnpackPackage({data, size}, "C:\\Quorvex\\", files);
  } catch (const quorvex::UnpackError&) {
  }
  return 0;
}
