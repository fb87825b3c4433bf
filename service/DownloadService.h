#pragma once
// The download endpoint: GET (or HEAD) <base path>/files/download, the file named by the request
// headers "x-database" (storage area) and "x-filename" (relative name), for the one service
// account. This class decides the answer to one request; ServiceConnection moves the bytes.

#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/message.hpp>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "EdgeLink.h"
#include "ServiceAccount.h"
#include "StorageFiles.h"

namespace quorvex::service {

// An open file descriptor, closed with the last owner.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(FileHandle&& other) noexcept : fd_(other.Release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// What identifies one version of a file: a response is complete only if the file it streams still
// has the same one when its last bytes go out. An in-place write or truncation changes the size
// or the modification time; a rename over the path leaves the open file as it was, whole. The
// change time is left out: unlinking the old release (the rename) or a chmod changes it, not the
// bytes.
struct FileVersion {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;

  bool operator==(const FileVersion&) const = default;
};

// The version of an open file; nullopt when it cannot be read.
std::optional<FileVersion> VersionOf(int fd);

struct Reply {
  boost::beast::http::response_header<> head;  // status and fields, Content-Length included
  std::string body;       // follows the header unless the request was HEAD
  FileHandle file;        // when open: bytes [offset, offset + length) of it follow instead
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  FileVersion version;    // of the open file when the answer was decided
  bool close = false;     // the connection's byte stream can no longer be trusted
  std::string user;       // for the access log: the user name offered
  std::string fileName;   // for the access log: area "\" name, when both decoded
};

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") of a time.
std::string HttpDate(std::time_t when);

// A short text answer with the given status, as every refusal is given.
Reply TextReply(boost::beast::http::status status, const std::string& text);

class DownloadService {
 public:
  // basePath: "/admin" style; a trailing "/" is ignored and "" or "/" mean the server root.
  // edge: when set, found files are answered with a redirect to a signed edge link.
  DownloadService(StorageRoot storage, ServiceAccount account, std::string basePath,
                  std::optional<EdgeLinks> edge = std::nullopt);

  // The answer to a request that carries no body (the server refuses bodies before this).
  Reply Answer(const boost::beast::http::request_header<>& request) const;

  const std::string& EndpointPath() const { return endpoint_; }

 private:
  StorageRoot storage_;
  ServiceAccount account_;
  std::string endpoint_;
  std::optional<EdgeLinks> edge_;
};

// The base path as the endpoint prefix: leading "/", no trailing "/". Throws std::invalid_argument
// for a path that does not start with "/" or holds characters a request path cannot carry as is.
std::string NormalizeBasePath(const std::string& basePath);

}  // namespace quorvex::service
