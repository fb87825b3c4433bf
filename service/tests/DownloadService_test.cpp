// Runs the real qv-service binary over HTTPS on a free port and talks to it as the installer does.

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(length));
  return out;
}

// The installer's wire form of a custom header: percent-encoded Base64 of the UTF-8 text.
std::string HeaderValue(const std::string& text) {
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

std::string BasicAuthorization(const std::string& user, const std::string& password) {
  return "Basic " + Base64(user + ":" + password);
}

// Peak resident memory of a process, in KiB.
long PeakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

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

  // Sends the signal and returns the exit status, or -1 when the process did not exit by itself.
  int Stop(int signal) {
    kill(pid_, signal);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::unique_ptr<httplib::SSLClient> Client() const {
    auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", port_);
    client->set_ca_cert_path((dir_ / "cert.pem").c_str());
    client->enable_server_certificate_verification(true);
    client->set_read_timeout(30, 0);
    return client;
  }

  std::string AccessLog() const { return ReadText(dir_ / "stdout"); }
  pid_t Pid() const { return pid_; }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

class DownloadServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new fs::path(fs::temp_directory_path() / ("qv-service-test-" + std::to_string(::getpid())));
    fs::remove_all(*dir_);
    fs::create_directories(*dir_ / "storage/server_files/updates");
    // A throw-away certificate for this run only.
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                                " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                                (*dir_ / "key.pem").string() + "' -out '" + (*dir_ / "cert.pem").string() +
                                "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  static void TearDownTestSuite() {
    fs::remove_all(*dir_);
    delete dir_;
  }

  static fs::path Updates() { return *dir_ / "storage/server_files/updates"; }

  // Bytes that differ from block to block, so a misplaced or repeated block shows.
  static std::string PatternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::mt19937 generator(7);
    for (auto& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
  }

  static httplib::Headers InstallerHeaders(const std::string& fileName) {
    return {{"x-database", HeaderValue("server_files")},
            {"x-filename", HeaderValue("updates\\" + fileName)},
            {"Authorization", BasicAuthorization("Tellavorne", "&vOlt_582%")}};
  }

  static fs::path* dir_;
};

fs::path* DownloadServiceTest::dir_ = nullptr;

TEST_F(DownloadServiceTest, AnswersEachKindOfRequest) {
  const std::string package = PatternBytes(300 * 1024 + 17);
  std::ofstream(Updates() / "Quorvex_1.0.0_x64.zip", std::ios::binary) << package;
  std::ofstream(Updates() / "notes.bin", std::ios::binary) << "abc";
  std::ofstream(Updates() / "empty.zip", std::ios::binary);
  std::ofstream(*dir_ / "storage/outside.zip", std::ios::binary) << "not in an area";
  fs::create_symlink(*dir_ / "cert.pem", Updates() / "linked.zip");

  ServiceProcess service(*dir_, {"--storage", (*dir_ / "storage").string()});
  auto client = service.Client();

  struct Case {
    const char* label;
    std::string path;
    httplib::Headers headers;
    int status;
    std::string contentType;
    std::string body;  // checked when not empty
  };
  const httplib::Headers good = InstallerHeaders("Quorvex_1.0.0_x64.zip");
  auto with = [](httplib::Headers headers, const std::string& name, const std::string& value) {
    headers.erase(name);
    if (!value.empty()) headers.emplace(name, value);
    return headers;
  };
  const std::vector<Case> cases = {
      {"package", "/admin/files/download", good, 200, "application/zip", package},
      {"unescaped Base64 also decodes", "/admin/files/download",
       with(good, "x-filename", Base64("updates\\Quorvex_1.0.0_x64.zip")), 200, "application/zip", package},
      {"other file type", "/admin/files/download", InstallerHeaders("notes.bin"), 200, "application/octet-stream",
       "abc"},
      {"empty file", "/admin/files/download", InstallerHeaders("empty.zip"), 200, "application/zip", ""},
      {"no credentials", "/admin/files/download", with(good, "Authorization", ""), 401, "text/plain; charset=utf-8",
       ""},
      {"wrong password", "/admin/files/download",
       with(good, "Authorization", BasicAuthorization("Tellavorne", "&vOlt_582")), 401, "text/plain; charset=utf-8",
       ""},
      {"wrong user", "/admin/files/download",
       with(good, "Authorization", BasicAuthorization("tellavorne", "&vOlt_582%")), 401,
       "text/plain; charset=utf-8", ""},
      {"other scheme", "/admin/files/download", with(good, "Authorization", "Bearer abc"), 401,
       "text/plain; charset=utf-8", ""},
      {"missing x-database", "/admin/files/download", with(good, "x-database", ""), 400, "text/plain; charset=utf-8",
       ""},
      {"missing x-filename", "/admin/files/download", with(good, "x-filename", ""), 400, "text/plain; charset=utf-8",
       ""},
      {"x-filename twice", "/admin/files/download",
       [&] {
         auto twice = good;
         twice.emplace("x-filename", HeaderValue("updates\\notes.bin"));
         return twice;
       }(),
       400, "text/plain; charset=utf-8", ""},
      {"undecodable x-filename", "/admin/files/download", with(good, "x-filename", "%ZZ"), 400,
       "text/plain; charset=utf-8", ""},
      {"x-filename not UTF-8", "/admin/files/download", with(good, "x-filename", HeaderValue("updates\\\xe7.zip")),
       400, "text/plain; charset=utf-8", ""},
      {"parent folder", "/admin/files/download", with(good, "x-filename", HeaderValue("..\\outside.zip")), 400,
       "text/plain; charset=utf-8", ""},
      {"absolute name", "/admin/files/download",
       with(good, "x-filename", HeaderValue((*dir_ / "cert.pem").string())), 400, "text/plain; charset=utf-8", ""},
      {"area that climbs out", "/admin/files/download", with(good, "x-database", HeaderValue("..")), 400,
       "text/plain; charset=utf-8", ""},
      {"link to outside", "/admin/files/download", InstallerHeaders("linked.zip"), 404, "text/plain; charset=utf-8",
       ""},
      {"missing file", "/admin/files/download", InstallerHeaders("Quorvex_9.9.9_x64.zip"), 404,
       "text/plain; charset=utf-8", "file not found\n"},
      {"other path", "/files/download", good, 404, "", ""},
  };
  for (const auto& c : cases) {
    const auto result = client->Get(c.path.c_str(), c.headers);
    ASSERT_TRUE(result) << c.label << ": " << httplib::to_string(result.error());
    EXPECT_EQ(result->status, c.status) << c.label;
    if (!c.contentType.empty()) {
      EXPECT_EQ(result->get_header_value("Content-Type"), c.contentType) << c.label;
    }
    if (c.status == 200) {
      EXPECT_EQ(result->get_header_value("Content-Length"), std::to_string(c.body.size())) << c.label;
      EXPECT_TRUE(result->body == c.body) << c.label << ": body differs, " << result->body.size() << " bytes";
    } else if (!c.body.empty()) {
      EXPECT_EQ(result->body, c.body) << c.label;
    }
    if (c.status == 401) {
      EXPECT_EQ(result->get_header_value("WWW-Authenticate").rfind("Basic realm=", 0), 0u) << c.label;
    }
    if (c.status >= 400 && !c.contentType.empty()) {
      EXPECT_FALSE(result->body.empty()) << c.label;
    }
  }

  std::vector<std::string> expectedLog;
  for (const auto& c : cases) expectedLog.push_back("\"GET " + c.path + "\" " + std::to_string(c.status) + " ");

  // A body announced to the service is refused before it is held, and the service goes on.
  const auto refused = client->Post("/admin/files/download", good, std::string(1024 * 1024, 'x'),
                                    "application/octet-stream");
  if (refused) {  // the client may also see the connection close while it is still sending
    EXPECT_EQ(refused->status, 413);
  }
  expectedLog.push_back("\"POST /admin/files/download\" 413 ");
  const auto after = client->Get("/admin/files/download", good);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 200);
  expectedLog.push_back("\"GET /admin/files/download\" 200 " + std::to_string(package.size()) + " ");

  // One flushed line per request, written while the service still runs.
  const std::string log = service.AccessLog();
  std::istringstream lines(log);
  std::string line;
  std::size_t index = 0;
  while (std::getline(lines, line)) {
    ASSERT_LT(index, expectedLog.size()) << log;
    EXPECT_NE(line.find(expectedLog[index]), std::string::npos) << expectedLog[index] << " in " << line;
    ++index;
  }
  EXPECT_EQ(index, expectedLog.size()) << log;
  EXPECT_NE(log.find("user=\"Tellavorne\" file=\"server_files\\updates\\Quorvex_1.0.0_x64.zip\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("user=\"Tellavorne\" file=\"-\""), std::string::npos) << log;  // headers missing
}

TEST_F(DownloadServiceTest, StreamsALargeFileWithFlatMemory) {
  const std::uint64_t size = 384ull * 1024 * 1024;
  {
    // Sparse: costs no disk, reads as zeros.
    std::ofstream(Updates() / "big.zip", std::ios::binary);
    fs::resize_file(Updates() / "big.zip", size);
  }
  ServiceProcess service(*dir_, {"--storage", (*dir_ / "storage").string()});
  auto client = service.Client();
  // Warm up the TLS and thread machinery before taking the baseline.
  ASSERT_TRUE(client->Get("/admin/files/download", InstallerHeaders("missing.zip")));
  const long before = PeakResidentKiB(service.Pid());

  std::uint64_t received = 0;
  bool allZero = true;
  const auto result = client->Get("/admin/files/download", InstallerHeaders("big.zip"),
                                  [&](const char* data, std::size_t length) {
                                    for (std::size_t i = 0; i < length && allZero; ++i) allZero = data[i] == 0;
                                    received += length;
                                    return true;
                                  });
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(result->get_header_value("Content-Length"), std::to_string(size));
  EXPECT_EQ(received, size);
  EXPECT_TRUE(allZero);

  const long after = PeakResidentKiB(service.Pid());
  ASSERT_GT(before, 0);
  // Holding the file even once would add 384 MiB; a few blocks of buffers is all streaming needs.
  EXPECT_LT(after - before, 32 * 1024) << "peak resident KiB before " << before << ", after " << after;
  fs::remove(Updates() / "big.zip");
}

TEST_F(DownloadServiceTest, ConfiguredAccountAndBasePathAndCleanStop) {
  std::ofstream(Updates() / "a.zip", std::ios::binary) << "pkg";
  std::ofstream(*dir_ / "password") << "s3cret:with colon\n";
  for (const int signal : {SIGINT, SIGTERM}) {
    ServiceProcess service(*dir_, {"--storage", (*dir_ / "storage").string(), "--base-path", "/api/v2/",
                                   "--user", "deploy", "--password-file", (*dir_ / "password").string()});
    auto client = service.Client();
    httplib::Headers headers = InstallerHeaders("a.zip");
    headers.erase("Authorization");
    headers.emplace("Authorization", BasicAuthorization("deploy", "s3cret:with colon"));

    const auto configured = client->Get("/api/v2/files/download", headers);
    ASSERT_TRUE(configured);
    EXPECT_EQ(configured->status, 200);
    EXPECT_EQ(configured->body, "pkg");
    // The absolute form that a request through a proxy may carry names the same resource.
    const auto absoluteForm = client->Get("https://127.0.0.1/api/v2/files/download", headers);
    ASSERT_TRUE(absoluteForm);
    EXPECT_EQ(absoluteForm->status, 200);
    const auto defaultPath = client->Get("/admin/files/download", headers);
    ASSERT_TRUE(defaultPath);
    EXPECT_EQ(defaultPath->status, 404);
    const auto builtInAccount = client->Get("/api/v2/files/download", InstallerHeaders("a.zip"));
    ASSERT_TRUE(builtInAccount);
    EXPECT_EQ(builtInAccount->status, 401);

    client.reset();
    EXPECT_EQ(service.Stop(signal), 0) << "signal " << signal;
  }
}

TEST_F(DownloadServiceTest, RefusesToStartOnBadConfiguration) {
  const std::string binary = QUORVEX_SERVICE_BINARY;
  const std::string cert = (*dir_ / "cert.pem").string();
  const std::string key = (*dir_ / "key.pem").string();
  const std::string storage = (*dir_ / "storage").string();
  const std::vector<std::string> commands = {
      binary + " --cert " + cert + " --key " + key,                                       // no storage
      binary + " --cert " + cert + " --key " + key + " --storage " + storage + "/none",   // no such folder
      binary + " --cert " + key + " --key " + cert + " --storage " + storage,             // swapped PEM files
      binary + " --cert " + cert + " --key " + key + " --storage " + storage + " --listen 127.0.0.1:99999",
      binary + " --cert " + cert + " --key " + key + " --storage " + storage + " --base-path admin",
      binary + " --cert " + cert + " --key " + key + " --storage " + storage + " --password-file /nonexistent",
      binary + " --cert " + cert + " --key " + key + " --storage " + storage + " --bogus 1",
      binary + " --cert " + cert + " --key " + key + " --storage " + storage + " --storage " + storage,
  };
  for (const auto& command : commands) {
    // Should one of them start after all, the time limit kills it, which the check below refuses.
    const std::string listen = command.find("--listen") == std::string::npos ? " --listen 127.0.0.1:0" : "";
    const int status = std::system(("timeout -s KILL 20 " + command + listen + " >/dev/null 2>&1").c_str());
    EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 1 || WEXITSTATUS(status) == 2)) << command;
  }
}

}  // namespace
