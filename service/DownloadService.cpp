#include "DownloadService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <utility>

#include "ByteRange.h"
#include "HeaderText.h"
#include "text/AsciiCase.h"

namespace quorvex::service {
namespace http = boost::beast::http;
namespace {

constexpr const char* kTextType = "text/plain; charset=utf-8";

// The path of a request target in origin form ("/a/b?q") or absolute form ("https://host/a/b?q"),
// which a request through a proxy carries and HTTP/1.1 servers must accept.
std::string_view TargetPath(std::string_view target) {
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (StartsWithIgnoreCase(target, scheme)) {
      const std::size_t slash = target.find('/', scheme.size());
      target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
      break;
    }
  }
  return target.substr(0, target.find('?'));
}

// The value of a header that must appear exactly once; empty when missing or repeated.
std::optional<std::string_view> SingleHeader(const http::request_header<>& request, std::string_view name) {
  if (request.count(name) != 1) return std::nullopt;
  return request.find(name)->value();
}

std::optional<std::string> DecodedHeader(const http::request_header<>& request, std::string_view name) {
  const auto value = SingleHeader(request, name);
  if (!value) return std::nullopt;
  return DecodeHeaderValue(*value);
}

}  // namespace

std::string HttpDate(std::time_t when) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  std::array<char, 40> text{};
  std::strftime(text.data(), text.size(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text.data();
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

FileHandle::~FileHandle() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<FileVersion> VersionOf(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::nullopt;
  FileVersion version;
  version.device = static_cast<std::uint64_t>(status.st_dev);
  version.inode = static_cast<std::uint64_t>(status.st_ino);
  version.size = static_cast<std::uint64_t>(status.st_size);
  version.modifiedSeconds = status.st_mtim.tv_sec;
  version.modifiedNanoseconds = status.st_mtim.tv_nsec;
  return version;
}

Reply TextReply(http::status status, const std::string& text) {
  Reply reply;
  reply.head.result(status);
  reply.head.set(http::field::content_type, kTextType);
  reply.body = text + "\n";
  reply.head.set(http::field::content_length, std::to_string(reply.body.size()));
  return reply;
}

std::string NormalizeBasePath(const std::string& basePath) {
  std::string path = basePath;
  while (!path.empty() && path.back() == '/') path.pop_back();
  if (path.empty()) return path;
  if (path.front() != '/') throw std::invalid_argument("base path must start with \"/\": " + basePath);
  const bool plain = std::all_of(path.begin(), path.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
           c == '_' || c == '.' || c == '~';
  });
  if (!plain) throw std::invalid_argument("base path may hold only letters, digits and / - _ . ~: " + basePath);
  return path;
}

DownloadService::DownloadService(StorageRoot storage, ServiceAccount account, std::string basePath,
                                 std::optional<EdgeLinks> edge)
    : storage_(std::move(storage)),
      account_(std::move(account)),
      endpoint_(NormalizeBasePath(basePath) + "/files/download"),
      edge_(std::move(edge)) {}

Reply DownloadService::Answer(const http::request_header<>& request) const {
  if (request.method() != http::verb::get && request.method() != http::verb::head) {
    Reply reply = TextReply(http::status::method_not_allowed, "only GET and HEAD are served");
    reply.head.set(http::field::allow, "GET, HEAD");
    return reply;
  }
  if (TargetPath(request.target()) != endpoint_) return TextReply(http::status::not_found, "not found");

  // One Authorization header only: with two, which one counts would depend on who reads them.
  const auto authorization = SingleHeader(request, "Authorization");
  const auto credentials = authorization ? ParseBasicAuthorization(*authorization) : std::nullopt;
  const std::string user = credentials ? credentials->user : "";
  if (!credentials || !account_.Admits(credentials->user, credentials->password)) {
    Reply reply = TextReply(http::status::unauthorized, "authentication required");
    reply.head.set(http::field::www_authenticate, "Basic realm=\"downloads\", charset=\"UTF-8\"");
    reply.user = user;
    return reply;
  }

  // Exactly one of each: with two, which file is meant would depend on which one a reader takes.
  if (request.count("x-database") != 1 || request.count("x-filename") != 1) {
    Reply reply = TextReply(http::status::bad_request, "the headers x-database and x-filename are required, once each");
    reply.user = user;
    return reply;
  }
  const auto area = DecodedHeader(request, "x-database");
  const auto name = DecodedHeader(request, "x-filename");
  if (!area || !name) {
    Reply reply =
        TextReply(http::status::bad_request, "x-database and x-filename must be percent-encoded Base64 of UTF-8 text");
    reply.user = user;
    return reply;
  }
  const std::string fileName = *area + "\\" + *name;
  auto refuse = [&](http::status status, const std::string& text) {
    Reply reply = TextReply(status, text);
    reply.user = user;
    reply.fileName = fileName;
    return reply;
  };

  const StorageFile file = storage_.Find(*area, *name);
  if (file.lookup == StorageLookup::BadName) {
    return refuse(http::status::bad_request, "refused file name: only plain relative names inside a storage area are served");
  }
  if (file.lookup != StorageLookup::Found) return refuse(http::status::not_found, "file not found");

  if (edge_) {
    Reply reply = refuse(http::status::temporary_redirect, "the file is served by an edge server");
    reply.head.set(http::field::location, edge_->Location(*area, *name, static_cast<std::int64_t>(std::time(nullptr))));
    // The link is a short-lived credential: no cache may keep it.
    reply.head.set(http::field::cache_control, "no-store");
    return reply;
  }

  FileHandle opened(::open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat status {};
  if (!opened || ::fstat(opened.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return refuse(http::status::not_found, "file not found");
  }
  const auto version = VersionOf(opened.Get());
  if (!version) return refuse(http::status::not_found, "file not found");
  const std::uint64_t size = version->size;

  Reply reply;
  reply.user = user;
  reply.fileName = fileName;
  reply.version = *version;
  reply.head.result(http::status::ok);
  reply.head.set(http::field::content_type,
                 EndsWithIgnoreCase(*name, ".zip") ? "application/zip" : "application/octet-stream");
  reply.head.set(http::field::accept_ranges, "bytes");
  const std::string lastModified = HttpDate(static_cast<std::time_t>(version->modifiedSeconds));
  // Size, modification time and inode: a release renamed into place gets another tag even when
  // its copy kept the old one's size and time.
  std::array<char, 80> tag{};
  std::snprintf(tag.data(), tag.size(), "\"%" PRIx64 "-%" PRIx64 "-%" PRIx64 "\"", size,
                static_cast<std::uint64_t>(version->modifiedSeconds) * 1000000000u +
                    static_cast<std::uint64_t>(version->modifiedNanoseconds),
                version->inode);
  reply.head.set(http::field::last_modified, lastModified);
  reply.head.set(http::field::etag, tag.data());
  // A date names one version only once a second has passed since it: a file rewritten within
  // the second of its last change keeps the same date, so such a date is no validator yet.
  const bool dateIsStrong = version->modifiedSeconds + 1 < static_cast<std::int64_t>(std::time(nullptr));

  ByteRangeAnswer range;
  if (request.count(http::field::range) == 1) {
    // A resumed download must not splice two versions of a file: a range counts only while the
    // validator the client holds still names this version.
    const auto ifRange = SingleHeader(request, "If-Range");
    if (request.count("If-Range") == 0 || (ifRange && (*ifRange == tag.data() || (dateIsStrong && *ifRange == lastModified)))) {
      range = ParseByteRange(request[http::field::range], size);
    }
  }
  reply.length = size;
  if (range.kind == ByteRangeAnswer::Unsatisfiable) {
    Reply refused = refuse(http::status::range_not_satisfiable, "range not satisfiable");
    refused.head.set(http::field::content_range, "bytes */" + std::to_string(size));
    return refused;
  }
  if (range.kind == ByteRangeAnswer::Part) {
    reply.head.result(http::status::partial_content);
    reply.head.set(http::field::content_range, "bytes " + std::to_string(range.first) + "-" +
                                                   std::to_string(range.last) + "/" + std::to_string(size));
    reply.offset = range.first;
    reply.length = range.last - range.first + 1;
  }
  reply.head.set(http::field::content_length, std::to_string(reply.length));
  if (reply.length > 0) reply.file = std::move(opened);
  return reply;
}

}  // namespace quorvex::service
