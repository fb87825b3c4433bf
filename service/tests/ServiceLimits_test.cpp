// The service's limits, each tried with a small hostile client against the real binary.

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <sstream>

#include "ServiceHarness.h"

namespace quorvex::service::testing {
namespace {

class ServiceLimitsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new ServiceFolder("qv-service-limits");
    std::string bytes(100000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    *package_ = bytes;
    std::ofstream(folder_->Updates() / "p.zip", std::ios::binary) << bytes;
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }

  ServiceProcess Start(std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--storage", folder_->Storage()});
    return ServiceProcess(folder_->Path(), extra);
  }

  static std::string Package() { return *package_; }
  static fs::path Dir() { return folder_->Path(); }

  static ServiceFolder* folder_;
  static std::string* package_;
};

ServiceFolder* ServiceLimitsTest::folder_ = nullptr;
std::string* ServiceLimitsTest::package_ = new std::string;

const std::string kEndpoint = "/admin/files/download";

TEST_F(ServiceLimitsTest, SlowHeadersDoNotStarveDownloadsAndAreClosed) {
  auto service = Start();
  // Many more than a thread pool would have threads, each sending a header byte now and then.
  std::vector<std::unique_ptr<TlsClient>> slow;
  for (int i = 0; i < 64; ++i) {
    slow.push_back(service.Client());
    ASSERT_TRUE(slow.back()->Handshook());
    ASSERT_TRUE(slow.back()->Send("G"));
  }
  std::atomic<bool> stop{false};
  std::thread dripping([&] {
    for (int round = 0; !stop && round < 60; ++round) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      for (auto& client : slow) client->Send("E");
    }
  });
  // Fresh connections, handshakes and whole downloads go through meanwhile.
  for (int i = 0; i < 5; ++i) {
    const auto response = service.Get(kEndpoint, InstallerHeaders("p.zip"));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    EXPECT_TRUE(response->body == Package());
  }
  // The headers never complete: each connection is closed, without an answer, once its time is up.
  int closed = 0;
  for (auto& client : slow) {
    std::string answer;
    if (client->ClosedWithin(20, &answer) && answer.empty()) ++closed;
  }
  stop = true;
  dripping.join();
  EXPECT_EQ(closed, 64);
  const std::string log = service.AccessLog();
  std::size_t timeouts = 0;
  for (std::size_t at = log.find("\"- -\" 408 0 "); at != std::string::npos; at = log.find("\"- -\" 408 0 ", at + 1)) {
    ++timeouts;
  }
  EXPECT_EQ(timeouts, 64u) << log;
}

TEST_F(ServiceLimitsTest, KeptAliveConnectionsWaitTheirWholeIdleTime) {
  // Between requests only bytes start the short header clock; a wake-up without any (which
  // readiness waits may give under load) must not end a connection that is merely idle.
  auto service = Start({"--header-timeout", "1", "--idle-timeout", "20"});
  // Many at once from several threads, so that the service's threads handle them side by side.
  std::vector<std::unique_ptr<TlsClient>> clients(400);
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = static_cast<std::size_t>(t); i < clients.size(); i += 8) {
        clients[i] = service.Client();
        if (clients[i]->Request("HEAD", kEndpoint, InstallerHeaders("p.zip"))) ++answered;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(answered, 400);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  std::vector<pollfd> descriptors;
  for (const auto& client : clients) descriptors.push_back({client->Descriptor(), POLLIN, 0});
  ASSERT_GE(::poll(descriptors.data(), descriptors.size(), 0), 0);
  int closed = 0;
  for (const auto& descriptor : descriptors) closed += (descriptor.revents & (POLLIN | POLLHUP)) != 0;
  EXPECT_EQ(closed, 0) << service.AccessLog();
}

TEST_F(ServiceLimitsTest, HeaderSizeIsLimitedTo16KiB) {
  auto service = Start();
  struct Case {
    const char* label;
    std::size_t padding;
    int status;
    bool closed;
  };
  const Case cases[] = {
      {"15 KiB of headers", 15 * 1024, 200, false},
      {"17 KiB of headers", 17 * 1024, 431, true},
      {"1 MiB of headers", 1024 * 1024, 431, true},
  };
  for (const auto& c : cases) {
    auto client = service.Client();
    const Headers headers = With(InstallerHeaders("p.zip"), "X-Padding", std::string(c.padding, 'a'));
    client->Send(RequestText("GET", kEndpoint, headers));
    const auto response = client->ReadResponse();
    ASSERT_TRUE(response) << c.label;
    EXPECT_EQ(response->status, c.status) << c.label;
    if (c.closed) {
      EXPECT_EQ(response->Header("connection"), "close") << c.label;
      EXPECT_TRUE(client->ClosedWithin(5)) << c.label;
    }
  }
  // One long request line counts the same.
  auto client = service.Client();
  client->Send("GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n");
  const auto response = client->ReadResponse();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 431);
}

TEST_F(ServiceLimitsTest, IdleConnectionsAreClosed) {
  auto service = Start({"--idle-timeout", "3", "--header-timeout", "2"});
  // Kept alive after an answer, then closed when nothing follows.
  auto client = service.Client();
  ASSERT_TRUE(client->Request("GET", kEndpoint, InstallerHeaders("p.zip")));
  EXPECT_FALSE(client->ClosedWithin(1));
  ASSERT_TRUE(client->Request("GET", kEndpoint, InstallerHeaders("p.zip")));
  EXPECT_TRUE(client->ClosedWithin(6));
  // A connection that never finishes its TLS handshake.
  const int raw = TlsClient::ConnectTcp(service.Port());
  timeval timeout{6, 0};
  setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ASSERT_EQ(::send(raw, "\x16\x03\x01", 3, MSG_NOSIGNAL), 3);
  char byte = 0;
  EXPECT_EQ(::recv(raw, &byte, 1, 0), 0);  // closed by the service, not timed out here
  ::close(raw);
}

TEST_F(ServiceLimitsTest, RequestsWithABodyAreRefusedAndTheConnectionClosed) {
  auto service = Start();
  const std::string auth = "Authorization: " + BasicAuthorization("Tellavorne", "&vOlt_582%") + "\r\n";
  const std::string second = RequestText("GET", kEndpoint, InstallerHeaders("p.zip"));
  struct Case {
    const char* label;
    std::string request;
  };
  const Case cases[] = {
      // A proxy that ignores the length on a GET would pass the body on as the next request.
      {"GET smuggling a request in its body",
       "GET " + kEndpoint + " HTTP/1.1\r\nHost: x\r\n" + auth + "Content-Length: " + std::to_string(second.size()) +
           "\r\n\r\n" + second},
      {"chunked GET smuggling a request",
       "GET " + kEndpoint + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + second},
      {"length and chunked together",
       "GET " + kEndpoint + " HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" +
           second},
      {"two different lengths",
       "GET " + kEndpoint + " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: 5\r\n\r\nhello" + second},
      {"other transfer coding", "GET " + kEndpoint + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n" + second},
      {"POST with a large body", "POST " + kEndpoint + " HTTP/1.1\r\nHost: x\r\nContent-Length: 300000000\r\n\r\n" +
                                     std::string(100000, 'x')},
      {"chunked POST", "POST " + kEndpoint + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n10000\r\n" +
                           std::string(65536, 'x')},
  };
  for (const auto& c : cases) {
    auto client = service.Client();
    client->Send(c.request);
    const auto response = client->ReadResponse();
    ASSERT_TRUE(response) << c.label;
    EXPECT_EQ(response->status, 400) << c.label;
    EXPECT_EQ(response->Header("connection"), "close") << c.label;
    std::string more;
    EXPECT_TRUE(client->ClosedWithin(5, &more)) << c.label;
    EXPECT_EQ(client->Pending() + more, "") << c.label << ": a second answer on the connection";
  }
  // A length of zero is no body.
  auto client = service.Client();
  client->Send("GET " + kEndpoint + " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n" +
               second.substr(second.find("\r\n") + 2));
  const auto response = client->ReadResponse();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  const long peak = ResidentKiB(service.Pid());
  EXPECT_LT(peak, 32 * 1024) << "a refused body was held";
}

TEST_F(ServiceLimitsTest, OnlyGetAndHeadAreServed) {
  auto service = Start();
  auto client = service.Client();
  for (const char* method : {"DELETE", "PUT", "OPTIONS", "PATCH", "TRACE", "PROPFIND"}) {
    const auto response = client->Request(method, kEndpoint, InstallerHeaders("p.zip"));
    ASSERT_TRUE(response) << method;
    EXPECT_EQ(response->status, 405) << method;
    EXPECT_EQ(response->Header("allow"), "GET, HEAD") << method;
  }
  // Nothing was wrong with the stream: the connection goes on.
  const auto response = client->Request("GET", kEndpoint, InstallerHeaders("p.zip"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  // Pipelined requests are answered in order.
  const std::string one = RequestText("HEAD", kEndpoint, InstallerHeaders("p.zip"));
  const std::string two = RequestText("GET", kEndpoint, InstallerHeaders("missing.zip"));
  client->Send(one + two);
  const auto first = client->ReadResponse(true);
  const auto second = client->ReadResponse();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->status, 200);
  EXPECT_EQ(second->status, 404);
}

TEST_F(ServiceLimitsTest, ConnectionsBeyondTheLimitAreRefusedAtAccept) {
  auto service = Start({"--max-connections", "4"});
  std::vector<std::unique_ptr<TlsClient>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(service.Client());
    ASSERT_TRUE(held.back()->Handshook()) << i;
  }
  EXPECT_FALSE(service.Client()->Handshook());
  held.pop_back();
  // The freed place is taken again once the service has seen the close.
  bool served = false;
  for (int attempt = 0; attempt < 50 && !served; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto client = service.Client();
    const auto response = client->Handshook() ? client->Request("GET", kEndpoint, InstallerHeaders("p.zip"))
                                              : std::nullopt;
    served = response && response->status == 200;
  }
  EXPECT_TRUE(served);
}

TEST_F(ServiceLimitsTest, OnlyModernTls) {
  auto service = Start();
  struct Case {
    const char* label;
    TlsOptions options;
    bool accepted;
  };
  const Case cases[] = {
      {"TLS 1.3", {TLS1_3_VERSION, TLS1_3_VERSION, nullptr}, true},
      {"TLS 1.2 ECDHE AES-GCM", {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256"}, true},
      {"TLS 1.2 ECDHE ChaCha20-Poly1305", {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305"}, true},
      {"TLS 1.2 ECDHE CBC", {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384"}, false},
      {"TLS 1.2 without forward secrecy", {TLS1_2_VERSION, TLS1_2_VERSION, "AES128-SHA:AES128-GCM-SHA256"}, false},
      {"TLS 1.1", {TLS1_1_VERSION, TLS1_1_VERSION, "ALL:@SECLEVEL=0"}, false},
  };
  for (const auto& c : cases) {
    auto client = service.Client(c.options);
    EXPECT_EQ(client->Handshook(), c.accepted) << c.label;
    if (c.accepted) {
      const auto response = client->Request("GET", kEndpoint, InstallerHeaders("p.zip"));
      ASSERT_TRUE(response) << c.label;
      EXPECT_EQ(response->status, 200) << c.label;
    }
  }
}

TEST_F(ServiceLimitsTest, ByteRanges) {
  auto service = Start();
  const std::string package = Package();
  const std::uint64_t size = package.size();
  // A date is a validator only once its second has passed; this file's is older.
  fs::last_write_time(Dir() / "storage/server_files/updates/p.zip",
                      fs::file_time_type::clock::now() - std::chrono::hours(1));
  const auto head = service.Get(kEndpoint, InstallerHeaders("p.zip"), "HEAD");
  ASSERT_TRUE(head);
  const std::string etag = head->Header("etag");
  const std::string modified = head->Header("last-modified");
  ASSERT_FALSE(etag.empty());
  EXPECT_EQ(head->Header("accept-ranges"), "bytes");

  struct Case {
    std::string range;
    std::string ifRange;
    int status;
    std::uint64_t first;  // for 206: the part expected
    std::uint64_t last;
  };
  const std::vector<Case> cases = {
      {"bytes=0-9", "", 206, 0, 9},
      {"bytes=99990-", "", 206, 99990, size - 1},
      {"bytes=-5", "", 206, size - 5, size - 1},
      {"bytes=-500000", "", 206, 0, size - 1},
      {"bytes=50000-99999999", "", 206, 50000, size - 1},
      {"bytes = 3-4", "", 200, 0, 0},  // no spaces around "=" in the grammar
      {"bytes=0-,0-", "", 200, 0, 0},  // several ranges: the file once, never twice
      {"bytes=0-1,5-6", "", 200, 0, 0},
      {"bytes=5-2", "", 200, 0, 0},
      {"bytes=abc", "", 200, 0, 0},
      {"bytes=-", "", 200, 0, 0},
      {"items=0-9", "", 200, 0, 0},
      {"bytes=100000-", "", 416, 0, 0},
      {"bytes=-0", "", 416, 0, 0},
      {"bytes=0-9", etag, 206, 0, 9},
      {"bytes=0-9", modified, 206, 0, 9},
      {"bytes=0-9", "\"another-version\"", 200, 0, 0},
      {"bytes=0-9", "Thu, 01 Jan 1970 00:00:00 GMT", 200, 0, 0},
  };
  for (const auto& c : cases) {
    Headers headers = With(InstallerHeaders("p.zip"), "Range", c.range);
    if (!c.ifRange.empty()) headers.emplace_back("If-Range", c.ifRange);
    const auto response = service.Get(kEndpoint, headers);
    const std::string label = c.range + " / " + c.ifRange;
    ASSERT_TRUE(response) << label;
    EXPECT_EQ(response->status, c.status) << label;
    if (c.status == 206) {
      EXPECT_EQ(response->Header("content-range"), "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) +
                                                       "/" + std::to_string(size))
          << label;
      EXPECT_TRUE(response->body == package.substr(c.first, c.last - c.first + 1)) << label;
    } else if (c.status == 200) {
      EXPECT_EQ(response->Header("content-range"), "") << label;
      EXPECT_TRUE(response->body == package) << label << ": " << response->body.size() << " bytes";
    } else {
      EXPECT_EQ(response->Header("content-range"), "bytes */" + std::to_string(size)) << label;
    }
  }
}

TEST_F(ServiceLimitsTest, LogLinesCannotBeForged) {
  auto service = Start();
  // A user name that tries to end the line and start a forged one, with quotes, a backslash
  // and bytes of UTF-8 (no ":", which would end the user name).
  const std::string user = "x\" file=\"y\\\n2030-01-01T000000Z 10.0.0.1 \"GET /\" 200 1 \xc3\xa7";
  const Headers headers = With(InstallerHeaders("p.zip"), "Authorization", BasicAuthorization(user, "pw"));
  const auto response = service.Get(kEndpoint + "?a=\\\"", headers);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 401);
  const auto named = service.Get(kEndpoint, With(InstallerHeaders("p.zip"), "x-filename",
                                                 HeaderValue("updates\\\"a\\b\xc3\xa7.zip")));
  ASSERT_TRUE(named);
  EXPECT_EQ(named->status, 404);
  // A request line the parser refuses is logged as far as it came, escaped all the same.
  const auto malformed = service.Get(kEndpoint + "\xff\x01 \"x", InstallerHeaders("p.zip"));
  ASSERT_TRUE(malformed);
  EXPECT_EQ(malformed->status, 400);

  const std::string log = service.AccessLog(3);
  std::istringstream lines(log);
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  ASSERT_EQ(all.size(), 3u) << log;
  EXPECT_NE(all[0].find("\"GET /admin/files/download?a=\\\\\\\"\" 401 "), std::string::npos) << all[0];
  EXPECT_NE(all[0].find(" user=\"x\\\" file=\\\"y\\\\\\x0A2030-01-01T000000Z 10.0.0.1 \\\"GET /\\\" 200 1 \\xC3\\xA7\" "
                        "file=\"-\""),
            std::string::npos)
      << all[0];
  EXPECT_NE(all[1].find(" file=\"server_files\\\\updates\\\\\\\"a\\\\b\\xC3\\xA7.zip\""), std::string::npos) << all[1];
  EXPECT_NE(all[2].find("\"- GET /admin/files/download\\xFF\\x01 \\\"x HTTP/1.1\" 400 "), std::string::npos) << all[2];
  for (const auto& line : all) {
    for (const char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << line;
  }
}

TEST_F(ServiceLimitsTest, StalledReadersHoldLittleMemory) {
  const std::uint64_t size = 256ull * 1024 * 1024;
  {
    std::ofstream(folder_->Updates() / "big.zip", std::ios::binary);
    fs::resize_file(folder_->Updates() / "big.zip", size);
  }
  auto service = Start();
  ASSERT_TRUE(service.Get(kEndpoint, InstallerHeaders("missing.zip")));
  const long before = ResidentKiB(service.Pid(), "VmRSS:");
  std::vector<std::unique_ptr<TlsClient>> stalled;
  for (int i = 0; i < 24; ++i) {
    stalled.push_back(service.Client());
    ASSERT_TRUE(stalled.back()->Send(RequestText("GET", kEndpoint, InstallerHeaders("big.zip"))));
    stalled.back()->ReadSome(1024);  // the answer has begun; then nothing more is read
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long after = ResidentKiB(service.Pid(), "VmRSS:");
  // Each stalled download holds its file block and TLS buffers, not what it could not send.
  EXPECT_LT(after - before, 24 * 256) << "resident KiB before " << before << ", after " << after;
  stalled.clear();
  fs::remove(folder_->Updates() / "big.zip");
}

TEST_F(ServiceLimitsTest, StopLetsTransfersFinishWithinTheGraceTime) {
  const std::uint64_t size = 64ull * 1024 * 1024;
  {
    std::ofstream(folder_->Updates() / "mid.zip", std::ios::binary);
    fs::resize_file(folder_->Updates() / "mid.zip", size);
  }
  {
    auto service = Start({"--stop-grace", "60"});
    auto idle = service.Client();
    ASSERT_TRUE(idle->Handshook());
    auto reader = service.Client();
    ASSERT_TRUE(reader->Send(RequestText("GET", kEndpoint, InstallerHeaders("mid.zip"))));
    std::string start = reader->ReadSome(4096);
    ASSERT_FALSE(start.empty());
    kill(service.Pid(), SIGTERM);
    EXPECT_TRUE(idle->ClosedWithin(5)) << "an idle connection waits for nothing";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_THROW(TlsClient(service.Port(), Dir() / "cert.pem"), std::runtime_error) << "still accepting";
    // The transfer under way completes, read slowly, and then the process ends by itself.
    std::uint64_t received = start.size() - (start.find("\r\n\r\n") + 4);
    while (received < size) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      const std::string more = reader->ReadSome(1 << 20);
      if (more.empty()) break;
      received += more.size();
    }
    EXPECT_EQ(received, size);
    EXPECT_EQ(service.WaitExit(10), 0);
  }
  {
    // A client that takes nothing is cut off when the grace time is over.
    auto service = Start({"--stop-grace", "1"});
    auto stalled = service.Client();
    ASSERT_TRUE(stalled->Send(RequestText("GET", kEndpoint, InstallerHeaders("mid.zip"))));
    ASSERT_FALSE(stalled->ReadSome(4096).empty());
    kill(service.Pid(), SIGINT);
    EXPECT_EQ(service.WaitExit(10), 0);
  }
  fs::remove(folder_->Updates() / "mid.zip");
}

}  // namespace
}  // namespace quorvex::service::testing
