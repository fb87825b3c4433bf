// The operators' listener: counters in Prometheus' text format, as Debian's promtool and
// prometheus read them, and the health check through a stop.

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "ServiceHarness.h"

namespace quorvex::service::testing {
namespace {

const std::string kEndpoint = "/admin/files/download";

// A command's standard output (its exit status in *status).
std::string Capture(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  char buffer[4096];
  while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, got);
  const int result = ::pclose(pipe);
  if (status) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return out;
}

// One plain-HTTP GET on the metrics listener: status and body.
std::pair<int, std::string> PlainGet(int port, const std::string& path) {
  int status = 0;
  const std::string out = Capture("curl -sS -m 10 -o - -w '\\n%{http_code}' http://127.0.0.1:" + std::to_string(port) +
                                  path + " 2>&1");
  const std::size_t cut = out.rfind('\n');
  status = std::atoi(out.substr(cut + 1).c_str());
  return {status, out.substr(0, cut)};
}

// The value of one sample ("name{labels}") in an exposition text; -1 when absent.
double SampleValue(const std::string& text, const std::string& sample) {
  const std::size_t at = text.find("\n" + sample + " ");
  if (at == std::string::npos) return -1;
  return std::stod(text.substr(at + sample.size() + 2));
}

class MetricsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::make_unique<ServiceFolder>("qv-service-metrics");
    // Larger than what loopback sockets buffer, so that a client leaving early cuts its answer.
    package_ = std::string(24 * 1024 * 1024, 'q');
    std::ofstream(folder_->Updates() / "Quorvex_2.4.0_x64.zip", std::ios::binary) << package_;
  }

  std::unique_ptr<ServiceProcess> Start() {
    auto service = std::make_unique<ServiceProcess>(
        folder_->Path(), std::vector<std::string>{"--storage", folder_->Storage(), "--metrics-listen", "127.0.0.1:0",
                                                  "--metrics-port-file", (folder_->Path() / "metrics-port").string()});
    metricsPort_ = std::stoi(ReadText(folder_->Path() / "metrics-port"));
    return service;
  }

  std::unique_ptr<ServiceFolder> folder_;
  std::string package_;
  int metricsPort_ = 0;
};

TEST_F(MetricsTest, CountsWhatHappensAndPromtoolAcceptsIt) {
  auto service = Start();
  const Headers good = InstallerHeaders("Quorvex_2.4.0_x64.zip");
  for (int i = 0; i < 2; ++i) ASSERT_EQ(service->Get(kEndpoint, good)->status, 200);
  ASSERT_EQ(service->Get(kEndpoint, good, "HEAD")->status, 200);
  ASSERT_EQ(service->Get(kEndpoint, InstallerHeaders("missing.zip"))->status, 404);
  ASSERT_EQ(service->Get(kEndpoint, With(good, "Authorization", ""))->status, 401);
  ASSERT_EQ(service->Get(kEndpoint, good, "DELETE")->status, 405);
  // The metrics are not on the public listener.
  ASSERT_EQ(service->Get("/metrics", good)->status, 404);
  {
    // A client that goes away after the first bytes: its answer is cut.
    auto client = service->Client();
    ASSERT_TRUE(client->Send(RequestText("GET", kEndpoint, good)));
    ASSERT_FALSE(client->ReadSome().empty());
  }
  {
    // A handshake that never comes.
    TlsClient plain(service->Port(), folder_->Path() / "cert.pem", {TLS1_VERSION, TLS1_1_VERSION});
    EXPECT_FALSE(plain.Handshook());
  }
  service->AccessLog(8);

  const auto [status, text] = PlainGet(metricsPort_, "/metrics");
  ASSERT_EQ(status, 200) << text;
  const std::vector<std::pair<std::string, double>> expected = {
      {"qv_service_requests_total{method=\"GET\",code=\"2xx\"}", 3},  // two whole, one cut
      {"qv_service_requests_total{method=\"HEAD\",code=\"2xx\"}", 1},
      {"qv_service_requests_total{method=\"GET\",code=\"4xx\"}", 3},
      {"qv_service_requests_total{method=\"other\",code=\"4xx\"}", 1},
      {"qv_service_responses_cut_total{reason=\"client_gone\"}", 1},
      {"qv_service_responses_cut_total{reason=\"file_changed\"}", 0},
      {"qv_service_limit_hits_total{limit=\"method\"}", 1},
      {"qv_service_tls_handshake_failures_total", 1},
      {"qv_service_connections_accepted_total", 9},
      {"qv_service_stopping", 0},
  };
  for (const auto& [sample, value] : expected) EXPECT_EQ(SampleValue(text, sample), value) << sample << "\n" << text;
  const double bytes = SampleValue(text, "qv_service_response_body_bytes_total");
  const auto size = static_cast<double>(package_.size());
  EXPECT_GE(bytes, 2 * size);
  EXPECT_LT(bytes, 3 * size);

  std::ofstream(folder_->Path() / "metrics.txt") << text;
  int checked = 0;
  const std::string lint = Capture("promtool check metrics <'" + (folder_->Path() / "metrics.txt").string() + "' 2>&1",
                                   &checked);
  EXPECT_EQ(checked, 0) << lint;
  EXPECT_EQ(lint, "") << "promtool's remarks";

  EXPECT_EQ(PlainGet(metricsPort_, "/other").first, 404);
}

TEST_F(MetricsTest, HealthIsUnavailableWhileStopping) {
  // Larger than what the sockets between them hold: the download stays under way.
  std::ofstream(folder_->Updates() / "big.zip", std::ios::binary).close();
  fs::resize_file(folder_->Updates() / "big.zip", 256 * 1024 * 1024);
  auto service = Start();
  EXPECT_EQ(PlainGet(metricsPort_, "/healthz"), std::make_pair(200, std::string("ok\n")));
  // A download under way keeps the service in its stop until its grace time has passed.
  auto client = service->Client();
  ASSERT_TRUE(client->Send(RequestText("GET", kEndpoint, InstallerHeaders("big.zip"))));
  ASSERT_FALSE(client->ReadSome().empty());
  kill(service->Pid(), SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::pair<int, std::string> health;
  while ((health = PlainGet(metricsPort_, "/healthz")).first == 200 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(health, std::make_pair(503, std::string("stopping\n")));
  EXPECT_EQ(SampleValue(PlainGet(metricsPort_, "/metrics").second, "qv_service_stopping"), 1);
  client.reset();
  EXPECT_EQ(service->WaitExit(20), 0);
}

// Debian's prometheus scrapes the service with the shipped configuration (its target and
// interval replaced) and reports the counters through its own API.
TEST_F(MetricsTest, PrometheusScrapesTheService) {
  if (std::system("prometheus --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no prometheus here (tools/setup)";
  auto service = Start();
  const Headers good = InstallerHeaders("Quorvex_2.4.0_x64.zip");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(service->Get(kEndpoint, good)->status, 200);
  ASSERT_EQ(service->Get(kEndpoint, InstallerHeaders("missing.zip"))->status, 404);

  const fs::path dir = folder_->Path() / "prometheus";
  fs::create_directories(dir / "data");
  const fs::path deploy = fs::path(QUORVEX_SOURCE_DIR) / "service/deploy";
  std::string config = ReadText(deploy / "prometheus.yml");
  const auto replace = [&](const std::string& from, const std::string& to) {
    const std::size_t at = config.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    config.replace(at, from.size(), to);
  };
  replace("[\"127.0.0.1:9464\"]", "[\"127.0.0.1:" + std::to_string(metricsPort_) + "\"]");
  replace("scrape_interval: 15s", "scrape_interval: 1s");
  replace("  - /etc/prometheus/qv-service-rules.yml", "  - " + (deploy / "prometheus-rules.yml").string());
  std::ofstream(dir / "prometheus.yml") << config;
  int checked = 0;
  const std::string check = Capture("promtool check config '" + (dir / "prometheus.yml").string() + "' 2>&1", &checked);
  ASSERT_EQ(checked, 0) << check;

  const int webPort = [] {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return static_cast<int>(ntohs(address.sin_port));
  }();
  const std::string web = "127.0.0.1:" + std::to_string(webPort);
  const std::string start = "prometheus --config.file='" + (dir / "prometheus.yml").string() +
                            "' --storage.tsdb.path='" + (dir / "data").string() + "' --web.listen-address=" + web +
                            " >'" + (dir / "log").string() + "' 2>&1 & echo $!";
  const pid_t prometheus = std::stoi(Capture(start));
  struct Stopper {
    pid_t pid;
    ~Stopper() {
      kill(pid, SIGTERM);
      for (int i = 0; i < 200 && kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      kill(pid, SIGKILL);
    }
  } stopper{prometheus};

  // The API's answer for one query, once it reports the wanted value (or after 60 s).
  const auto query = [&](const std::string& expression, const std::string& value) {
    const std::string command = "curl -sS -m 5 -G http://" + web + "/api/v1/query --data-urlencode 'query=" +
                                expression + "' 2>&1";
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      answer = Capture(command);
      if (answer.find(",\"" + value + "\"]") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return answer;
  };
  const std::string ok = query("qv_service_requests_total{job=\"qv-service\",method=\"GET\",code=\"2xx\"}", "3");
  EXPECT_NE(ok.find("\"status\":\"success\""), std::string::npos) << ok << ReadText(dir / "log");
  EXPECT_NE(ok.find(",\"3\"]"), std::string::npos) << ok << ReadText(dir / "log");
  const std::string missing = query("qv_service_requests_total{method=\"GET\",code=\"4xx\"}", "1");
  EXPECT_NE(missing.find(",\"1\"]"), std::string::npos) << missing;
  // Three packages and the 404's text.
  const std::string sent = std::to_string(3 * package_.size() + std::string("file not found\n").size());
  const std::string bytes = query("qv_service_response_body_bytes_total", sent);
  EXPECT_NE(bytes.find(",\"" + sent + "\"]"), std::string::npos) << bytes;
  const std::string up = query("up{job=\"qv-service\"}", "1");
  EXPECT_NE(up.find(",\"1\"]"), std::string::npos) << up;
}

}  // namespace
}  // namespace quorvex::service::testing
