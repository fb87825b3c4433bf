#include "install/Installation.h"

#include "FakeTransport.h"
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
using testing::FakeTransport;
using testing::FakeUi;
using testing::ScriptedResponse;
using testing::Throwing;

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

struct Machine {
  EventLog log;
  FakeFileSystem files{log};
  FakeShell shell{log, files};
  FakeUi ui{log};
  FakeTransport transport;
  DownloadClient client{transport, "https://downloads.test/admin"};

  Machine() {
    files.partial = {"C:\\Quorvex\\Quorvex_2.1_x64.zip"};
    transport.onSend = [this](const TransportRequest& request) {
      log.push_back("download " + request.method + " " + RequestedFile(request));
    };
  }

  // The service's answer to the next run: the body in two blocks, its length announced
  // unless it is empty. A run that was given none gets the package.
  ScriptedResponse& Serve(const std::string& body, int status = 200, const char* reason = "OK",
                          const char* contentType = "application/octet-stream") {
    std::vector<std::string> blocks;
    if (!body.empty()) blocks = {body.substr(0, body.size() / 2), body.substr(body.size() / 2)};
    return transport.AnswerBody(status, reason, std::move(blocks), !body.empty(), {{"Content-Type", contentType}});
  }
  // The package's first block arrives, then the transfer fails with whatever fail throws.
  void ServeBroken(std::function<void()> fail) {
    ScriptedResponse& answer = Serve(kPackage);
    answer.blocks.pop_back();
    answer.failRead = std::move(fail);
  }

  void Run(const std::string& versionName = "Quorvex_2.1") {
    if (transport.Pending() == 0) Serve(kPackage);
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
    machine.Serve("", status, "Status", "text/plain");
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
      {"transfer fails", [](Machine& m) {
         m.Serve(kPackage).failSend = Throwing(PlatformFailure(DownloadFailure::kSending, 12029, "Cannot connect")); }},
      {"transfer breaks", [](Machine& m) {
         m.ServeBroken(Throwing(PlatformFailure(DownloadFailure::kReceiving, 12030, "Connection aborted"))); }},
      {"server error", [](Machine& m) { m.Serve("<p>down</p>", 503, "Service Unavailable", "text/html"); }},
      {"not a package", [](Machine& m) { m.Serve("Not found", 404, "Not Found", "text/plain"); }},
      {"folder cannot be created", [](Machine& m) { m.files.unmakeable = {"C:\\Quorvex\\"}; }},
      {"package not writable", [](Machine& m) { m.files.locked = {"C:\\Quorvex\\Quorvex_2.1_x64.zip"}; }},
      {"package write stores nothing", [](Machine& m) { m.files.writesStoreNothing = true; }},
      {"unpacking fails", [](Machine& m) { m.Serve(StoredZip({{"Quorvex.exe", "MZ"}}, /*breakCrc=*/true)); }},
      {"application in use", [](Machine& m) { m.files.files = {{"C:\\Quorvex\\Quorvex.exe", "running"}};
                                              m.files.undeletable = m.files.locked = {"C:\\Quorvex\\Quorvex.exe"}; }},
      {"no link object", [](Machine& m) { m.shell.linkObjectFails = true; }},
      {"out of memory", [](Machine& m) { m.ServeBroken(Throwing(std::bad_alloc())); }},
      {"not a standard exception", [](Machine& m) { m.Serve(kPackage).failSend = Throwing(42); }},
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
  machine.Serve("Not found", 404, "Not Found", "text/plain");
  machine.Run();
  EXPECT_EQ(machine.files.Content("C:\\Quorvex\\Quorvex_2.1_x64.zip"), "Not found");

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
