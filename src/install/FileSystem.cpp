#include "install/FileSystem.h"

namespace quorvex {

void WriteWholeFile(FileSystem& fileSystem, const std::string& path, std::span<const std::uint8_t> data) {
  std::unique_ptr<OutputFile> file = fileSystem.CreateOutputFile(path);
  std::size_t done = 0;
  while (done < data.size()) {
    const std::size_t stored = file->Write(data.data() + done, data.size() - done);
    if (stored == 0) throw FileSystemError("Cannot write " + path + ": the write stored nothing");
    done += stored;
  }
  file->Close();
}

}  // namespace quorvex
