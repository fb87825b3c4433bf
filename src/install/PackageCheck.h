#pragma once
// The first stage of unpacking: the package checked as a whole before anything is written,
// then its entries handed on one by one, each with everything known that needs no writing.

#include <cstdint>
#include <span>
#include <string>

#include "install/EntryName.h"
#include "install/ZipReader.h"

namespace quorvex {

// One entry with every check made that needs no writing.
struct CheckedEntry {
  ZipEntry entry;
  std::string name;  // as read: Unicode path, UTF-8 (flag bit 11) or code page 437
  EntryTarget target;
  bool unicodePath = false;
  // The entry's stored data, inside the package; the central directory says how long it is.
  std::span<const std::uint8_t> data;

  bool isFolder() const { return target.isFolder; }
  // Deflated with something to inflate; otherwise stored (or empty) and copied as it is.
  bool inflated() const;
};

// A package whose structure holds: the central directory, every entry's local header,
// name (all the name rules), method and encryption, and entries' data that lie inside the
// package and overlap neither each other nor the central directory. The constructor checks
// all of it and throws UnpackError (naming the entry where there is one) for the first
// fault; only the ranges of the entries are kept meanwhile (16 bytes an entry), so a
// package of many entries costs little memory.
class CheckedPackage {
 public:
  explicit CheckedPackage(std::span<const std::uint8_t> package);

  // The entries in central-directory order, each checked again as it is read (the checks
  // cost little next to keeping every entry): false after the last one.
  class Entries {
   public:
    bool Next(CheckedEntry& checked);

   private:
    friend class CheckedPackage;
    Entries(std::span<const std::uint8_t> package, const CentralDirectory& directory)
        : package_(package), cursor_(package, directory) {}
    std::span<const std::uint8_t> package_;
    CentralDirectoryCursor cursor_;
    ZipEntry entry_;
  };
  Entries entries() const { return Entries(package_, directory_); }

 private:
  std::span<const std::uint8_t> package_;
  CentralDirectory directory_;
};

}  // namespace quorvex
