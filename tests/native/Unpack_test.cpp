#include "install/Unpacker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <chrono>
#include <functional>
#include <iterator>
#include <thread>
#include <utility>

#include <malloc.h>

#include "ZipTestSupport.h"
#include "install/ZipReader.h"

namespace quorvex {
namespace {

using ::testing::HasSubstr;
using namespace quorvex::testing;

const std::string kFolder = "C:\\Quorvex\\";

// Text that deflates well but is not one repeated byte, a few MiB long so that the
// output crosses several blocks.
std::string BigText(std::size_t size) {
  std::string out;
  out.reserve(size);
  std::uint32_t state = 12345;
  while (out.size() < size) {
    state = state * 1103515245 + 12345;
    out += "line " + std::to_string(state % 1000) + "\n";
  }
  out.resize(size);
  return out;
}

std::string UnpackExpectingError(const std::string& package, MemoryFileSystem& files) {
  try {
    UnpackPackage(AsBytes(package), kFolder, files);
  } catch (const UnpackError& e) {
    return e.what();
  }
  ADD_FAILURE() << "the package was unpacked without an error";
  return {};
}

// The failure itself, for tests that compare its kind and data.
UnpackError UnpackExpectingFailure(const std::string& package, MemoryFileSystem& files) {
  try {
    UnpackPackage(AsBytes(package), kFolder, files);
  } catch (const UnpackError& e) {
    return e;
  }
  ADD_FAILURE() << "the package was unpacked without an error";
  return UnpackError(UnpackFailure::kResources, "no failure");
}

TEST(Unpack, WritesFilesFoldersTimesAndAttributesInDirectoryOrder) {
  const std::string big = BigText(3 * 1024 * 1024 + 17);
  std::vector<TestEntry> entries(6);
  entries[0] = {.name = "Quorvex.exe", .data = "MZ program", .method = 0, .externalAttributes = 0x21};
  entries[1] = {.name = "bin/", .data = "", .method = 0, .externalAttributes = 0x10};
  entries[2] = {.name = "bin/lib/core.dll", .data = big};
  entries[3] = {.name = "docs/readme.txt", .data = "hidden system read-only", .externalAttributes = 0x07};
  entries[4] = {.name = "unix.txt", .data = "from unix", .versionMadeBy = 3 << 8 | 20, .externalAttributes = 0x01};
  entries[5] = {.name = "empty.txt", .data = "", .dosTime = 0xFFFF, .dosDate = 0};
  MemoryFileSystem files;
  UnpackPackage(AsBytes(BuildPackage(entries)), kFolder, files);

  EXPECT_EQ(files.files.at(kFolder + "Quorvex.exe").data, "MZ program");
  EXPECT_EQ(files.files.at(kFolder + "bin\\lib\\core.dll").data, big);
  EXPECT_EQ(files.files.at(kFolder + "empty.txt").data, "");
  EXPECT_TRUE(files.folders.count(kFolder + "bin"));
  EXPECT_TRUE(files.folders.count(kFolder + "docs"));

  // MS-DOS hosts get their attribute bits; other hosts keep none; folders get neither.
  EXPECT_EQ(files.files.at(kFolder + "Quorvex.exe").attributes, 0x21u);
  EXPECT_EQ(files.files.at(kFolder + "docs\\readme.txt").attributes, 0x07u);
  EXPECT_EQ(files.files.at(kFolder + "unix.txt").attributes, 0u);
  const std::optional<DosDateTime> times = files.files.at(kFolder + "Quorvex.exe").times;
  ASSERT_TRUE(times);
  EXPECT_EQ(times->date, kSomeDate);
  EXPECT_EQ(times->time, kNoonTime);
  EXPECT_FALSE(files.files.at(kFolder + "empty.txt").times);

  // Each file: created after its folder, written, timed, closed, then its attributes.
  const std::vector<std::string> exe = {"create " + kFolder + "Quorvex.exe", "times " + kFolder + "Quorvex.exe",
                                        "close " + kFolder + "Quorvex.exe",
                                        "attributes " + kFolder + "Quorvex.exe 33"};
  EXPECT_THAT(files.log, ::testing::IsSupersetOf(exe));
  const auto position = [&](const std::string& line) {
    return std::find(files.log.begin(), files.log.end(), line) - files.log.begin();
  };
  EXPECT_LT(position(exe[0]), position(exe[1]));
  EXPECT_LT(position(exe[1]), position(exe[2]));
  EXPECT_LT(position(exe[2]), position(exe[3]));
  EXPECT_LT(position(exe[3]), position("folder " + kFolder + "bin"));
  EXPECT_LT(position("folder " + kFolder + "bin\\lib"), position("create " + kFolder + "bin\\lib\\core.dll"));
  EXPECT_LT(position("create " + kFolder + "bin\\lib\\core.dll"), position("create " + kFolder + "docs\\readme.txt"));
}

TEST(Unpack, NamesAreDecodedFromUnicodePathUtf8OrCodePage437) {
  struct Case {
    const char* what;
    std::string rawName;
    std::uint16_t flags;
    std::string localExtra;
    std::string expected;
  };
  const std::string cp437 = "Instala\x87\x84o \x9C\xE1.txt";          // ç ä £ ß
  const std::string utf8 = "Instala\xC3\xA7\xC3\xA3o.txt";            // çã
  const Case cases[] = {
      {"code page 437", cp437, 0, "", "Instala\xC3\xA7\xC3\xA4o \xC2\xA3\xC3\x9F.txt"},
      {"flag bit 11", utf8, 0x0800, "", utf8},
      {"unicode path with matching CRC", cp437, 0, UnicodePathExtra(utf8, cp437), utf8},
      {"unicode path wins over bit 11", "plain.txt", 0x0800, UnicodePathExtra(utf8, "plain.txt"), utf8},
      {"unicode path with stale CRC", cp437, 0, UnicodePathExtra(utf8, "other"),
       "Instala\xC3\xA7\xC3\xA4o \xC2\xA3\xC3\x9F.txt"},
      {"box drawing and greek", "\xC9\xCD\xBB\xE0", 0, "", "\xE2\x95\x94\xE2\x95\x90\xE2\x95\x97\xCE\xB1"},
  };
  for (const Case& c : cases) {
    MemoryFileSystem files;
    UnpackPackage(AsBytes(BuildPackage({{.name = c.rawName, .data = "x", .flags = c.flags,
                                         .localExtra = c.localExtra, .centralExtra = c.localExtra}})),
                  kFolder, files);
    EXPECT_TRUE(files.files.count(kFolder + c.expected)) << c.what;
  }
}

TEST(Unpack, RefusedNamesFailBeforeAnythingIsWritten) {
  const char* names[] = {
      "/etc/passwd", "\\windows\\x.dll", "C:\\x.dll", "C:x.dll", "a/b:stream", "../x.dll", "a/../../x.dll",
      "a\\..\\..\\x.dll", "a//b.txt", "a\\\\", "a/\\", "CON", "con.txt", "bin/Nul.dll", "LPT1", "com9.log",
      "aux .txt", "trailing.", "trailing ", "dir./x", "./x", "a\x01" "b", "tab\there", "q\"uote", "a<b", "a>b",
      "pipe|d", "a?.txt", "star*.dll", "dir?/x",
  };
  for (const char* name : names) {
    MemoryFileSystem files;
    const std::string message =
        UnpackExpectingError(BuildPackage({{.name = "first.txt", .data = "ok"}, {.name = name, .data = "bad"}}), files);
    EXPECT_THAT(message, HasSubstr("entry \"")) << name;
    // The whole directory is checked first: not even the good entry before it is written.
    EXPECT_TRUE(files.log.empty()) << name;
  }
  for (const char c : {'"', '<', '>', '|', '?', '*'}) {
    MemoryFileSystem files;
    EXPECT_THAT(UnpackExpectingError(BuildPackage({{.name = std::string("a") + c, .data = "x"}}), files),
                HasSubstr(std::string("the name contains the character '") + c + "'"));
  }
  // Lookalikes that are fine.
  for (const char* name : {"COM0.txt", "CONSOLE.txt", "nul_device", "a..b", ".hidden", "LPT10", "dir/x.y.z"}) {
    MemoryFileSystem files;
    EXPECT_NO_THROW(UnpackPackage(AsBytes(BuildPackage({{.name = name, .data = "ok"}})), kFolder, files)) << name;
  }
}

TEST(Unpack, NamesEndingInEitherSeparatorAreFolders) {
  // .NET's ZipFile, PowerShell's Compress-Archive and WinZip's Unicode path field store
  // empty folders with a trailing backslash.
  const std::string unicodeFolder = "Raiz\\Vazia\xC3\xA7\\";
  MemoryFileSystem files;
  UnpackPackage(AsBytes(BuildPackage({{.name = "Root\\EmptyDir\\", .data = "", .method = 0, .externalAttributes = 0x10},
                                      {.name = "Root\\file.txt", .data = "in root"},
                                      {.name = "Slash/Empty/", .data = "", .method = 0},
                                      {.name = "Raiz\\Vazia?\\", .data = "", .method = 0,
                                       .localExtra = UnicodePathExtra(unicodeFolder, "Raiz\\Vazia?\\"),
                                       .centralExtra = UnicodePathExtra(unicodeFolder, "Raiz\\Vazia?\\")}})),
                kFolder, files);
  EXPECT_TRUE(files.folders.count(kFolder + "Root\\EmptyDir"));
  EXPECT_TRUE(files.folders.count(kFolder + "Slash\\Empty"));
  EXPECT_TRUE(files.folders.count(kFolder + "Raiz\\Vazia\xC3\xA7"));
  EXPECT_EQ(files.files.at(kFolder + "Root\\file.txt").data, "in root");
  EXPECT_EQ(files.files.size(), 1u);
}

TEST(Unpack, BadUtf8NameIsRefused) {
  MemoryFileSystem files;
  EXPECT_THAT(UnpackExpectingError(BuildPackage({{.name = "bad\xC3(.txt", .data = "x", .flags = 0x0800}}), files),
              HasSubstr("not valid UTF-8"));
  EXPECT_TRUE(files.files.empty());
}

// Faults that only writing finds: the first one stops the run, what came before stays.
TEST(Unpack, WritingFailuresStopTheRunAndKeepWhatWasWritten) {
  const std::string text = BigText(2 * 1024 * 1024 + 5);
  const std::string deflated = RawDeflate(text);
  struct Case {
    const char* what;
    TestEntry entry;
    UnpackFailure kind;
    std::size_t bytesKept;  // of the failing entry, a prefix of its data at least this long
    bool exactly;           // and no more
  };
  const Case cases[] = {
      {"crc mismatch", {.name = "f.bin", .data = "data", .crc = 0x12345678}, UnpackFailure::kChecksum, 4, true},
      {"deflate stream cut short",
       {.name = "f.bin", .data = text, .storedData = deflated.substr(0, deflated.size() / 2)},
       UnpackFailure::kBadData, 900000, false},
      {"deflate stream shorter than the size",
       {.name = "f.bin", .data = "abc", .uncompressedSize = 10}, UnpackFailure::kBadData, 3, true},
      {"corrupt deflate stream", {.name = "f.bin", .data = "x", .storedData = std::string("\xFF\xFF\xFF", 3)},
       UnpackFailure::kBadData, 0, true},
  };
  for (const Case& c : cases) {
    MemoryFileSystem files;
    const UnpackError error = UnpackExpectingFailure(
        BuildPackage({{.name = "before.txt", .data = "ok"}, c.entry, {.name = "after.txt", .data = "never"}}), files);
    EXPECT_EQ(error.kind(), c.kind) << c.what;
    EXPECT_EQ(error.entry(), "f.bin") << c.what;
    if (c.kind == UnpackFailure::kChecksum) {
      EXPECT_EQ(error.expectedCrc, 0x12345678U) << c.what;
      EXPECT_EQ(error.actualCrc, Crc32("data")) << c.what;
    }
    EXPECT_EQ(files.files.at(kFolder + "before.txt").data, "ok") << c.what;
    EXPECT_TRUE(files.files.at(kFolder + "before.txt").times.has_value()) << c.what;
    EXPECT_FALSE(files.files.count(kFolder + "after.txt")) << c.what;
    ASSERT_EQ(files.files.count(kFolder + "f.bin"), 1u) << c.what;
    const std::string& kept = files.files.at(kFolder + "f.bin").data;
    EXPECT_EQ(kept, c.entry.data.substr(0, kept.size())) << c.what;
    if (c.exactly) {
      EXPECT_EQ(kept.size(), c.bytesKept) << c.what;
    } else {
      EXPECT_GE(kept.size(), c.bytesKept) << c.what;
    }
  }
}

// Where the n-th central header of a package built by BuildPackage starts.
std::size_t CentralHeader(const std::string& package, int n) {
  std::size_t at = package.find("PK\x01\x02");
  for (int i = 0; i < n; ++i) at = package.find("PK\x01\x02", at + 4);
  return at;
}

void Patch32(std::string& package, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) package[at + i] = static_cast<char>(value >> (8 * i));
}

std::uint32_t Read32(const std::string& package, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) value = value << 8 | static_cast<std::uint8_t>(package[at + i]);
  return value;
}

// Anything the central directory and the local headers tell before writing fails the
// package as a whole, however late in the directory it comes.
TEST(Unpack, StructuralFaultsAnywhereWriteNothing) {
  const std::vector<TestEntry> good = {{.name = "Quorvex.exe", .data = "MZ"},
                                       {.name = "docs/", .data = "", .method = 0},
                                       {.name = "docs/a.txt", .data = BigText(5000)}};
  const auto withLast = [&](TestEntry last) {
    std::vector<TestEntry> entries = good;
    entries.push_back(std::move(last));
    return BuildPackage(entries);
  };
  // Two directory entries for one local header (a package of many entries can share one).
  std::string shared = BuildPackage({{.name = "a.txt", .data = "a"}, {.name = "b.txt", .data = "b"},
                                     {.name = "c.txt", .data = "c"}});
  Patch32(shared, CentralHeader(shared, 2) + 42, 0);
  // An entry whose local header and data lie inside another entry's data.
  const std::string nested = BuildPackage({{.name = "b.bin", .data = "b"}});
  std::string inner = BuildPackage({{.name = "a.bin", .data = nested.substr(0, CentralHeader(nested, 0)), .method = 0},
                                    {.name = "b.bin", .data = "b"}});
  Patch32(inner, CentralHeader(inner, 1) + 42, 30 + 5);
  // An entry whose data reaches into the central directory.
  std::string intoDirectory = withLast({.name = "last.bin", .data = "last", .method = 0});
  Patch32(intoDirectory, CentralHeader(intoDirectory, 3) + 20, 4 + 10);
  // An entry whose data runs past the end of the package.
  std::string pastEnd = withLast({.name = "last.bin", .data = "last", .method = 0});
  Patch32(pastEnd, CentralHeader(pastEnd, 3) + 20, 0x7FFFFFFF);
  // A local header without its signature.
  std::string noLocal = withLast({.name = "last.bin", .data = "last"});
  noLocal[Read32(noLocal, CentralHeader(noLocal, 3) + 42)] = 'X';
  struct Case {
    const char* what;
    std::string package;
    const char* message;
  };
  const Case cases[] = {
      {"refused name", withLast({.name = "../up.txt", .data = "x"}), "entry \"../up.txt\": the name climbs"},
      {"method 12", withLast({.name = "m.bin", .data = "x", .method = 12}), "entry \"m.bin\": compression method 12"},
      {"encrypted", withLast({.name = "e.bin", .data = "x", .flags = 1}), "entry \"e.bin\": encrypted"},
      {"stored data shorter than its size",
       withLast({.name = "s.bin", .data = "abcdef", .method = 0, .storedData = "abc", .crc = Crc32("abcdef")}),
       "entry \"s.bin\": its stored data is shorter than its size"},
      {"bad UTF-8", withLast({.name = "bad\xC3(.txt", .data = "x", .flags = 0x0800}), "not valid UTF-8"},
      {"local header", noLocal, "entry \"last.bin\": its local header has no signature"},
      {"shared local header", shared, "entry \"c.txt\": its local header names it \"a.txt\""},
      {"inside another's stream", inner, "entry \"b.bin\": its data overlaps that of entry \"a.bin\""},
      {"into the directory", intoDirectory, "entry \"last.bin\": its data overlaps the central directory"},
      {"past the end", pastEnd, "entry \"last.bin\": its data runs past the end of the package"},
  };
  for (const Case& c : cases) {
    MemoryFileSystem files;
    EXPECT_THAT(UnpackExpectingError(c.package, files), HasSubstr(c.message)) << c.what;
    EXPECT_TRUE(files.log.empty()) << c.what;
    bool visited = false;
    EXPECT_THROW(CheckPackage(AsBytes(c.package), [&](const PackageEntry&) { visited = true; }), UnpackError) << c.what;
    EXPECT_FALSE(visited) << c.what;
  }
}

TEST(Unpack, CheckPackageListsWhatUnpackingWillMake) {
  const std::string package = BuildPackage({
      {.name = "Quorvex.exe", .data = "MZ program"},
      {.name = "Dados\\", .data = "", .method = 0},
      {.name = "caf\xC3\xA9.txt", .data = "unmarked UTF-8"},
      {.name = "caf\xC3\xA9-marked.txt", .data = "marked", .flags = 0x0800},
      {.name = "caf\x82.txt", .data = "code page 437"},
  });
  std::vector<PackageEntry> listed;
  CheckPackage(AsBytes(package), [&](const PackageEntry& entry) { listed.push_back(entry); });
  ASSERT_EQ(listed.size(), 5u);
  EXPECT_EQ(listed[0].relativePath, "Quorvex.exe");
  EXPECT_EQ(listed[0].size, 10u);
  EXPECT_FALSE(listed[0].isFolder);
  EXPECT_TRUE(listed[1].isFolder);
  EXPECT_EQ(listed[1].relativePath, "Dados");
  // Valid UTF-8 without the flag is still read as code page 437, and is pointed out.
  EXPECT_EQ(listed[2].name, "caf\xE2\x94\x9C\xE2\x8C\x90.txt");  // ├⌐
  EXPECT_TRUE(listed[2].unmarkedUtf8);
  EXPECT_EQ(listed[2].storedName, "caf\xC3\xA9.txt");
  EXPECT_EQ(listed[3].name, "caf\xC3\xA9-marked.txt");
  EXPECT_FALSE(listed[3].unmarkedUtf8);
  EXPECT_EQ(listed[4].name, "caf\xC3\xA9.txt");
  EXPECT_FALSE(listed[4].unmarkedUtf8);
}

// A file system whose first file is created only once the test lets it: meanwhile the
// unpacker queues what it can for the writer.
class GatedFileSystem : public MemoryFileSystem {
 public:
  std::function<void()> beforeFirstFile;
  std::unique_ptr<OutputFile> CreateOutputFile(const std::string& path) override {
    if (beforeFirstFile) std::exchange(beforeFirstFile, nullptr)();
    return MemoryFileSystem::CreateOutputFile(path);
  }
};

TEST(Unpack, WorkQueuedForTheWriterIsBoundedForManyEmptyEntries) {
  std::vector<TestEntry> entries;
  // As many as a plain end record can count.
  for (int i = 0; i < 60000; ++i) {
    entries.push_back({.name = "pasta-com-um-nome-longo/" + std::to_string(i) + ".txt", .data = "", .method = 0});
  }
  const std::string package = BuildPackage(entries);
  entries.clear();
  entries.shrink_to_fit();
  GatedFileSystem files;
  const std::size_t before = mallinfo2().uordblks;
  std::size_t grown = 0;
  files.beforeFirstFile = [&] {
    // An unbounded queue grows by an operation and a path per entry (tens of megabytes
    // here) while the writer is held up.
    for (int i = 0; i < 50; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      grown = std::max(grown, mallinfo2().uordblks - std::min(before, mallinfo2().uordblks));
    }
  };
  UnpackPackage(AsBytes(package), kFolder, files);
  EXPECT_LT(grown, std::size_t{4} << 20);
  EXPECT_EQ(files.files.size(), 60000u);
}

// A ZIP64 locator's signature may just be bytes of the last central entry (here its extra
// field) 20 bytes before the end record; only a real ZIP64 end record makes it count.
TEST(Unpack, Zip64LocatorCountsOnlyWithItsEndRecord) {
  const auto lookalike = [](std::uint64_t pointsAt) {
    std::string field;
    PutLe(field, 0xCAFE, 2);
    PutLe(field, 20, 2);
    PutLe(field, 0x07064b50, 4);
    PutLe(field, 0, 4);
    PutLe(field, pointsAt, 8);
    PutLe(field, 1, 4);
    return field;
  };
  for (const std::uint64_t pointsAt : {std::uint64_t{0}, std::uint64_t{1} << 40}) {
    MemoryFileSystem files;
    UnpackPackage(AsBytes(BuildPackage({{.name = "a.txt", .data = "a"},
                                        {.name = "b.txt", .data = "b", .centralExtra = lookalike(pointsAt)}})),
                  kFolder, files);
    EXPECT_EQ(files.files.at(kFolder + "b.txt").data, "b") << pointsAt;
  }
  // Without the record, a saturated field in the plain one cannot be resolved.
  std::string saturated = BuildPackage({{.name = "a.txt", .data = "a", .centralExtra = lookalike(0)}});
  Patch32(saturated, saturated.size() - 6, 0xFFFFFFFF);
  MemoryFileSystem files;
  EXPECT_THAT(UnpackExpectingError(saturated, files), HasSubstr("needs a ZIP64 end record"));
}

TEST(Unpack, OnlyTheDirectorysUncompressedSizeIsWritten) {
  // The stream holds more than the directory announces; the rest is never read.
  MemoryFileSystem files;
  UnpackPackage(AsBytes(BuildPackage({{.name = "f.txt",
                                       .data = "abcdef",
                                       .method = 0,
                                       .crc = Crc32("abc"),
                                       .uncompressedSize = 3}})),
                kFolder, files);
  EXPECT_EQ(files.files.at(kFolder + "f.txt").data, "abc");
  MemoryFileSystem inflated;
  UnpackPackage(AsBytes(BuildPackage({{.name = "f.txt", .data = "abcdef", .crc = Crc32("abc"), .uncompressedSize = 3}})),
                kFolder, inflated);
  EXPECT_EQ(inflated.files.at(kFolder + "f.txt").data, "abc");
}

TEST(Unpack, FileSystemRefusalsAndShortWritesFail) {
  {
    // The file system refuses the second entry; nothing queued behind it reaches the file
    // system, however much was queued.
    std::vector<TestEntry> entries = {{.name = "first.txt", .data = "first"}, {.name = "Quorvex.exe", .data = "new"}};
    for (int i = 0; i < 3000; ++i) entries.push_back({.name = "later/" + std::to_string(i) + ".txt", .data = "x"});
    MemoryFileSystem files;
    files.inUse.insert(kFolder + "Quorvex.exe");
    const UnpackError error = UnpackExpectingFailure(BuildPackage(entries), files);
    EXPECT_EQ(error.kind(), UnpackFailure::kFileSystem);
    EXPECT_EQ(error.entry(), "Quorvex.exe");
    EXPECT_EQ(error.path, kFolder + "Quorvex.exe");
    EXPECT_EQ(error.fileSystemFailure, FileSystemFailure::kCreateFile);
    EXPECT_EQ(error.systemCode, MemoryFileSystem::kSharingViolation);
    EXPECT_EQ(files.log.back(), "attributes " + kFolder + "first.txt 0");
  }
  {
    MemoryFileSystem files;
    files.writeCapacity = 100;
    const UnpackError error = UnpackExpectingFailure(BuildPackage({{.name = "big.bin", .data = BigText(1000)}}), files);
    EXPECT_EQ(error.kind(), UnpackFailure::kFileSystem);
    EXPECT_EQ(error.path, kFolder + "big.bin");
    EXPECT_EQ(error.fileSystemFailure, FileSystemFailure::kWrite);
    EXPECT_EQ(error.systemCode, 0u);
    EXPECT_THAT(error.what(), HasSubstr("stored 100 of"));
    EXPECT_EQ(files.files.at(kFolder + "big.bin").data.size(), 100u);
  }
  {
    // A file stands where a folder must go.
    MemoryFileSystem files;
    files.files[kFolder + "a"].data = "a file there before";
    const UnpackError error = UnpackExpectingFailure(BuildPackage({{.name = "a/b.txt", .data = "x"}}), files);
    EXPECT_EQ(error.kind(), UnpackFailure::kFileSystem);
    EXPECT_EQ(error.entry(), "a/b.txt");
    EXPECT_EQ(error.path, kFolder + "a");
    EXPECT_EQ(error.fileSystemFailure, FileSystemFailure::kCreateFolder);
    EXPECT_EQ(error.systemCode, MemoryFileSystem::kAlreadyExists);
  }
}

// A file system whose first file takes a while to create, so that the unpacker queues a
// lot of data behind it; the CRC-32 of later entries is then taken while producing.
class SlowStartFileSystem : public MemoryFileSystem {
 public:
  std::unique_ptr<OutputFile> CreateOutputFile(const std::string& path) override {
    if (!slowed_) {
      slowed_ = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return MemoryFileSystem::CreateOutputFile(path);
  }

 private:
  bool slowed_ = false;
};

TEST(Unpack, ChecksumsHoldWhileTheWriterLagsBehind) {
  const std::string lead = BigText(3 * 1024 * 1024);
  const std::string text = BigText(700000);
  const std::string wrong = BigText(1500000);
  struct Case {
    const char* what;
    TestEntry bad;  // after the lagging start, with a wrong CRC-32
  };
  const Case cases[] = {
      {"stored", {.name = "bad.bin", .data = wrong, .method = 0, .crc = Crc32(text)}},
      {"deflated", {.name = "bad.bin", .data = wrong, .crc = Crc32(text)}},
  };
  for (const Case& c : cases) {
    SlowStartFileSystem files;
    const UnpackError error = UnpackExpectingFailure(
        BuildPackage({{.name = "first.txt", .data = "first"},
                      {.name = "lead.bin", .data = lead, .method = 0},
                      {.name = "stored.txt", .data = text, .method = 0},
                      {.name = "deflated.txt", .data = text},
                      c.bad,
                      {.name = "after.txt", .data = "never"}}),
        files);
    EXPECT_EQ(error.kind(), UnpackFailure::kChecksum) << c.what;
    EXPECT_EQ(error.entry(), "bad.bin") << c.what;
    EXPECT_EQ(error.expectedCrc, Crc32(text)) << c.what;
    EXPECT_EQ(error.actualCrc, Crc32(wrong)) << c.what;
    EXPECT_THAT(error.what(), HasSubstr("(stored 0x")) << c.what;
    EXPECT_EQ(files.files.at(kFolder + "lead.bin").data, lead) << c.what;
    EXPECT_EQ(files.files.at(kFolder + "stored.txt").data, text) << c.what;
    EXPECT_EQ(files.files.at(kFolder + "deflated.txt").data, text) << c.what;
    EXPECT_EQ(files.files.at(kFolder + "bad.bin").data, wrong) << c.what;
    EXPECT_FALSE(files.files.count(kFolder + "after.txt")) << c.what;
  }
}

// Long deflated entries are inflated one at a time, a region between each of the entries
// after them, their files open meanwhile; an entry that may be the same file as one of them
// (the same path but for case, or a name outside ASCII) waits until they are finished; a
// fault in one still names it.
TEST(Unpack, LongEntriesOverlapTheEntriesAfterThem) {
  const std::string big = BigText(6 * 1024 * 1024);
  const std::string other = BigText(5 * 1024 * 1024 + 7);
  std::vector<TestEntry> entries = {{.name = "app/big.exe", .data = big}, {.name = "lib/other.dll", .data = other}};
  for (int i = 0; i < 80; ++i) {
    entries.push_back({.name = "docs/p" + std::to_string(i) + ".txt", .data = "page " + std::to_string(i)});
  }
  entries.push_back({.name = "docs/p\xc3\xa1gina.txt", .data = "accent", .flags = kZipFlagUtf8Name});
  entries.push_back({.name = "lib/third.dll", .data = other});
  entries.push_back({.name = "last.txt", .data = "last"});
  MemoryFileSystem files;
  UnpackPackage(AsBytes(BuildPackage(entries)), kFolder, files);

  EXPECT_EQ(files.files.at(kFolder + "app\\big.exe").data, big);
  EXPECT_EQ(files.files.at(kFolder + "lib\\other.dll").data, other);
  EXPECT_EQ(files.files.at(kFolder + "lib\\third.dll").data, other);
  EXPECT_EQ(files.files.at(kFolder + "docs\\p79.txt").data, "page 79");
  EXPECT_EQ(files.files.at(kFolder + "docs\\p\xc3\xa1gina.txt").data, "accent");
  EXPECT_EQ(files.files.at(kFolder + "last.txt").data, "last");
  for (const char* name : {"app\\big.exe", "lib\\other.dll", "lib\\third.dll"}) {
    EXPECT_FALSE(files.files.at(kFolder + name).open) << name;
    EXPECT_TRUE(files.files.at(kFolder + name).times.has_value()) << name;
  }
  const auto at = [&](const std::string& line) {
    const auto found = std::find(files.log.begin(), files.log.end(), line);
    EXPECT_NE(found, files.log.end()) << line;
    return found - files.log.begin();
  };
  const auto event = [&](const char* what, const std::string& name) { return at(what + (" " + kFolder) + name); };
  EXPECT_LT(event("create", "app\\big.exe"), event("create", "docs\\p1.txt"));
  EXPECT_LT(event("create", "docs\\p1.txt"), event("close", "app\\big.exe"));
  EXPECT_LT(event("close", "app\\big.exe"), event("create", "lib\\other.dll"));
  EXPECT_LT(event("create", "lib\\other.dll"), event("create", "docs\\p79.txt"));
  EXPECT_LT(event("create", "docs\\p79.txt"), event("close", "lib\\other.dll"));
  EXPECT_LT(event("close", "lib\\other.dll"), event("create", "docs\\p\xc3\xa1gina.txt"));
  EXPECT_LT(event("create", "docs\\p\xc3\xa1gina.txt"), event("create", "lib\\third.dll"));

  // Cut short inside a long entry: the failure is that entry's, whatever came after it.
  std::string cut = RawDeflate(other);
  cut.resize(cut.size() / 2);
  entries[1].storedData = cut;
  MemoryFileSystem broken;
  const UnpackError error = UnpackExpectingFailure(BuildPackage(entries), broken);
  EXPECT_EQ(error.kind(), UnpackFailure::kBadData);
  EXPECT_EQ(error.entry(), "lib/other.dll");
}

// The failure reported is the first in the order the work reaches the file system: the
// package's order, except that a long entry ends after the short entries that follow it
// while it is inflated. That order is the package's alone: a writer that lags behind (the
// producer then takes the CRC-32s and runs ahead) reports the same failure.
TEST(Unpack, TheFailureReportedIsTheFirstInTheOrderOfTheWork) {
  const std::string big = BigText(6 * 1024 * 1024);
  const TestEntry longBad = {.name = "long.bin", .data = big, .crc = Crc32("other")};
  const TestEntry shortBad = {.name = "short.txt", .data = "short", .crc = Crc32("other")};
  const TestEntry cutShort = {.name = "cut.txt", .data = "x", .storedData = std::string("\xFF\xFF\xFF", 3)};
  const auto fill = [](int count) {
    std::vector<TestEntry> entries;
    for (int i = 0; i < count; ++i) entries.push_back({.name = std::string("p").append(std::to_string(i)).append(".txt"), .data = "page"});
    return entries;
  };
  const auto join = [](std::initializer_list<std::vector<TestEntry>> parts) {
    std::vector<TestEntry> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  struct Case {
    const char* what;
    std::vector<TestEntry> entries;
    const char* reported;
  };
  const Case cases[] = {
      // The long entry's end is still to come when the short one fails.
      {"short fails while the long is inflated", join({{longBad}, fill(3), {shortBad}}), "short.txt"},
      {"long ends before the short fails", join({{longBad}, fill(400), {shortBad}}), "long.bin"},
      // The producer finds the second fault before the writer reaches the first.
      {"written fault before a produced one", join({{shortBad}, fill(3), {cutShort}}), "short.txt"},
      {"produced fault before a written one", join({{cutShort}, {shortBad}}), "cut.txt"},
  };
  for (const Case& c : cases) {
    const std::string package = BuildPackage(c.entries);
    MemoryFileSystem keepingUp;
    SlowStartFileSystem lagging;
    for (MemoryFileSystem* files : {static_cast<MemoryFileSystem*>(&keepingUp), static_cast<MemoryFileSystem*>(&lagging)}) {
      const UnpackError error = UnpackExpectingFailure(package, *files);
      EXPECT_EQ(error.entry(), c.reported) << c.what << (files == &lagging ? ", writer lagging" : "");
    }
    // The same work was done up to the failure, and nothing after it.
    const auto contents = [](const MemoryFileSystem& files) {
      std::map<std::string, std::string> out;
      for (const auto& [path, file] : files.files) out[path] = file.data;
      return out;
    };
    EXPECT_EQ(contents(keepingUp), contents(lagging)) << c.what;
  }
}

TEST(Unpack, Zip64AndDataDescriptorEntries) {
  const std::string big = BigText(200000);
  MemoryFileSystem files;
  UnpackPackage(AsBytes(BuildPackage({{.name = "a.bin", .data = big, .zip64 = true},
                                      {.name = "b.txt", .data = "described", .dataDescriptor = true},
                                      {.name = "c.txt", .data = "stored+desc", .method = 0, .dataDescriptor = true},
                                      {.name = "d.txt", .data = "plain"}},
                                     {.zip64End = true})),
                kFolder, files);
  EXPECT_EQ(files.files.at(kFolder + "a.bin").data, big);
  EXPECT_EQ(files.files.at(kFolder + "b.txt").data, "described");
  EXPECT_EQ(files.files.at(kFolder + "c.txt").data, "stored+desc");
  EXPECT_EQ(files.files.at(kFolder + "d.txt").data, "plain");

  // A saturated size without its ZIP64 field is an error, not a 4 GiB file.
  std::string noField = BuildPackage({{.name = "a.bin", .data = "x", .zip64 = true}});
  const std::size_t field = noField.find(std::string("\x01\x00\x18\x00", 4));
  ASSERT_NE(field, std::string::npos);
  noField[field] = '\x09';
  MemoryFileSystem missing;
  EXPECT_THAT(UnpackExpectingError(noField, missing), HasSubstr("ZIP64 field is missing"));
}

TEST(Unpack, EndRecordIsSearchedOverTheLast65557BytesOnly) {
  const std::string base = BuildPackage({{.name = "a.txt", .data = "a"}});
  {
    // The longest comment still leaves the record inside the window.
    std::string withComment = BuildPackage({{.name = "a.txt", .data = "a"}}, {.comment = std::string(65535, 'c')});
    MemoryFileSystem files;
    EXPECT_NO_THROW(UnpackPackage(AsBytes(withComment), kFolder, files));
  }
  {
    // One byte more than the longest comment puts the record out of reach.
    MemoryFileSystem files;
    EXPECT_THAT(UnpackExpectingError(base + std::string(65536, 'x'), files), HasSubstr("Not a package"));
  }
  {
    // Of two records, the one nearest the end counts: here it announces no entries, which a
    // reader taking the first one would not see. Read both ways, the package is refused.
    std::string second = base.substr(base.size() - 22);
    second[8] = second[10] = second[12] = 0;
    MemoryFileSystem files;
    EXPECT_EQ(UnpackExpectingFailure(base + second, files).kind(), UnpackFailure::kAmbiguous);
    EXPECT_TRUE(files.log.empty());
  }
}

// Packages that other tools would read otherwise than the installer are refused before anything
// is written: what a vendor reviews with them is what installs. Their lookalikes that read one
// way install.
TEST(Unpack, PackagesThatReadTwoWaysAreRefused) {
  const std::vector<TestEntry> two = {{.name = "Quorvex.exe", .data = "MZ"}, {.name = "readme.txt", .data = "hi"}};
  const std::string plain = BuildPackage(two);
  const std::uint64_t directory = plain.find(std::string("PK\x01\x02", 4));
  const std::string unicode = "caf\xC3\xA9.txt";
  std::string longerDirectory = plain;
  Patch32(longerDirectory, longerDirectory.size() - 10, static_cast<std::uint32_t>(plain.size() - 22 - directory + 4));
  const struct {
    const char* what;
    std::string package;
    const char* refusal;  // none: installs
  } cases[] = {
      {"ZIP64 end record agreeing with the plain one", BuildPackage(two, {.zip64End = true, .plainValues = true}), nullptr},
      {"ZIP64 end record, plain offset saturated",
       BuildPackage(two, {.zip64End = true, .plainValues = true, .plainOffsetSaturated = true}), nullptr},
      {"ZIP64 end record with another directory offset",
       BuildPackage(two, {.zip64End = true, .plainValues = true, .zip64Offset = directory + 1}),
       "the end record's directory offset is"},
      {"ZIP64 end record with another entry count",
       BuildPackage(two, {.zip64End = true, .plainValues = true, .zip64Count = 1}), "the end record's entry count"},
      {"a directory size that is not the directory's", longerDirectory, "but the end record says"},
      {"local header naming the entry otherwise",
       BuildPackage({{.name = "readme.txt", .data = "MZ", .localName = "Quorvex.exe"}}), "its local header names it \"Quorvex.exe\""},
      {"a Unicode path only in the local header",
       BuildPackage({{.name = "readme.txt", .data = "MZ", .localExtra = UnicodePathExtra("Quorvex.exe", "readme.txt")}}),
       "its local header names it \"Quorvex.exe\""},
      {"a Unicode path only in the central header",
       BuildPackage({{.name = "Quorvex.exe", .data = "MZ", .centralExtra = UnicodePathExtra("readme.txt", "Quorvex.exe")}}),
       "its local header names it \"Quorvex.exe\""},
      {"one file twice", BuildPackage({two[0], {.name = "Quorvex.exe", .data = "MZ again"}}),
       "entry \"Quorvex.exe\": it would write the same file as entry \"Quorvex.exe\""},
      {"one file in two cases", BuildPackage({two[0], {.name = "QUORVEX.EXE", .data = "MZ again"}}),
       "entry \"QUORVEX.EXE\": it would write the same file as entry \"Quorvex.exe\""},
      {"one file with either separator and case", BuildPackage({{.name = "bin/a.dll", .data = "1"}, {.name = "BIN\\A.DLL", .data = "2"}}),
       "it would write the same file"},
      {"one file in two cases outside ASCII",
       BuildPackage({{.name = unicode, .data = "1", .flags = kZipFlagUtf8Name},
                     {.name = "CAF\xC3\x89.TXT", .data = "2", .flags = kZipFlagUtf8Name}}),
       "it would write the same file"},
      {"Greek in two cases", BuildPackage({{.name = "\xCE\xB1.txt", .data = "1", .flags = kZipFlagUtf8Name},
                                           {.name = "\xCE\x91.txt", .data = "2", .flags = kZipFlagUtf8Name}}),
       "it would write the same file"},
      {"a file, then a folder entry of its name", BuildPackage({{.name = "docs", .data = "f"}, {.name = "DOCS/", .data = "", .method = 0}}),
       "entry \"DOCS/\": it needs a folder where entry \"docs\" is a file"},
      {"a file, then an entry below its name", BuildPackage({{.name = "docs", .data = "f"}, {.name = "Docs/leia.txt", .data = "x"}}),
       "entry \"Docs/leia.txt\": it needs a folder where entry \"docs\" is a file"},
      {"an entry below a name, then a file of that name", BuildPackage({{.name = "a/b/c.txt", .data = "x"}, {.name = "A/B", .data = "f"}}),
       "entry \"A/B\": it is a file where entry \"a/b/c.txt\" makes a folder"},
      {"sharp s and SS are two names on Windows", BuildPackage({{.name = "stra\xC3\x9F" "e.txt", .data = "1", .flags = kZipFlagUtf8Name},
                                                              {.name = "STRASSE.txt", .data = "2"}}), nullptr},
      // Two names whose upper-cased forms have one 32-bit FNV-1a hash: the names are what counts.
      {"names whose hashes meet", BuildPackage({{.name = "f005298a.txt", .data = "1"}, {.name = "f00c4be9.txt", .data = "2"}}),
       nullptr},
      {"names whose hashes meet, one of them twice",
       BuildPackage({{.name = "f005298a.txt", .data = "1"}, {.name = "f00c4be9.txt", .data = "2"},
                     {.name = "F00C4BE9.txt", .data = "3"}}),
       "entry \"F00C4BE9.txt\": it would write the same file as entry \"f00c4be9.txt\""},
      {"one folder in two cases", BuildPackage({{.name = "docs/", .data = "", .method = 0}, {.name = "DOCS/", .data = "", .method = 0},
                                                {.name = "Docs/a.txt", .data = "a"}, {.name = "docs/A.txt.bak", .data = "b"}}), nullptr},
  };
  for (const auto& c : cases) {
    MemoryFileSystem files;
    if (!c.refusal) {
      EXPECT_NO_THROW(UnpackPackage(AsBytes(c.package), kFolder, files)) << c.what;
      continue;
    }
    const UnpackError error = UnpackExpectingFailure(c.package, files);
    EXPECT_EQ(error.kind(), UnpackFailure::kAmbiguous) << c.what << ": " << error.what();
    EXPECT_THAT(error.what(), HasSubstr(c.refusal)) << c.what;
    EXPECT_TRUE(files.log.empty()) << c.what;
  }
}

TEST(Unpack, StructuresWithoutSignaturesOrInsideTheFileAreNotPackages) {
  const std::string good = BuildPackage({{.name = "a.txt", .data = "abc"}, {.name = "b.txt", .data = "def"}});
  const std::size_t directory = good.find("PK\x01\x02");
  struct Case {
    const char* what;
    std::string package;
    const char* message;
  };
  std::string noLocal = good;
  noLocal[0] = 'X';
  std::string noCentral = good;
  noCentral[directory + 1] = 'X';
  std::string countTooHigh = BuildPackage({{.name = "a.txt", .data = "abc"}}, {.entryCount = 1000});
  std::string offsetOutside = good;
  offsetOutside[good.size() - 6] = '\x7F';
  const Case cases[] = {
      {"empty", "", "Not a package"},
      {"404 text", "<html><body>Not found</body></html>", "Not a package"},
      {"local header signature", noLocal, "local header has no signature"},
      {"central header signature", noCentral, "has no signature"},
      {"count beyond the directory", countTooHigh, "Not a package"},
      {"directory offset outside", offsetOutside, "Not a package"},
  };
  for (const Case& c : cases) {
    MemoryFileSystem files;
    EXPECT_THAT(UnpackExpectingError(c.package, files), HasSubstr(c.message)) << c.what;
  }
  // A bad central directory stops the run before anything is written.
  MemoryFileSystem files;
  UnpackExpectingError(noCentral, files);
  EXPECT_TRUE(files.log.empty());
}

TEST(Unpack, EveryTruncationFailsCleanly) {
  const std::string package = BuildPackage({{.name = "dir/", .data = ""},
                                            {.name = "dir/a.txt", .data = BigText(3000)},
                                            {.name = "b.txt", .data = "bee", .method = 0}},
                                           {.zip64End = true});
  for (std::size_t size = 0; size < package.size(); ++size) {
    MemoryFileSystem files;
    EXPECT_THROW(UnpackPackage(AsBytes(package.substr(0, size)), kFolder, files), UnpackError) << size;
  }
}

// Every input that ever troubled the fuzz target, and its seeds, must unpack or fail cleanly.
TEST(Unpack, FuzzCorpusReplays) {
  namespace fs = std::filesystem;
  std::size_t replayed = 0;
  for (const char* dir : {"seeds", "crashes"}) {
    const fs::path path = fs::path(QUORVEX_FUZZ_CORPUS_DIR) / dir;
    if (!fs::exists(path)) continue;
    for (const fs::directory_entry& input : fs::directory_iterator(path)) {
      std::ifstream in(input.path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      MemoryFileSystem files;
      try {
        UnpackPackage(AsBytes(bytes), kFolder, files);
      } catch (const UnpackError&) {
      }
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0u) << "no seed inputs found in " << QUORVEX_FUZZ_CORPUS_DIR;
}

}  // namespace
}  // namespace quorvex
