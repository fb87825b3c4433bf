// Runs the real qv-service binary over HTTPS on a free port and talks to it as the installer does.

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "ServiceHarness.h"

namespace quorvex::service::testing {
namespace {

class DownloadServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { folder_ = new ServiceFolder("qv-service-test"); }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }

  static fs::path Dir() { return folder_->Path(); }
  static fs::path Updates() { return folder_->Updates(); }

  // Bytes that differ from block to block, so a misplaced or repeated block shows.
  static std::string PatternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::mt19937 generator(7);
    for (auto& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
  }

  static ServiceFolder* folder_;
};

ServiceFolder* DownloadServiceTest::folder_ = nullptr;

TEST_F(DownloadServiceTest, AnswersEachKindOfRequest) {
  const std::string package = PatternBytes(300 * 1024 + 17);
  std::ofstream(Updates() / "Quorvex_1.0.0_x64.zip", std::ios::binary) << package;
  std::ofstream(Updates() / "notes.bin", std::ios::binary) << "abc";
  std::ofstream(Updates() / "empty.zip", std::ios::binary);
  std::ofstream(Dir() / "storage/outside.zip", std::ios::binary) << "not in an area";
  fs::create_symlink(Dir() / "cert.pem", Updates() / "linked.zip");

  ServiceProcess service(Dir(), {"--storage", folder_->Storage()});

  struct Case {
    const char* label;
    std::string path;
    Headers headers;
    int status;
    std::string contentType;
    std::string body;  // checked when not empty
  };
  const Headers good = InstallerHeaders("Quorvex_1.0.0_x64.zip");
  const std::vector<Case> cases = {
      {"package", "/admin/files/download", good, 200, "application/zip", package},
      {"unescaped Base64 also decodes", "/admin/files/download",
       With(good, "x-filename", Base64("updates\\Quorvex_1.0.0_x64.zip")), 200, "application/zip", package},
      {"other file type", "/admin/files/download", InstallerHeaders("notes.bin"), 200, "application/octet-stream",
       "abc"},
      {"empty file", "/admin/files/download", InstallerHeaders("empty.zip"), 200, "application/zip", ""},
      {"no credentials", "/admin/files/download", With(good, "Authorization", ""), 401, "text/plain; charset=utf-8",
       ""},
      {"wrong password", "/admin/files/download",
       With(good, "Authorization", BasicAuthorization("Tellavorne", "&vOlt_582")), 401, "text/plain; charset=utf-8",
       ""},
      {"wrong user", "/admin/files/download",
       With(good, "Authorization", BasicAuthorization("tellavorne", "&vOlt_582%")), 401,
       "text/plain; charset=utf-8", ""},
      {"other scheme", "/admin/files/download", With(good, "Authorization", "Bearer abc"), 401,
       "text/plain; charset=utf-8", ""},
      {"credentials twice", "/admin/files/download",
       [&] {
         auto twice = good;
         twice.emplace_back("Authorization", BasicAuthorization("Tellavorne", "&vOlt_582%"));
         return twice;
       }(),
       401, "text/plain; charset=utf-8", ""},
      {"missing x-database", "/admin/files/download", With(good, "x-database", ""), 400, "text/plain; charset=utf-8",
       ""},
      {"missing x-filename", "/admin/files/download", With(good, "x-filename", ""), 400, "text/plain; charset=utf-8",
       ""},
      {"x-filename twice", "/admin/files/download",
       [&] {
         auto twice = good;
         twice.emplace_back("x-filename", HeaderValue("updates\\notes.bin"));
         return twice;
       }(),
       400, "text/plain; charset=utf-8", ""},
      {"undecodable x-filename", "/admin/files/download", With(good, "x-filename", "%ZZ"), 400,
       "text/plain; charset=utf-8", ""},
      {"x-filename not UTF-8", "/admin/files/download", With(good, "x-filename", HeaderValue("updates\\\xe7.zip")),
       400, "text/plain; charset=utf-8", ""},
      {"parent folder", "/admin/files/download", With(good, "x-filename", HeaderValue("..\\outside.zip")), 400,
       "text/plain; charset=utf-8", ""},
      {"absolute name", "/admin/files/download",
       With(good, "x-filename", HeaderValue((Dir() / "cert.pem").string())), 400, "text/plain; charset=utf-8", ""},
      {"area that climbs out", "/admin/files/download", With(good, "x-database", HeaderValue("..")), 400,
       "text/plain; charset=utf-8", ""},
      {"link to outside", "/admin/files/download", InstallerHeaders("linked.zip"), 404, "text/plain; charset=utf-8",
       ""},
      {"missing file", "/admin/files/download", InstallerHeaders("Quorvex_9.9.9_x64.zip"), 404,
       "text/plain; charset=utf-8", "file not found\n"},
      {"other path", "/files/download", good, 404, "", ""},
      {"query is not part of the path", "/admin/files/download?v=1", good, 200, "application/zip", package},
  };
  // All on one kept-alive connection, as a client that reuses connections sends them.
  auto client = service.Client();
  ASSERT_TRUE(client->Handshook());
  for (const auto& c : cases) {
    const auto result = client->Request("GET", c.path, c.headers);
    ASSERT_TRUE(result) << c.label;
    EXPECT_EQ(result->status, c.status) << c.label;
    if (!c.contentType.empty()) {
      EXPECT_EQ(result->Header("content-type"), c.contentType) << c.label;
    }
    if (c.status == 200) {
      EXPECT_EQ(result->Header("content-length"), std::to_string(c.body.size())) << c.label;
      EXPECT_TRUE(result->body == c.body) << c.label << ": body differs, " << result->body.size() << " bytes";
    } else if (!c.body.empty()) {
      EXPECT_EQ(result->body, c.body) << c.label;
    }
    if (c.status == 401) {
      EXPECT_EQ(result->Header("www-authenticate").rfind("Basic realm=", 0), 0u) << c.label;
    }
    if (c.status >= 400 && !c.contentType.empty()) {
      EXPECT_FALSE(result->body.empty()) << c.label;
    }
  }

  std::vector<std::string> expectedLog;
  for (const auto& c : cases) expectedLog.push_back("\"GET " + c.path + "\" " + std::to_string(c.status) + " ");

  // HEAD answers with the same header and no body; the connection stays usable.
  const auto head = client->Request("HEAD", "/admin/files/download", good);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_EQ(head->Header("content-length"), std::to_string(package.size()));
  expectedLog.push_back("\"HEAD /admin/files/download\" 200 0 ");

  // A body announced to the service is refused before it is held, and the connection is closed.
  EXPECT_TRUE(client->Send("POST /admin/files/download HTTP/1.1\r\nHost: x\r\nContent-Length: 1048576\r\n\r\n"));
  client->Send(std::string(64 * 1024, 'x'));
  const auto refused = client->ReadResponse();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400);
  EXPECT_EQ(refused->Header("connection"), "close");
  EXPECT_TRUE(client->ClosedWithin(5));
  expectedLog.push_back("\"POST /admin/files/download\" 400 ");

  const auto after =
      service.Get("/admin/files/download", With(good, "User-Agent", "QuorvexInstall/2.4.0.0 RESTClient/1.0"));
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 200);
  expectedLog.push_back("\"GET /admin/files/download\" 200 " + std::to_string(package.size()) + " ");

  // One flushed line per request, written while the service still runs.
  const std::string log = service.AccessLog(expectedLog.size());
  std::istringstream lines(log);
  std::string line;
  std::size_t index = 0;
  while (std::getline(lines, line)) {
    ASSERT_LT(index, expectedLog.size()) << log;
    EXPECT_NE(line.find(expectedLog[index]), std::string::npos) << expectedLog[index] << " in " << line;
    EXPECT_NE(line.find(" time="), std::string::npos) << line;
    ++index;
  }
  EXPECT_EQ(index, expectedLog.size()) << log;
  // A backslash is itself escaped in the log, so every backslash there starts an escape.
  EXPECT_NE(log.find("user=\"Tellavorne\" file=\"server_files\\\\updates\\\\Quorvex_1.0.0_x64.zip\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("user=\"Tellavorne\" file=\"-\""), std::string::npos) << log;  // headers missing
  // The installer names itself, so its own log and this one can be matched.
  EXPECT_NE(log.find("agent=\"QuorvexInstall/2.4.0.0 RESTClient/1.0\" cut=-\n"), std::string::npos) << log;
}

TEST_F(DownloadServiceTest, StreamsALargeFileWithFlatMemory) {
  const std::uint64_t size = 384ull * 1024 * 1024;
  {
    // Sparse: costs no disk, reads as zeros.
    std::ofstream(Updates() / "big.zip", std::ios::binary);
    fs::resize_file(Updates() / "big.zip", size);
  }
  ServiceProcess service(Dir(), {"--storage", folder_->Storage()});
  // Warm up TLS and the threads before taking the baseline.
  ASSERT_TRUE(service.Get("/admin/files/download", InstallerHeaders("missing.zip")));
  const long before = ResidentKiB(service.Pid());

  std::uint64_t received = 0;
  bool allZero = true;
  auto client = service.Client();
  ASSERT_TRUE(client->Send(RequestText("GET", "/admin/files/download", InstallerHeaders("big.zip"))));
  const auto result = client->ReadResponse(false, [&](const char* data, std::size_t length) {
    for (std::size_t i = 0; i < length && allZero; ++i) allZero = data[i] == 0;
    received += length;
  });
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(result->Header("content-length"), std::to_string(size));
  EXPECT_EQ(received, size);
  EXPECT_TRUE(allZero);

  const long after = ResidentKiB(service.Pid());
  ASSERT_GT(before, 0);
  // Holding the file even once would add 384 MiB; a few blocks of buffers is all streaming needs.
  EXPECT_LT(after - before, 4 * 1024) << "peak resident KiB before " << before << ", after " << after;
  fs::remove(Updates() / "big.zip");
}

TEST_F(DownloadServiceTest, ConfiguredAccountAndBasePathAndCleanStop) {
  std::ofstream(Updates() / "a.zip", std::ios::binary) << "pkg";
  std::ofstream(Dir() / "password") << "s3cret:with colon\n";
  for (const int signal : {SIGINT, SIGTERM}) {
    ServiceProcess service(Dir(), {"--storage", folder_->Storage(), "--base-path", "/api/v2/", "--user", "deploy",
                                   "--password-file", (Dir() / "password").string()});
    const Headers headers = With(InstallerHeaders("a.zip"), "Authorization", BasicAuthorization("deploy", "s3cret:with colon"));

    const auto configured = service.Get("/api/v2/files/download", headers);
    ASSERT_TRUE(configured);
    EXPECT_EQ(configured->status, 200);
    EXPECT_EQ(configured->body, "pkg");
    // The absolute form that a request through a proxy may carry names the same resource.
    const auto absoluteForm = service.Get("https://127.0.0.1/api/v2/files/download", headers);
    ASSERT_TRUE(absoluteForm);
    EXPECT_EQ(absoluteForm->status, 200);
    const auto defaultPath = service.Get("/admin/files/download", headers);
    ASSERT_TRUE(defaultPath);
    EXPECT_EQ(defaultPath->status, 404);
    const auto builtInAccount = service.Get("/api/v2/files/download", InstallerHeaders("a.zip"));
    ASSERT_TRUE(builtInAccount);
    EXPECT_EQ(builtInAccount->status, 401);

    EXPECT_EQ(service.Stop(signal), 0) << "signal " << signal;
  }
}

TEST_F(DownloadServiceTest, RefusesToStartOnBadConfiguration) {
  const std::string binary = QUORVEX_SERVICE_BINARY;
  const std::string cert = (Dir() / "cert.pem").string();
  const std::string key = (Dir() / "key.pem").string();
  const std::string storage = folder_->Storage();
  const std::string base = binary + " --cert " + cert + " --key " + key + " --storage " + storage;
  std::ofstream(Dir() / "short-secret") << "tooshort\n";
  std::ofstream(Dir() / "good-secret") << "0123456789abcdef0123\n";
  const std::vector<std::string> commands = {
      binary + " --cert " + cert + " --key " + key,                       // no storage
      base + "/none",                                                     // no such folder
      binary + " --cert " + key + " --key " + cert + " --storage " + storage,  // swapped PEM files
      base + " --listen 127.0.0.1:99999",
      base + " --base-path admin",
      base + " --password-file /nonexistent",
      base + " --bogus 1",
      base + " --storage " + storage,
      base + " --max-connections 0",
      base + " --stop-grace -1",
      base + " --edge-base https://edge.example/files",  // without its secret
      base + " --edge-ttl 60",                           // without an edge
      base + " --edge-base http://edge.example/files --edge-secret-file " + (Dir() / "good-secret").string(),
      base + " --edge-base https://edge.example/files --edge-secret-file " + (Dir() / "short-secret").string(),
      base + " --edge-base https://edge.example/files --edge-secret-file /nonexistent",
  };
  for (const auto& command : commands) {
    // Should one of them start after all, the time limit kills it, which the check below refuses.
    const std::string listen = command.find("--listen") == std::string::npos ? " --listen 127.0.0.1:0" : "";
    const int status = std::system(("timeout -s KILL 20 " + command + listen + " >/dev/null 2>&1").c_str());
    EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 1 || WEXITSTATUS(status) == 2)) << command;
  }
}

}  // namespace
}  // namespace quorvex::service::testing
