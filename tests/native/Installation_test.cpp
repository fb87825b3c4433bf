#include "install/Installation.h"

#include "InstallationFakes.h"
#include "ZipTestSupport.h"
#include "download/DownloadClient.h"
#include "download/Transport.h"
#include "install/PathText.h"
#include "install/Unpacker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <vector>

namespace quorvex {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Not;
using testing::EventLog;
using testing::FakeFileSystem;
using testing::FakeShell;
using testing::FakeUi;

const std::string kErrorEvent = "error Erro: Erro no download!\rEntre em contato com o Suporte T\xC3\xA9" "cnico.";
constexpr const char* kDesktop = "C:\\Users\\ana\\Desktop\\";
constexpr const char* kPrograms = "C:\\Users\\ana\\Start Menu\\Programs\\";

// A package of stored entries; breakCrc gives every entry a wrong CRC-32.
std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries, bool breakCrc = false) {
  std::vector<testing::TestEntry> stored;
  for (const auto& [name, content] : entries) {
    stored.push_back({.name = name, .data = content, .method = 0});
    if (breakCrc) stored.back().crc = testing::Crc32(content) ^ 1;
  }
  return testing::BuildPackage(stored);
}

const std::string kPackage = StoredZip({{"Quorvex.exe", "MZ new application"}, {"lib/core.dll", "MZ library"}});

// The text behind an "x-filename" value as sent: percent-encoded Base64.
std::string RequestedFile(const TransportRequest& request) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (const HttpHeader& header : request.headers) {
    if (header.name != "x-filename") continue;
    std::string base64;
    for (std::size_t i = 0; i < header.value.size(); ++i) {
      if (header.value[i] == '%') {
        base64 += static_cast<char>(std::stoi(header.value.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        base64 += header.value[i];
      }
    }
    std::string text;
    unsigned bits = 0;
    int count = 0;
    for (const char c : base64) {
      if (c == '=') break;
      bits = (bits << 6) | static_cast<unsigned>(kAlphabet.find(c));
      if ((count += 6) >= 8) text += static_cast<char>((bits >> (count -= 8)) & 0xFF);
    }
    return text;
  }
  return "<none>";
}

// Serves one scripted answer per request and logs each request it is sent.
class ScriptedTransport : public Transport {
 public:
  explicit ScriptedTransport(EventLog& log) : log_(log) {}

  int status = 200;
  std::string reason = "OK";
  std::string contentType = "application/octet-stream";
  std::string body = kPackage;
  std::function<void()> onSend;          // may throw: a failure before any answer
  std::function<void()> onSecondBlock;   // may throw: a failure while the body arrives

  std::unique_ptr<HttpExchange> Send(const TransportRequest& request) override {
    log_.push_back("download " + request.method + " " + RequestedFile(request));
    if (onSend) onSend();
    TransportResponseHead head{"HTTP/1.1", status, reason, {{"Content-Type", contentType}}};
    if (!body.empty()) head.headers.push_back({"Content-Length", std::to_string(body.size())});
    return std::make_unique<Exchange>(*this, std::move(head));
  }

 private:
  class Exchange : public HttpExchange {
   public:
    Exchange(ScriptedTransport& owner, TransportResponseHead head) : owner_(owner), head_(std::move(head)) {}
    const TransportResponseHead& Head() const override { return head_; }
    std::size_t ReadBlock(std::vector<std::uint8_t>& body) override {
      // The body arrives in two blocks.
      const std::string& all = owner_.body;
      const std::size_t end = blocks_ == 0 ? all.size() / 2 : all.size();
      if (blocks_++ == 1 && owner_.onSecondBlock) owner_.onSecondBlock();
      const std::size_t size = end - sent_;
      body.insert(body.end(), all.begin() + static_cast<std::ptrdiff_t>(sent_), all.begin() + static_cast<std::ptrdiff_t>(end));
      sent_ = end;
      return size;
    }

   private:
    ScriptedTransport& owner_;
    TransportResponseHead head_;
    int blocks_ = 0;
    std::size_t sent_ = 0;
  };

  EventLog& log_;
};

struct Machine {
  EventLog log;
  FakeFileSystem files{log};
  FakeShell shell{log, files};
  FakeUi ui{log};
  ScriptedTransport transport{log};
  DownloadClient client{transport, "https://downloads.test/admin"};

  Machine() { files.partial = {"C:\\Quorvex\\Quorvex_2.1_x64.zip"}; }

  void Run(const std::string& versionName = "Quorvex_2.1") {
    DownloadAndInstall({files, shell, ui, client}, versionName);
  }
  bool Saw(const std::string& event) const { return std::find(log.begin(), log.end(), event) != log.end(); }
};

const std::string kExecuteEvent = "execute OPEN C:\\Quorvex\\Quorvex.exe [] [] 1";

TEST(Installation, RunsItsStepsInOrderAndEndsTheInstaller) {
  Machine machine;
  machine.files.files = {{"C:\\Quorvex\\Quorvex_2.1_x64.zip", "left over by a failed run"},
                         {"C:\\Quorvex\\Quorvex.exe", "MZ old application"},
                         {"C:\\Quorvex\\old.txt", "not in the new package"},
                         {std::string(kDesktop) + "Quorvex - Atalho.lnk", "LNK:C:\\Quorvex\\Quorvex.exe"}};

  machine.Run();

  std::vector<std::string> expected = {
      "show progress",
      "delete C:\\Quorvex\\Quorvex_2.1_x64.zip",
      "delete C:\\Quorvex\\Quorvex.exe",
      "download GET updates\\Quorvex_2.1_x64.zip",
      "mkdir C:\\Quorvex\\",
      "create C:\\Quorvex\\Quorvex_2.1_x64.zip",
      "close C:\\Quorvex\\Quorvex_2.1_x64.zip",
  };
  // Unpacking: the entries in order (folder creations are the unpacker's business).
  std::vector<std::string> unpacking;
  for (const std::string& event : machine.log) {
    if (event.starts_with("create C:\\Quorvex\\") && !event.ends_with(".zip")) unpacking.push_back(event);
  }
  EXPECT_THAT(unpacking, ElementsAre("create C:\\Quorvex\\Quorvex.exe", "create C:\\Quorvex\\lib\\core.dll"));
  const auto oldPackageDeleted =
      std::find(machine.log.begin(), machine.log.end(), "delete C:\\Quorvex\\Quorvex_2.1_x64.zip");
  ASSERT_NE(oldPackageDeleted, machine.log.end());
  const auto packageDeleted =
      std::find(oldPackageDeleted + 1, machine.log.end(), "delete C:\\Quorvex\\Quorvex_2.1_x64.zip");
  ASSERT_NE(packageDeleted, machine.log.end()) << "the package is deleted after unpacking";
  EXPECT_THAT(std::vector<std::string>(machine.log.begin(), machine.log.begin() + static_cast<std::ptrdiff_t>(expected.size())),
              ElementsAreArray(expected));
  EXPECT_LT(std::find(machine.log.begin(), machine.log.end(), "close C:\\Quorvex\\lib\\core.dll"), packageDeleted);
  EXPECT_THAT(std::vector<std::string>(packageDeleted + 1, machine.log.end()),
              ElementsAre("new link", "load " + std::string(kDesktop) + "Quorvex.exe - Atalho.lnk",
                          "new link", "load " + std::string(kPrograms) + "Quorvex.exe - Atalho.lnk",
                          "new link", "load " + std::string(kDesktop) + "Quorvex - Atalho.lnk",
                          "delete " + std::string(kDesktop) + "Quorvex - Atalho.lnk",
                          "new link", "load " + std::string(kPrograms) + "Quorvex - Atalho.lnk",
                          "new link", "load " + std::string(kDesktop) + "Quorvex.exe.lnk",
                          "new link", "load " + std::string(kPrograms) + "Quorvex.exe.lnk",
                          "new link", "load " + std::string(kDesktop) + "Quorvex.lnk",
                          "new link", "load " + std::string(kPrograms) + "Quorvex.lnk",
                          "new link", "fields Quorvex - Veltrano | C:\\Quorvex\\Quorvex.exe |  | C:\\Quorvex\\",
                          "save " + std::string(kDesktop) + "Quorvex.lnk",
                          "save " + std::string(kPrograms) + "Quorvex.lnk", kExecuteEvent, "end"));

  EXPECT_EQ(machine.files.Content("C:\\Quorvex\\Quorvex.exe"), "MZ new application");
  EXPECT_EQ(machine.files.Content("C:\\Quorvex\\lib\\core.dll"), "MZ library");
  EXPECT_EQ(machine.files.Content("C:\\Quorvex\\old.txt"), "not in the new package");
  EXPECT_FALSE(machine.files.FileExists("C:\\Quorvex\\Quorvex_2.1_x64.zip"));
}

TEST(Installation, PackageFollowsTheNativeArchitecture) {
  const std::pair<ProcessorArchitecture, const char*> cases[] = {
      {ProcessorArchitecture::X64, "C:\\Quorvex\\V9_x64.zip"},
      {ProcessorArchitecture::X86, "C:\\Quorvex\\V9_x86.zip"},
      {ProcessorArchitecture::Arm64, "C:\\Quorvex\\V9_x86.zip"},
      {ProcessorArchitecture::Other, "C:\\Quorvex\\V9_x86.zip"},
  };
  for (const auto& [architecture, packagePath] : cases) {
    Machine machine;
    machine.shell.architecture = architecture;
    machine.Run("V9");
    EXPECT_TRUE(machine.Saw(std::string("download GET updates\\") + FileNameOf(packagePath))) << packagePath;
    EXPECT_TRUE(machine.Saw(std::string("create ") + packagePath)) << packagePath;
    EXPECT_TRUE(machine.Saw("end")) << packagePath;
  }
}

TEST(Installation, DeletionsThatFailDoNotStopTheRun) {
  Machine machine;
  machine.files.files = {{"C:\\Quorvex\\Quorvex_2.1_x64.zip", "old"}, {"C:\\Quorvex\\Quorvex.exe", "old"}};
  machine.files.undeletable = {"C:\\Quorvex\\Quorvex_2.1_x64.zip", "C:\\Quorvex\\Quorvex.exe"};
  machine.Run();
  EXPECT_TRUE(machine.Saw("download GET updates\\Quorvex_2.1_x64.zip"));
  EXPECT_TRUE(machine.Saw(kExecuteEvent));
  EXPECT_TRUE(machine.Saw("end"));
  EXPECT_FALSE(machine.Saw(kErrorEvent));
}

TEST(Installation, AnEmptyBodyEndsTheRunSilentlyWhateverItsStatus) {
  for (const int status : {200, 204, 401, 404}) {
    Machine machine;
    machine.transport.status = status;
    machine.transport.contentType = "text/plain";
    machine.transport.body.clear();
    machine.Run();
    EXPECT_THAT(machine.log, ElementsAre("show progress", "download GET updates\\Quorvex_2.1_x64.zip")) << status;
  }
}

TEST(Installation, APackageFileMissingAfterWritingEndsTheRunSilently) {
  Machine machine;
  machine.files.vanishing = {"C:\\Quorvex\\Quorvex_2.1_x64.zip"};
  machine.Run();
  EXPECT_EQ(machine.log.back(), "close C:\\Quorvex\\Quorvex_2.1_x64.zip");
  EXPECT_FALSE(machine.files.FileExists("C:\\Quorvex\\Quorvex.exe"));
}

struct FailureCase {
  const char* what;
  std::function<void(Machine&)> arrange;
};

TEST(Installation, EveryFailureShowsTheDownloadErrorAndNeitherStartsNorEnds) {
  const FailureCase cases[] = {
      {"transfer fails", [](Machine& m) { m.transport.onSend = [] { throw TransportError("Error sending data: (12029) Cannot connect"); }; }},
      {"transfer breaks", [](Machine& m) { m.transport.onSecondBlock = [] { throw TransportError("Error receiving data: (12030) Connection aborted"); }; }},
      {"server error", [](Machine& m) { m.transport.status = 503; m.transport.reason = "Service Unavailable"; }},
      {"not a package", [](Machine& m) { m.transport.status = 404; m.transport.contentType = "text/plain"; m.transport.body = "Not found"; }},
      {"folder cannot be created", [](Machine& m) { m.files.unmakeable = {"C:\\Quorvex\\"}; }},
      {"package not writable", [](Machine& m) { m.files.locked = {"C:\\Quorvex\\Quorvex_2.1_x64.zip"}; }},
      {"package write stores nothing", [](Machine& m) { m.files.writesStoreNothing = true; }},
      {"unpacking fails", [](Machine& m) { m.transport.body = StoredZip({{"Quorvex.exe", "MZ"}}, /*breakCrc=*/true); }},
      {"application in use", [](Machine& m) { m.files.files = {{"C:\\Quorvex\\Quorvex.exe", "running"}};
                                              m.files.undeletable = m.files.locked = {"C:\\Quorvex\\Quorvex.exe"}; }},
      {"no link object", [](Machine& m) { m.shell.linkObjectFails = true; }},
      {"out of memory", [](Machine& m) { m.transport.onSecondBlock = [] { throw std::bad_alloc(); }; }},
      {"not a standard exception", [](Machine& m) { m.transport.onSend = [] { throw 42; }; }},
  };
  for (const FailureCase& failure : cases) {
    Machine machine;
    failure.arrange(machine);
    EXPECT_NO_THROW(machine.Run()) << failure.what;
    EXPECT_EQ(machine.log.back(), kErrorEvent) << failure.what;
    EXPECT_EQ(std::count(machine.log.begin(), machine.log.end(), kErrorEvent), 1) << failure.what;
    EXPECT_FALSE(machine.Saw(kExecuteEvent)) << failure.what;
    EXPECT_FALSE(machine.Saw("end")) << failure.what;
  }
}

TEST(Installation, AFailureAfterWritingLeavesThePackageFileForTheNextRun) {
  Machine machine;
  machine.transport.status = 404;
  machine.transport.contentType = "text/plain";
  machine.transport.body = "Not found";
  machine.Run();
  EXPECT_EQ(machine.files.Content("C:\\Quorvex\\Quorvex_2.1_x64.zip"), "Not found");

  machine.transport.status = 200;
  machine.transport.contentType = "application/octet-stream";
  machine.transport.body = kPackage;
  machine.Run();
  EXPECT_EQ(machine.log.back(), "end");
  EXPECT_FALSE(machine.files.FileExists("C:\\Quorvex\\Quorvex_2.1_x64.zip"));
}

TEST(Installation, AShortcutFailureComesAfterTheApplicationWasInstalled) {
  Machine machine;
  machine.shell.linkObjectFails = true;
  machine.Run();
  EXPECT_EQ(machine.files.Content("C:\\Quorvex\\Quorvex.exe"), "MZ new application");
  EXPECT_FALSE(machine.files.FileExists("C:\\Quorvex\\Quorvex_2.1_x64.zip"));
  EXPECT_EQ(machine.log.back(), kErrorEvent);
}

}  // namespace
}  // namespace quorvex
