#include "platform/win32/Win32LogStore.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/win32/UniqueHandle.h"

namespace quorvex::win32 {
namespace {

std::wstring FreshFolder(const wchar_t* name) {
  wchar_t temp[MAX_PATH + 1];
  ::GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring folder = std::wstring(temp) + name + L"\\";
  for (const wchar_t* file : {L"QuorvexInstall.log", L"QuorvexInstall.1.log"}) ::DeleteFileW((folder + file).c_str());
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::string Read(const std::wstring& path) {
  UniqueHandle<FileHandleTraits> file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                    OPEN_EXISTING, 0, nullptr));
  if (!file) return "<missing>";
  std::string text(1 << 18, '\0');
  DWORD read = 0;
  ::ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
  text.resize(read);
  return text;
}

TEST(Win32LogStore, AppendsStampedLinesAndKeepsOneOlderFile) {
  const std::wstring folder = FreshFolder(L"qv-log-rotation");
  Win32LogStore store(folder);
  const std::size_t lineSize = std::string("2026-12-10T14:03:22.481+01:00 first\r\n").size();
  FileRunLog log(store, 2 * lineSize + 1);  // "first" and "second" fit exactly
  log.Write("first");
  log.Write("second");
  const std::string two = Read(folder + L"QuorvexInstall.log");
  // The local time with the offset of the prefix's zone, which keeps summer time.
  EXPECT_TRUE(std::regex_match(two, std::regex(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+0[12]:00 (first|second)\r\n){2})")))
      << two;
  log.Write("third");
  EXPECT_EQ(Read(folder + L"QuorvexInstall.1.log"), two);
  EXPECT_NE(Read(folder + L"QuorvexInstall.log").find(" third\r\n"), std::string::npos);
  // The older file is replaced, not kept beside.
  log.Write("fourth");
  log.Write("fifth");
  EXPECT_NE(Read(folder + L"QuorvexInstall.1.log").find(" fourth\r\n"), std::string::npos);
}

TEST(Win32LogStore, ALogThatCannotBeWrittenIsSkipped) {
  // A folder that does not exist, and a file another program holds without sharing.
  Win32LogStore missing(L"C:\\no such folder\\deeper\\");
  EXPECT_FALSE(missing.Append("line\r\n"));
  FileRunLog(missing).Write("nothing happens");

  const std::wstring folder = FreshFolder(L"qv-log-locked");
  Win32LogStore store(folder);
  ASSERT_TRUE(store.Append("before\r\n"));
  UniqueHandle<FileHandleTraits> holder(::CreateFileW((folder + L"QuorvexInstall.log").c_str(), GENERIC_READ, 0, nullptr,
                                                      OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  EXPECT_FALSE(store.Append("while held\r\n"));
  FileRunLog(store).Write("while held");
  holder.reset();
  EXPECT_EQ(Read(folder + L"QuorvexInstall.log"), "before\r\n");
}

TEST(Win32LogStore, TwoWritersAtOnceKeepTheirLinesWhole) {
  // Two installers started together: each opens the file for each line, and appends it whole.
  const std::wstring folder = FreshFolder(L"qv-log-shared");
  auto write = [&](char tag) {
    Win32LogStore store(folder);
    FileRunLog log(store);
    for (int i = 0; i < 300; ++i) log.Write(std::string(120, tag) + " " + std::to_string(i));
  };
  std::thread first(write, 'a');
  std::thread second(write, 'b');
  first.join();
  second.join();
  std::istringstream lines(Read(folder + L"QuorvexInstall.log"));
  std::string line;
  int count = 0;
  const std::regex whole(R"(\S+ (a{120}|b{120}) \d+\r)");
  while (std::getline(lines, line)) {
    EXPECT_TRUE(std::regex_match(line, whole)) << line;
    ++count;
  }
  EXPECT_EQ(count, 600);
}

TEST(Win32LogStore, AFileAnotherInstallerHoldsIsNeitherMovedNorWaitedFor) {
  const std::wstring folder = FreshFolder(L"qv-log-held");
  Win32LogStore other(folder);
  const std::string earlier(100, 'e');
  ASSERT_TRUE(other.Append(earlier + "\r\n"));
  ASSERT_TRUE(other.Lock(0));  // another installer between its size check and its append
  Win32LogStore store(folder);
  {
    FileRunLog log(store, 50);  // past the limit: this line would move the file aside
    std::thread([&] { log.Write("while held"); }).join();  // the lock belongs to threads
    EXPECT_EQ(Read(folder + L"QuorvexInstall.1.log"), "<missing>") << "moved aside under the other writer";
    EXPECT_EQ(Read(folder + L"QuorvexInstall.log"), earlier + "\r\n");
    other.Unlock();
    std::thread([&] { log.Write("after"); }).join();
  }
  EXPECT_EQ(Read(folder + L"QuorvexInstall.1.log"), earlier + "\r\n");
  const std::string now = Read(folder + L"QuorvexInstall.log");
  EXPECT_NE(now.find(" 1 line of this installer not written: another installer held the log\r\n"), std::string::npos) << now;
  EXPECT_NE(now.find(" after\r\n"), std::string::npos) << now;
}

TEST(Win32LogStore, TwoInstallersAtTheRotationLimitLoseNothing) {
  // Both writers pass the limit about together: only one may move the file aside, or the
  // second move would put the fresh file over the older one and lose it.
  const std::wstring folder = FreshFolder(L"qv-log-rotating");
  constexpr int kLines = 200;
  const std::size_t lineSize = std::string("2026-12-10T14:03:22.481+01:00 ").size() + 100 + 6;
  const std::uint64_t limit = 3 * kLines * lineSize / 2;  // both writers' lines fit in two files
  auto write = [&](char tag) {
    Win32LogStore store(folder);
    FileRunLog log(store, limit);
    for (int i = 0; i < kLines; ++i) log.Write(std::string(100, tag) + " " + std::to_string(1000 + i));
  };
  std::thread first(write, 'a');
  std::thread second(write, 'b');
  first.join();
  second.join();
  const std::regex whole(R"(\S+ ((a{100}|b{100}) \d{4}|\d+ lines? of this installer not written: .*)\r)");
  const std::regex dropped(R"(\S+ (\d+) lines? of this installer not written: .*\r)");
  int kept = 0, announced = 0;
  for (const wchar_t* file : {L"QuorvexInstall.1.log", L"QuorvexInstall.log"}) {
    std::istringstream lines(Read(folder + file));
    std::string line;
    while (std::getline(lines, line)) {
      EXPECT_TRUE(std::regex_match(line, whole)) << line;
      std::smatch match;
      if (std::regex_match(line, match, dropped)) {
        announced += std::stoi(match[1]);
      } else {
        ++kept;
      }
    }
  }
  // A line the window could not wait for is said to be missing; none goes missing silently.
  EXPECT_EQ(kept + announced, 2 * kLines) << kept << " kept, " << announced << " announced as dropped";
  EXPECT_GT(kept, kLines) << "the writers waited for each other";
}

}  // namespace
}  // namespace quorvex::win32
