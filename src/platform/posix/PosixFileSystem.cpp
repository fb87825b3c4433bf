#include "platform/posix/PosixFileSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

namespace quorvex {
namespace {

[[noreturn]] void Fail(FileSystemFailure kind, const std::string& path, int error) {
  throw FileSystemError(kind, path, static_cast<std::uint32_t>(error), std::strerror(error));
}

bool IsFolder(const std::string& host) {
  struct stat info {};
  return ::stat(host.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Makes one folder; an existing folder is fine. Anything else in the way, or a refusal,
// throws naming shown (the folder as the caller knows it) with the system's reason.
void MakeFolder(const std::string& host, const std::string& shown) {
  if (::mkdir(host.c_str(), 0777) == 0) return;
  const int error = errno;
  if (!IsFolder(host)) Fail(FileSystemFailure::kCreateFolder, shown, error);
}

class PosixOutputFile : public OutputFile {
 public:
  PosixOutputFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixOutputFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  // A short write is continued: the system says why it stopped (ENOSPC, EFBIG, EIO) on the
  // call after it, and that reason, with what the file holds by then, is the failure.
  std::size_t Write(const std::uint8_t* data, std::size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t written = ::write(fd_, data + done, size - done);
      if (written < 0) {
        const int error = errno;
        if (error == EINTR) continue;
        std::string reason = std::strerror(error);
        if (done > 0) reason += " after " + std::to_string(done) + " of " + std::to_string(size) + " bytes";
        throw FileSystemError(FileSystemFailure::kWrite, path_, static_cast<std::uint32_t>(error), reason);
      }
      if (written == 0) break;
      done += static_cast<std::size_t>(written);
    }
    return done;
  }

  bool SetTimes(DosDateTime when) override {
    LocalCalendarTime local;
    if (!DecodeDosDateTime(when, local)) return false;
    std::tm fields{};
    fields.tm_year = local.year - 1900;
    fields.tm_mon = local.month - 1;
    fields.tm_mday = local.day;
    fields.tm_hour = local.hour;
    fields.tm_min = local.minute;
    fields.tm_sec = local.second;
    fields.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&fields);
    if (seconds == static_cast<std::time_t>(-1)) return false;
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    return ::futimens(fd_, times) == 0;
  }

  void Close() override {
    const int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0) Fail(FileSystemFailure::kClose, path_, errno);
  }

 private:
  int fd_;
  std::string path_;
};

}  // namespace

PosixFileSystem::PosixFileSystem(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string PosixFileSystem::HostPath(const std::string& path) const {
  std::string_view rest = path;
  if (rest.size() >= 2 && rest[1] == ':') rest.remove_prefix(2);
  std::string host = root_;
  for (const char c : rest) {
    const char mapped = c == '\\' ? '/' : c;
    if (mapped == '/' && !host.empty() && host.back() == '/') continue;
    host += mapped;
  }
  if (host.size() > 1 && host.back() == '/') host.pop_back();
  return host;
}

bool PosixFileSystem::FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(HostPath(path).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool PosixFileSystem::FolderExists(const std::string& path) {
  struct stat info {};
  return ::stat(HostPath(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool PosixFileSystem::RemoveFile(const std::string& path) { return ::unlink(HostPath(path).c_str()) == 0; }

void PosixFileSystem::CreateFolderTree(const std::string& path) {
  if (IsFolder(HostPath(path))) return;
  // The root's own ancestors first, named as the host knows them; then each folder of the
  // path, named as the caller wrote it.
  for (std::size_t slash = root_.find('/', 1); slash != std::string::npos; slash = root_.find('/', slash + 1)) {
    MakeFolder(root_.substr(0, slash), root_.substr(0, slash));
  }
  if (!root_.empty()) MakeFolder(root_, root_);
  const std::size_t start = path.size() >= 2 && path[1] == ':' ? 2 : 0;
  for (std::size_t at = path.find_first_of("\\/", start);; at = path.find_first_of("\\/", at + 1)) {
    const std::string folder = path.substr(0, at);
    if (folder.size() > start) MakeFolder(HostPath(folder), folder);
    if (at == std::string::npos || at + 1 == path.size()) break;
  }
}

std::unique_ptr<OutputFile> PosixFileSystem::CreateOutputFile(const std::string& path) {
  const std::string host = HostPath(path);
  // A new file needs nothing more; an existing one is checked, held, then truncated.
  int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  const bool existed = fd < 0 && errno == EEXIST;
  if (existed) {
    // A read-only file (an earlier release's, say) is made writable first; its mode comes
    // back if it still cannot be opened.
    std::optional<mode_t> restore;
    const int probe = ::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (probe >= 0) {
      struct stat info {};
      if (::fstat(probe, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0 &&
          ::fchmod(probe, (info.st_mode | S_IWUSR) & 07777) == 0) {
        restore = info.st_mode & 07777;
      }
      fd = ::open(host.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
      const int openError = errno;
      if (fd < 0 && restore) ::fchmod(probe, *restore);
      ::close(probe);
      errno = openError;
    } else {
      fd = ::open(host.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    }
  }
  if (fd < 0) Fail(FileSystemFailure::kCreateFile, path, errno);
  auto file = std::make_unique<PosixOutputFile>(fd, path);
  // Advisory, but it keeps two of our own writers off the same file.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    throw FileSystemError(FileSystemFailure::kReplace, path, static_cast<std::uint32_t>(error), "the file is in use");
  }
  if (existed && ::ftruncate(fd, 0) != 0) Fail(FileSystemFailure::kReplace, path, errno);
  return file;
}

bool PosixFileSystem::ApplyAttributes(const std::string& path, std::uint32_t attributes) {
  if ((attributes & kAttributeReadOnly) == 0) return true;
  const std::string host = HostPath(path);
  struct stat info {};
  if (::stat(host.c_str(), &info) != 0) return false;
  return ::chmod(host.c_str(), info.st_mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH) & 07777) == 0;
}

}  // namespace quorvex
