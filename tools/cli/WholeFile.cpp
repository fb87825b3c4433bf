#include "WholeFile.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/TextConversion.h"
#include "platform/win32/UniqueHandle.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace quorvex::tools {
namespace {

// One call reads at most this much; the observer hears of each block.
constexpr std::size_t kBlock = std::size_t{1} << 24;

// Whatever way reading ends, the observer stops reading the buffer before it can go.
struct StopObserving {
  BodyObserver* observer;
  ~StopObserving() {
    if (observer) observer->Moving();
  }
};

[[noreturn]] void Fail(const char* what, const std::filesystem::path& path, const std::string& reason) {
  throw std::runtime_error(std::string(what) + " " + PathText(path) + ": " + reason);
}

#ifdef _WIN32
std::string LastReason() { return win32::SystemErrorText(::GetLastError()); }
#else
std::string LastReason() { return std::strerror(errno); }
#endif

}  // namespace

std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

WholeFile ReadWholeFile(const std::filesystem::path& path, BodyObserver* observer) {
#ifdef _WIN32
  win32::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) Fail("Cannot open", path, LastReason());
  LARGE_INTEGER length{};
  if (!::GetFileSizeEx(file.get(), &length)) Fail("Cannot read", path, LastReason());
  const auto size = static_cast<std::uint64_t>(length.QuadPart);
#else
  struct Descriptor {
    int fd;
    ~Descriptor() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) Fail("Cannot open", path, LastReason());
  struct stat information {};
  if (::fstat(file.fd, &information) != 0) Fail("Cannot read", path, LastReason());
  if (S_ISDIR(information.st_mode)) Fail("Cannot read", path, std::strerror(EISDIR));
  const auto size = static_cast<std::uint64_t>(information.st_size);
#endif
  // Half the address space at most: a 32-bit program still needs room beside it.
  if (size > SIZE_MAX / 2) Fail("Cannot read", path, "the file does not fit in memory");
  WholeFile whole{std::make_shared_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(size)),
                  static_cast<std::size_t>(size)};
  const StopObserving stop{observer};
  std::size_t done = 0;
  while (done < whole.size) {
    const std::size_t want = std::min(whole.size - done, kBlock);
#ifdef _WIN32
    DWORD got = 0;
    if (!::ReadFile(file.get(), whole.data.get() + done, static_cast<DWORD>(want), &got, nullptr)) {
      Fail("Cannot read", path, LastReason());
    }
#else
    const ssize_t got = ::read(file.fd, whole.data.get() + done, want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail("Cannot read", path, LastReason());
#endif
    if (got == 0) {
      Fail("Cannot read", path,
           "it ended after " + std::to_string(done) + " of " + std::to_string(whole.size) + " bytes");
    }
    done += static_cast<std::size_t>(got);
    if (observer) observer->Arrived({whole.data.get(), done});
  }
  return whole;
}

}  // namespace quorvex::tools
