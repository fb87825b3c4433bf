#pragma once
// Test harness for the real qv-service binary: starts it on a free loopback port with a
// throw-away certificate, and talks to it over TLS with a small blocking client that can also
// misbehave (send bytes slowly, send anything at all, stop reading).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace quorvex::service::testing {

namespace fs = std::filesystem;

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(length));
  return out;
}

// The installer's wire form of a custom header: percent-encoded Base64 of the UTF-8 text.
inline std::string HeaderValue(const std::string& text) {
  std::string out;
  for (const char c : Base64(text)) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_') {
      out += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      out += escaped;
    }
  }
  return out;
}

inline std::string BasicAuthorization(const std::string& user, const std::string& password) {
  return "Basic " + Base64(user + ":" + password);
}

using Headers = std::vector<std::pair<std::string, std::string>>;

inline Headers InstallerHeaders(const std::string& fileName) {
  return {{"x-database", HeaderValue("server_files")},
          {"x-filename", HeaderValue("updates\\" + fileName)},
          {"Authorization", BasicAuthorization("Tellavorne", "&vOlt_582%")}};
}

// Replaces (or with an empty value removes) one header.
inline Headers With(Headers headers, const std::string& name, const std::string& value) {
  std::erase_if(headers, [&](const auto& header) { return header.first == name; });
  if (!value.empty()) headers.emplace_back(name, value);
  return headers;
}

inline std::string RequestText(const std::string& method, const std::string& target, const Headers& headers) {
  std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (const auto& [name, value] : headers) text += name + ": " + value + "\r\n";
  return text + "\r\n";
}

// Peak and current resident memory of a process, in KiB.
inline long ResidentKiB(pid_t pid, const char* field = "VmHWM:") {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string prefix = field;
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  return -1;
}

struct Response {
  int status = 0;
  std::string reason;
  std::multimap<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? "" : found->second;
  }
};

struct TlsOptions {
  int minVersion = 0;
  int maxVersion = 0;
  const char* ciphers = nullptr;  // TLS 1.2 cipher list
};

// A blocking TLS client connection to 127.0.0.1:port that verifies the service's certificate.
class TlsClient {
 public:
  TlsClient(int port, const fs::path& caFile, TlsOptions options = {}) {
    context_.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_load_verify_locations(context_.get(), caFile.c_str(), nullptr);
    SSL_CTX_set_verify(context_.get(), SSL_VERIFY_PEER, nullptr);
    if (options.minVersion) SSL_CTX_set_min_proto_version(context_.get(), options.minVersion);
    if (options.maxVersion) SSL_CTX_set_max_proto_version(context_.get(), options.maxVersion);
    if (options.ciphers) SSL_CTX_set_cipher_list(context_.get(), options.ciphers);
    fd_ = ConnectTcp(port);
    SetReceiveTimeout(30);
    ssl_.reset(SSL_new(context_.get()));
    SSL_set_fd(ssl_.get(), fd_);
    handshook_ = SSL_connect(ssl_.get()) == 1;
    ERR_clear_error();
  }
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;
  ~TlsClient() {
    ssl_.reset();
    if (fd_ >= 0) ::close(fd_);
  }

  static int ConnectTcp(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
    return fd;
  }

  bool Handshook() const { return handshook_; }
  SSL* Ssl() const { return ssl_.get(); }
  int Descriptor() const { return fd_; }

  void SetReceiveTimeout(int seconds) {
    timeval timeout{seconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }

  // False when the service has closed the connection (or reset it).
  bool Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      std::size_t wrote = 0;
      if (SSL_write_ex(ssl_.get(), bytes.data() + done, bytes.size() - done, &wrote) != 1) {
        ERR_clear_error();
        return false;
      }
      done += wrote;
    }
    return true;
  }

  // Up to size bytes; empty at the end of the stream, on a reset or after the receive time-out.
  std::string ReadSome(std::size_t size = 65536) {
    std::string bytes(size, '\0');
    std::size_t got = 0;
    if (SSL_read_ex(ssl_.get(), bytes.data(), size, &got) != 1) {
      ERR_clear_error();
      return {};
    }
    bytes.resize(got);
    return bytes;
  }

  // True when the service ends the connection within the given time without sending anything more.
  bool ClosedWithin(int seconds, std::string* extra = nullptr) {
    SetReceiveTimeout(seconds);
    const auto start = std::chrono::steady_clock::now();
    while (true) {
      std::string bytes(4096, '\0');
      std::size_t got = 0;
      if (SSL_read_ex(ssl_.get(), bytes.data(), bytes.size(), &got) == 1) {
        if (extra) *extra += bytes.substr(0, got);
        continue;
      }
      const int error = SSL_get_error(ssl_.get(), 0);
      ERR_clear_error();
      // A receive time-out shows as a read that would block.
      const bool timedOut = error == SSL_ERROR_WANT_READ ||
                            std::chrono::steady_clock::now() - start >= std::chrono::seconds(seconds);
      SetReceiveTimeout(30);
      return !timedOut;
    }
  }

  // One response: status line, headers, then Content-Length bytes of body (none for HEAD).
  // bodySink, when given, receives the body instead of Response::body. Empty on a closed connection.
  std::optional<Response> ReadResponse(bool head = false,
                                       const std::function<void(const char*, std::size_t)>& bodySink = nullptr) {
    std::size_t end;
    while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
      const std::string more = ReadSome();
      if (more.empty()) return std::nullopt;
      pending_ += more;
    }
    Response response;
    std::string head_ = pending_.substr(0, end + 2);
    pending_.erase(0, end + 4);
    std::size_t lineEnd = head_.find("\r\n");
    const std::string statusLine = head_.substr(0, lineEnd);
    if (statusLine.rfind("HTTP/1.1 ", 0) != 0) throw std::runtime_error("bad status line: " + statusLine);
    response.status = std::stoi(statusLine.substr(9, 3));
    response.reason = statusLine.size() > 13 ? statusLine.substr(13) : "";
    for (std::size_t start = lineEnd + 2; start < head_.size(); start = lineEnd + 2) {
      lineEnd = head_.find("\r\n", start);
      const std::string line = head_.substr(start, lineEnd - start);
      const std::size_t colon = line.find(':');
      std::string name = line.substr(0, colon);
      for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.erase(0, 1);
      response.headers.emplace(name, value);
    }
    if (head) return response;
    const std::string length = response.Header("content-length");
    std::uint64_t left = length.empty() ? 0 : std::stoull(length);
    auto take = [&](const char* data, std::size_t size) {
      if (bodySink) {
        bodySink(data, size);
      } else {
        response.body.append(data, size);
      }
    };
    const std::size_t now = static_cast<std::size_t>(std::min<std::uint64_t>(left, pending_.size()));
    take(pending_.data(), now);
    pending_.erase(0, now);
    left -= now;
    while (left > 0) {
      std::string more = ReadSome(static_cast<std::size_t>(std::min<std::uint64_t>(left, 1 << 20)));
      if (more.empty()) return std::nullopt;
      take(more.data(), more.size());
      left -= more.size();
    }
    return response;
  }

  std::optional<Response> Request(const std::string& method, const std::string& target, const Headers& headers) {
    if (!Send(RequestText(method, target, headers))) return std::nullopt;
    return ReadResponse(method == "HEAD");
  }

  // Bytes received after a response, kept for the next one.
  const std::string& Pending() const { return pending_; }

 private:
  struct ContextDeleter {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  };
  struct SslDeleter {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
  };
  std::unique_ptr<SSL_CTX, ContextDeleter> context_;
  std::unique_ptr<SSL, SslDeleter> ssl_;
  int fd_ = -1;
  bool handshook_ = false;
  std::string pending_;
};

class ServiceProcess {
 public:
  ServiceProcess(const fs::path& dir, const std::vector<std::string>& extraArgs) : dir_(dir) {
    const fs::path portFile = dir_ / "port";
    fs::remove(portFile);
    std::vector<std::string> args = {QUORVEX_SERVICE_BINARY,   "--listen",  "127.0.0.1:0",
                                     "--cert",                 (dir_ / "cert.pem").string(),
                                     "--key",                  (dir_ / "key.pem").string(),
                                     "--port-file",            portFile.string()};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + args[0]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("qv-service ended at start: " + ReadText(dir_ / "stderr"));
      }
      if (fs::exists(portFile)) {
        port_ = std::stoi(ReadText(portFile));
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("qv-service did not start listening");
  }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;
  ~ServiceProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Sends the signal and returns the exit status, or -1 when the process did not exit by itself
  // within the given time.
  int Stop(int signal, int seconds = 20) {
    kill(pid_, signal);
    return WaitExit(seconds);
  }
  int WaitExit(int seconds) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool Running() {
    int status = 0;
    return pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0;
  }

  std::unique_ptr<TlsClient> Client(TlsOptions options = {}) const {
    return std::make_unique<TlsClient>(port_, dir_ / "cert.pem", options);
  }

  // One request on a fresh connection.
  std::optional<Response> Get(const std::string& target, const Headers& headers, const std::string& method = "GET") const {
    return Client()->Request(method, target, headers);
  }

  // The access log once it holds at least `lines` lines (or after 5 s): a request's line is
  // written when its answer is done, which may be just after the client has read it.
  std::string AccessLog(std::size_t lines = 0) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      std::string log = ReadText(dir_ / "stdout");
      if (static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n')) >= lines ||
          std::chrono::steady_clock::now() > deadline) {
        return log;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  pid_t Pid() const { return pid_; }
  int Port() const { return port_; }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A folder with a throw-away certificate and an empty storage area, removed at the end.
class ServiceFolder {
 public:
  explicit ServiceFolder(const std::string& name)
      : dir_(fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
    // Writing to a connection the service has closed is part of what the tests do.
    signal(SIGPIPE, SIG_IGN);
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "storage/server_files/updates");
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                                " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout '" +
                                (dir_ / "key.pem").string() + "' -out '" + (dir_ / "cert.pem").string() +
                                "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
  }
  ~ServiceFolder() { fs::remove_all(dir_); }
  const fs::path& Path() const { return dir_; }
  fs::path Updates() const { return dir_ / "storage/server_files/updates"; }
  std::string Storage() const { return (dir_ / "storage").string(); }

 private:
  fs::path dir_;
};

}  // namespace quorvex::service::testing
