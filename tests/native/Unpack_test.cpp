#include "install/Unpacker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <chrono>
#include <iterator>
#include <thread>

#include "ZipTestSupport.h"

namespace quorvex {
namespace {

using ::testing::HasSubstr;
using namespace quorvex::testing;

const std::string kFolder = "C:\\Quorvex\\";

std::string Repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

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
                                         .localExtra = c.localExtra}})),
                  kFolder, files);
    EXPECT_TRUE(files.files.count(kFolder + c.expected)) << c.what;
  }
}

TEST(Unpack, RefusedNamesFailBeforeAnythingOfTheEntryIsWritten) {
  const char* names[] = {
      "/etc/passwd", "\\windows\\x.dll", "C:\\x.dll", "C:x.dll", "a/b:stream", "../x.dll", "a/../../x.dll",
      "a\\..\\..\\x.dll", "a//b.txt", "a\\", "CON", "con.txt", "bin/Nul.dll", "LPT1", "com9.log", "aux .txt",
      "trailing.", "trailing ", "dir./x", "./x", "a\x01" "b", "tab\there", "q\"uote", "a<b", "a>b", "pipe|d",
  };
  for (const char* name : names) {
    MemoryFileSystem files;
    const std::string message =
        UnpackExpectingError(BuildPackage({{.name = "first.txt", .data = "ok"}, {.name = name, .data = "bad"}}), files);
    EXPECT_THAT(message, HasSubstr("entry \"")) << name;
    // Only the entry before the bad one left anything behind.
    EXPECT_EQ(files.files.size(), 1u) << name;
    EXPECT_EQ(files.log.back(), "attributes " + kFolder + "first.txt 0") << name;
  }
  // Lookalikes that are fine.
  for (const char* name : {"COM0.txt", "CONSOLE.txt", "nul_device", "a..b", ".hidden", "LPT10", "dir/x.y.z"}) {
    MemoryFileSystem files;
    EXPECT_NO_THROW(UnpackPackage(AsBytes(BuildPackage({{.name = name, .data = "ok"}})), kFolder, files)) << name;
  }
}

TEST(Unpack, BadUtf8NameIsRefused) {
  MemoryFileSystem files;
  EXPECT_THAT(UnpackExpectingError(BuildPackage({{.name = "bad\xC3(.txt", .data = "x", .flags = 0x0800}}), files),
              HasSubstr("not valid UTF-8"));
  EXPECT_TRUE(files.files.empty());
}

TEST(Unpack, EntryFailuresStopTheRunAndKeepWhatWasWritten) {
  const std::string text = BigText(2 * 1024 * 1024 + 5);
  const std::string deflated = RawDeflate(text);
  struct Case {
    const char* what;
    TestEntry entry;
    const char* message;
    bool fileCreated;
    std::size_t bytesKept;  // of the failing entry
  };
  const Case cases[] = {
      {"method 12", {.name = "f.bin", .data = "x", .method = 12}, "method 12 is not supported", false, 0},
      {"encrypted", {.name = "f.bin", .data = "x", .flags = 1}, "encrypted", false, 0},
      {"crc mismatch", {.name = "f.bin", .data = "data", .crc = 0x12345678}, "CRC-32", true, 4},
      {"stored data cut short",
       {.name = "f.bin", .data = "abcdef", .method = 0, .storedData = "abc", .crc = Crc32("abcdef")},
       "ends early", true, 3},
      {"deflate stream cut short",
       {.name = "f.bin", .data = text, .storedData = deflated.substr(0, deflated.size() / 2)},
       "ends early", true, 900000},
      {"deflate stream shorter than the size",
       {.name = "f.bin", .data = "abc", .uncompressedSize = 10}, "ends early", true, 3},
      {"corrupt deflate stream", {.name = "f.bin", .data = "x", .storedData = std::string("\xFF\xFF\xFF", 3)},
       "cannot be inflated", true, 0},
  };
  for (const Case& c : cases) {
    MemoryFileSystem files;
    const std::string message = UnpackExpectingError(
        BuildPackage({{.name = "before.txt", .data = "ok"}, c.entry, {.name = "after.txt", .data = "never"}}), files);
    EXPECT_THAT(message, HasSubstr("entry \"f.bin\"")) << c.what;
    EXPECT_THAT(message, HasSubstr(c.message)) << c.what;
    EXPECT_TRUE(files.files.count(kFolder + "before.txt")) << c.what;
    EXPECT_FALSE(files.files.count(kFolder + "after.txt")) << c.what;
    ASSERT_EQ(files.files.count(kFolder + "f.bin"), c.fileCreated ? 1u : 0u) << c.what;
    if (c.fileCreated) EXPECT_GE(files.files.at(kFolder + "f.bin").data.size(), c.bytesKept) << c.what;
  }
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
    MemoryFileSystem files;
    files.folders = {"C:", "C:\\Quorvex"};
    files.files[kFolder + "locked.dll"] = {.data = "old", .attributes = kAttributeReadOnly};
    EXPECT_THAT(UnpackExpectingError(BuildPackage({{.name = "locked.dll", .data = "new"}}), files),
                HasSubstr("Cannot replace"));
    EXPECT_EQ(files.files.at(kFolder + "locked.dll").data, "old");
  }
  {
    MemoryFileSystem files;
    files.inUse.insert(kFolder + "Quorvex.exe");
    EXPECT_THAT(UnpackExpectingError(BuildPackage({{.name = "Quorvex.exe", .data = "new"}}), files),
                HasSubstr("entry \"Quorvex.exe\""));
  }
  {
    MemoryFileSystem files;
    files.writeCapacity = 100;
    EXPECT_THAT(UnpackExpectingError(BuildPackage({{.name = "big.bin", .data = BigText(1000)}}), files),
                HasSubstr("stored 100 of"));
    EXPECT_EQ(files.files.at(kFolder + "big.bin").data.size(), 100u);
  }
  {
    // A file stands where a folder must go.
    MemoryFileSystem files;
    EXPECT_THAT(UnpackExpectingError(BuildPackage({{.name = "a", .data = "file"}, {.name = "a/b.txt", .data = "x"}}),
                                     files),
                HasSubstr("entry \"a/b.txt\""));
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
    const std::string message = UnpackExpectingError(
        BuildPackage({{.name = "first.txt", .data = "first"},
                      {.name = "lead.bin", .data = lead, .method = 0},
                      {.name = "stored.txt", .data = text, .method = 0},
                      {.name = "deflated.txt", .data = text},
                      c.bad,
                      {.name = "after.txt", .data = "never"}}),
        files);
    EXPECT_THAT(message, HasSubstr("entry \"bad.bin\"")) << c.what;
    EXPECT_THAT(message, HasSubstr("CRC-32")) << c.what;
    EXPECT_EQ(files.files.at(kFolder + "lead.bin").data, lead) << c.what;
    EXPECT_EQ(files.files.at(kFolder + "stored.txt").data, text) << c.what;
    EXPECT_EQ(files.files.at(kFolder + "deflated.txt").data, text) << c.what;
    EXPECT_EQ(files.files.at(kFolder + "bad.bin").data, wrong) << c.what;
    EXPECT_FALSE(files.files.count(kFolder + "after.txt")) << c.what;
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
    // Of two records, the one nearest the end counts: here it announces no entries.
    std::string second = base.substr(base.size() - 22);
    second[10] = second[12] = 0;
    MemoryFileSystem files;
    UnpackPackage(AsBytes(base + second), kFolder, files);
    EXPECT_TRUE(files.files.empty());
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
