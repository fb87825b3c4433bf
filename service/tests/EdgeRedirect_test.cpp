// Scale-out through edge servers: the service redirects to links signed for nginx's secure_link,
// checked here against Debian's stock nginx running the shipped edge configuration.

#include <gtest/gtest.h>

#include <ctime>

#include "EdgeLink.h"
#include "ServiceHarness.h"

namespace quorvex::service::testing {
namespace {

const std::string kSecret = "s3cret-0123456789+/=";
const std::string kEndpoint = "/admin/files/download";

class EdgeServer {
 public:
  EdgeServer(const fs::path& dir, const std::string& storage) : state_(dir / "edge") {
    const std::string command = std::string("python3 '") + QUORVEX_SOURCE_DIR + "/tests/edge/edge_server.py' start '" +
                                state_.string() + "' --cert '" + (dir / "cert.pem").string() + "' --key '" +
                                (dir / "key.pem").string() + "' --storage '" + storage + "' --secret-file '" +
                                (dir / "edge-secret").string() + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("the nginx edge did not start: " + command);
    port_ = std::stoi(ReadText(state_ / "port"));
  }
  ~EdgeServer() {
    const std::string command = std::string("python3 '") + QUORVEX_SOURCE_DIR + "/tests/edge/edge_server.py' stop '" +
                                state_.string() + "'";
    std::system(command.c_str());
  }
  int Port() const { return port_; }
  std::string Base() const { return "https://127.0.0.1:" + std::to_string(port_) + "/files"; }
  std::string AccessLog() const { return ReadText(state_ / "access.log"); }

 private:
  fs::path state_;
  int port_ = 0;
};

class EdgeRedirectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::make_unique<ServiceFolder>("qv-service-edge");
    std::ofstream(folder_->Path() / "edge-secret") << kSecret << "\n";
    package_ = std::string(700000, '\0');
    for (std::size_t i = 0; i < package_.size(); ++i) package_[i] = static_cast<char>(i * 13 + i / 509);
    // A name with a space and a non-ASCII letter: the link's escaping must agree with the edge's decoding.
    std::ofstream(folder_->Updates() / "Quorvex 2.0 \xc3\xa7_x64.zip", std::ios::binary) << package_;
    edge_ = std::make_unique<EdgeServer>(folder_->Path(), folder_->Storage());
  }

  ServiceProcess StartService(const std::string& ttl) {
    return ServiceProcess(folder_->Path(), {"--storage", folder_->Storage(), "--edge-base", edge_->Base(),
                                            "--edge-secret-file", (folder_->Path() / "edge-secret").string(),
                                            "--edge-ttl", ttl});
  }

  // GET of an edge URL as a client that follows the redirect: no credentials go there.
  std::optional<Response> FetchFromEdge(const std::string& location) {
    const std::string prefix = "https://127.0.0.1:" + std::to_string(edge_->Port());
    if (location.rfind(prefix, 0) != 0) return std::nullopt;
    TlsClient client(edge_->Port(), folder_->Path() / "cert.pem");
    return client.Request("GET", location.substr(prefix.size()), {});
  }

  std::unique_ptr<ServiceFolder> folder_;
  std::unique_ptr<EdgeServer> edge_;
  std::string package_;
};

TEST_F(EdgeRedirectTest, AuthenticatedDownloadsAreRedirectedToSignedEdgeLinks) {
  auto service = StartService("300");
  const Headers headers = InstallerHeaders("Quorvex 2.0 \xc3\xa7_x64.zip");

  const auto redirect = service.Get(kEndpoint, headers);
  ASSERT_TRUE(redirect);
  EXPECT_EQ(redirect->status, 307);
  EXPECT_EQ(redirect->Header("cache-control"), "no-store");
  const std::string location = redirect->Header("location");
  const std::string path = "/files/server_files/updates/Quorvex%202.0%20%C3%A7_x64.zip";
  ASSERT_EQ(location.rfind(edge_->Base().substr(0, edge_->Base().size() - 6) + path + "?md5=", 0), 0u) << location;
  const auto head = service.Get(kEndpoint, headers, "HEAD");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 307);

  const auto served = FetchFromEdge(location);
  ASSERT_TRUE(served);
  EXPECT_EQ(served->status, 200);
  EXPECT_EQ(served->Header("content-type"), "application/zip");
  EXPECT_TRUE(served->body == package_) << served->body.size() << " bytes";

  // The service's own answers come first: nothing is redirected without credentials and a file.
  struct Case {
    const char* label;
    Headers headers;
    int status;
  };
  const Case refusals[] = {
      {"no credentials", With(headers, "Authorization", ""), 401},
      {"missing file", InstallerHeaders("none.zip"), 404},
      {"name outside the storage", With(headers, "x-filename", HeaderValue("..\\x.zip")), 400},
  };
  for (const auto& c : refusals) {
    const auto response = service.Get(kEndpoint, c.headers);
    ASSERT_TRUE(response) << c.label;
    EXPECT_EQ(response->status, c.status) << c.label;
    EXPECT_EQ(response->Header("location"), "") << c.label;
  }

  // The edge refuses whatever the service did not sign as it is.
  const std::size_t md5At = location.find("?md5=") + 5;
  const std::size_t expiresAt = location.find("&expires=") + 9;
  std::string badSignature = location;
  badSignature[md5At] = badSignature[md5At] == 'A' ? 'B' : 'A';
  std::string laterExpiry = location.substr(0, expiresAt) + std::to_string(std::stoll(location.substr(expiresAt)) + 1);
  std::string otherFile = location;
  otherFile.replace(otherFile.find("_x64.zip"), 8, "_x86.zip");
  const std::string edgePath = "/files/server_files/updates/Quorvex 2.0 \xc3\xa7_x64.zip";
  const std::int64_t past = static_cast<std::int64_t>(std::time(nullptr)) - 10;
  const std::string expired = location.substr(0, md5At) + SecureLinkSignature(past, edgePath, kSecret) +
                              "&expires=" + std::to_string(past);
  const std::string wrongSecret = location.substr(0, md5At) +
                                  SecureLinkSignature(past + 1000, edgePath, "another-secret-0123") +
                                  "&expires=" + std::to_string(past + 1000);
  const std::string stillValid = location.substr(0, md5At) + SecureLinkSignature(past + 1000, edgePath, kSecret) +
                                 "&expires=" + std::to_string(past + 1000);
  const std::string unsigned_ = location.substr(0, location.find('?'));
  for (const auto& [label, link, status] : std::vector<std::tuple<const char*, std::string, int>>{
           {"tampered signature", badSignature, 403},
           {"tampered expiry", laterExpiry, 403},
           {"signature of another file", otherFile, 403},
           {"expired", expired, 403},
           {"signed with another secret", wrongSecret, 403},
           {"no signature", unsigned_, 403},
           {"signed the same way, not expired", stillValid, 200},
       }) {
    const auto response = FetchFromEdge(link);
    ASSERT_TRUE(response) << label;
    EXPECT_EQ(response->status, status) << label << ": " << link;
  }
  EXPECT_EQ(edge_->AccessLog().find("authorization=\"Basic"), std::string::npos) << edge_->AccessLog();
}

TEST_F(EdgeRedirectTest, LinksExpireAfterTheirLifetime) {
  auto service = StartService("1");
  const auto redirect = service.Get(kEndpoint, InstallerHeaders("Quorvex 2.0 \xc3\xa7_x64.zip"));
  ASSERT_TRUE(redirect);
  ASSERT_EQ(redirect->status, 307);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const auto late = FetchFromEdge(redirect->Header("location"));
  ASSERT_TRUE(late);
  EXPECT_EQ(late->status, 403);
}

TEST(ServiceDeployment, SystemdUnitVerifies) {
  if (std::system("systemd-analyze --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no systemd-analyze here";
  const fs::path dir = fs::temp_directory_path() / ("qv-service-unit-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  // The unit names the installed binary; here it is the one just built.
  std::string unit = ReadText(fs::path(QUORVEX_SOURCE_DIR) / "service/deploy/qv-service.service");
  const std::string installed = "/usr/local/bin/qv-service";
  ASSERT_NE(unit.find(installed), std::string::npos);
  for (std::size_t at = unit.find(installed); at != std::string::npos; at = unit.find(installed, at)) {
    unit.replace(at, installed.size(), QUORVEX_SERVICE_BINARY);
  }
  std::ofstream(dir / "qv-service.service") << unit;
  const std::string command = "cd '" + dir.string() + "' && systemd-analyze verify ./qv-service.service >out 2>&1";
  const int status = std::system(command.c_str());
  const std::string output = ReadText(dir / "out");
  fs::remove_all(dir);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output, "") << "warnings from systemd-analyze";
}

}  // namespace
}  // namespace quorvex::service::testing
