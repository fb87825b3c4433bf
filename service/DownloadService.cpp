#include "DownloadService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "HeaderText.h"

namespace quorvex::service {
namespace {

constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr std::size_t kBlockSize = 64 * 1024;
constexpr std::size_t kMaxRequestBody = 64 * 1024;

void Answer(httplib::Response& response, int status, const std::string& text) {
  response.status = status;
  response.set_content(text + "\n", kTextType);
}

// Empty when the header is absent, as well as when it does not decode.
std::optional<std::string> DecodedHeader(const httplib::Request& request, const char* name) {
  if (!request.has_header(name)) return std::nullopt;
  return DecodeHeaderValue(request.get_header_value(name));
}

// Bodies for the answers the HTTP layer gives by itself (unknown path, oversized request, ...).
std::string ReasonText(int status) {
  switch (status) {
    case 400: return "bad request";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 413: return "request body too large";
    case 414: return "request target too long";
    case 416: return "range not satisfiable";
    default: return "request refused";
  }
}

bool EndsWithCaseless(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                    [](char a, char b) { return (a | 0x20) == (b | 0x20); });
}

// Closes the descriptor when the last user (handler or content provider) lets go of it.
class OpenFile {
 public:
  explicit OpenFile(int fd) : fd_(fd) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() { ::close(fd_); }
  int Descriptor() const { return fd_; }

 private:
  int fd_;
};

// Texts that land in the log are escaped so a request cannot forge or break log lines.
std::string LogText(std::string_view text) {
  if (text.empty()) return "-";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '"') {
      std::array<char, 5> escaped{};
      std::snprintf(escaped.data(), escaped.size(), "\\x%02X", byte);
      out += escaped.data();
    } else {
      out += c;
    }
  }
  return out;
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  std::array<char, 32> text{};
  std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text.data();
}

}  // namespace

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
                                 std::ostream& accessLog)
    : storage_(std::move(storage)),
      account_(std::move(account)),
      endpoint_(NormalizeBasePath(basePath) + "/files/download"),
      accessLog_(accessLog) {}

void DownloadService::Attach(httplib::Server& server) {
  // Routes are regular expressions; the base path's only special character is ".". A request that
  // came through a proxy may name the whole URL as its target (absolute form), which HTTP/1.1 servers
  // must accept.
  std::string pattern = "(?:[Hh][Tt][Tt][Pp][Ss]?://[^/?#]+)?";
  for (const char c : endpoint_) {
    if (c == '.') pattern += '\\';
    pattern += c;
  }
  server.Get(pattern, [this](const httplib::Request& request, httplib::Response& response) {
    HandleDownload(request, response);
  });
  // Requests here carry no body; without a limit the server would hold whatever a POST announces.
  server.set_payload_max_length(kMaxRequestBody);
  server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty() || response.content_provider_) return httplib::Server::HandlerResponse::Unhandled;
    Answer(response, response.status, ReasonText(response.status));
    return httplib::Server::HandlerResponse::Handled;
  }));
  server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
    Answer(response, 500, "internal error");
  });
  server.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
    LogRequest(request, response);
  });
}

void DownloadService::HandleDownload(const httplib::Request& request, httplib::Response& response) const {
  const auto credentials = ParseBasicAuthorization(request.get_header_value("Authorization"));
  if (!credentials || !account_.Admits(credentials->user, credentials->password)) {
    response.set_header("WWW-Authenticate", "Basic realm=\"downloads\", charset=\"UTF-8\"");
    Answer(response, 401, "authentication required");
    return;
  }

  // Exactly one of each: with two, which file is meant would depend on which one a reader takes.
  if (request.get_header_value_count("x-database") != 1 || request.get_header_value_count("x-filename") != 1) {
    Answer(response, 400, "the headers x-database and x-filename are required, once each");
    return;
  }
  const auto area = DecodedHeader(request, "x-database");
  const auto name = DecodedHeader(request, "x-filename");
  if (!area || !name) {
    Answer(response, 400, "x-database and x-filename must be percent-encoded Base64 of UTF-8 text");
    return;
  }

  const StorageFile file = storage_.Find(*area, *name);
  if (file.lookup == StorageLookup::BadName) {
    Answer(response, 400, "refused file name: only plain relative names inside a storage area are served");
    return;
  }
  const int fd = file.lookup == StorageLookup::Found ? ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW) : -1;
  if (fd < 0) {
    Answer(response, 404, "file not found");
    return;
  }
  auto opened = std::make_shared<OpenFile>(fd);
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    Answer(response, 404, "file not found");
    return;
  }

  response.status = 200;
  const std::string type = EndsWithCaseless(*name, ".zip") ? "application/zip" : "application/octet-stream";
  const auto size = static_cast<std::size_t>(status.st_size);
  if (size == 0) {
    response.set_content("", type);
    return;
  }
  // Streamed block by block from the open file, so memory stays flat whatever the file's size.
  auto buffer = std::make_shared<std::vector<char>>(kBlockSize);
  response.set_content_provider(
      size, type, [opened, buffer](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        const std::size_t wanted = std::min(length, buffer->size());
        const ssize_t got = ::pread(opened->Descriptor(), buffer->data(), wanted, static_cast<off_t>(offset));
        // A file that shrank or failed mid-transfer ends the connection rather than padding the body.
        if (got <= 0) return false;
        return sink.write(buffer->data(), static_cast<std::size_t>(got));
      });
}

void DownloadService::LogRequest(const httplib::Request& request, const httplib::Response& response) {
  const auto credentials = ParseBasicAuthorization(request.get_header_value("Authorization"));
  const auto area = DecodedHeader(request, "x-database");
  const auto name = DecodedHeader(request, "x-filename");
  const std::size_t bytes = response.content_provider_ ? response.content_length_ : response.body.size();

  std::string line = UtcNow() + " " + request.remote_addr + " \"" + LogText(request.method) + " " +
                     LogText(request.target) + "\" " + std::to_string(response.status) + " " + std::to_string(bytes) +
                     " user=\"" + LogText(credentials ? credentials->user : "") + "\" file=\"" +
                     LogText(area && name ? *area + "\\" + *name : "") + "\"\n";
  const std::lock_guard<std::mutex> lock(logMutex_);
  accessLog_ << line << std::flush;
}

}  // namespace quorvex::service
