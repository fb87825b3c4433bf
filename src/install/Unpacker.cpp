#include "install/Unpacker.h"

#include <algorithm>
#include <optional>
#include <string>

#include "install/EntryProducer.h"
#include "install/EntryWriter.h"
#include "install/LongEntries.h"
#include "install/PackageCheck.h"
#include "text/Utf8.h"

namespace quorvex {
namespace {

void UnpackEntries(const CheckedPackage& package, const std::string& extractionFolder, EntryWriter& writer,
                   UnpackSummary& summary) {
  CheckedPackage::Entries entries = package.entries();
  CheckedEntry checked;
  InflateStream inflater;
  std::optional<LongEntries> longEntries;
  // Consecutive entries mostly share their folder: it is created once for them.
  std::string lastFolder;
  while (entries.Next(checked)) {
    writer.ThrowIfFailed();
    const std::string path = extractionFolder + checked.target.relativePath;
    if (longEntries) longEntries->BeforeEntry(path);

    const std::string folder = checked.isFolder() ? path : path.substr(0, path.rfind('\\'));
    if (folder != lastFolder) {
      writer.CreateFolder(folder, checked.name);
      lastFolder = folder;
    }
    ++summary.entries;
    if (checked.isFolder()) {
      ++summary.folders;
      continue;
    }
    ++summary.files;
    summary.bytes += checked.entry.uncompressedSize;

    if (LongEntries::IsLong(checked)) {
      if (!longEntries) longEntries.emplace(writer);
      longEntries->Add(checked, path);
      continue;
    }
    FileProduction file(checked, path, writer, inflater, EntryWriter::kForeground);
    while (file.Step()) {
    }
    if (longEntries) longEntries->Step();
  }
  if (longEntries) longEntries->Finish();
}

}  // namespace

void CheckPackage(std::span<const std::uint8_t> package, const std::function<void(const PackageEntry&)>& visit) {
  const CheckedPackage checkedPackage(package);
  if (!visit) return;
  CheckedPackage::Entries entries = checkedPackage.entries();
  CheckedEntry checked;
  while (entries.Next(checked)) {
    const ZipEntry& entry = checked.entry;
    PackageEntry out;
    out.name = checked.name;
    out.relativePath = checked.target.relativePath;
    out.isFolder = checked.isFolder();
    out.size = entry.uncompressedSize;
    out.crc32 = entry.crc32;
    out.storedName = std::string(entry.rawName);
    out.unmarkedUtf8 = !checked.unicodePath && (entry.flags & kZipFlagUtf8Name) == 0 &&
                       std::any_of(entry.rawName.begin(), entry.rawName.end(),
                                   [](char c) { return static_cast<std::uint8_t>(c) >= 0x80; }) &&
                       IsValidUtf8(entry.rawName);
    visit(out);
  }
}

UnpackSummary UnpackPackage(std::span<const std::uint8_t> package, const std::string& extractionFolder,
                            FileSystem& files) {
  // A package that is bad as a whole writes nothing: the old installation stays as it is.
  const CheckedPackage checked(package);
  EntryWriter writer(files);
  UnpackSummary summary;
  try {
    UnpackEntries(checked, extractionFolder, writer, summary);
  } catch (const UnpackError&) {
    // What was queued before this failure comes first in the order of the work, and a failure
    // of the writer there is the one reported. Any other exception leaves through the
    // writer's destructor, which drops what is queued.
    writer.Finish();
    throw;
  }
  writer.Finish();
  return summary;
}

}  // namespace quorvex
