#pragma once
// The file-system port of the installation run and the unpacker. Paths are Windows
// paths as UTF-8 text ("C:\Quorvex\bin\a.dll"); adapters convert at their edge.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "install/FileSystemError.h"

namespace quorvex {

// A date and time as a ZIP entry stores it (MS-DOS format), meant as local time.
struct DosDateTime {
  std::uint16_t date = 0;  // bits 15-9 year-1980, 8-5 month, 4-0 day
  std::uint16_t time = 0;  // bits 15-11 hour, 10-5 minute, 4-0 seconds/2
};

// The calendar fields of a DosDateTime, in local time.
struct LocalCalendarTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Decodes a DOS date/time; false when the fields do not form a real date and time
// (month 0, 31 February, hour 24, ...).
bool DecodeDosDateTime(DosDateTime when, LocalCalendarTime& out);

// File attribute bits as ZIP's MS-DOS external attributes and Win32 define them.
enum FileAttributeBits : std::uint32_t {
  kAttributeReadOnly = 0x01,
  kAttributeHidden = 0x02,
  kAttributeSystem = 0x04,
  kAttributeArchive = 0x20,
};

// A file opened for writing with exclusive access. Closing happens on destruction
// (or earlier through Close); an adapter never throws from its destructor.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Stores up to size bytes and returns how many were stored; fewer than size means the
  // system took no more and gave no reason. Throws FileSystemError (kWrite, with the system's
  // code) when the system reports a failure, also one after part of the data was stored (a
  // full disk, a file size limit); the file then holds that part.
  virtual std::size_t Write(const std::uint8_t* data, std::size_t size) = 0;
  // Sets creation and last-write time from a local DOS date/time. Returns false when the
  // value is not a valid date and time or the system refuses; the file is unchanged then.
  virtual bool SetTimes(DosDateTime when) = 0;
  // Flushes nothing extra; releases the handle. Throws FileSystemError if closing fails.
  virtual void Close() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // True when a file (not a folder) exists at path.
  virtual bool FileExists(const std::string& path) = 0;
  // True when a folder exists at path.
  virtual bool FolderExists(const std::string& path) = 0;
  // Deletes a file; false when it could not be deleted (callers may ignore it).
  virtual bool RemoveFile(const std::string& path) = 0;
  // Creates a folder with all missing ancestors. Throws FileSystemError when it does not exist
  // afterwards (kCreateFolder naming the first folder that could not be made, with the
  // system's code) or when an adapter refuses the path (a link on the way, say).
  virtual void CreateFolderTree(const std::string& path) = 0;
  // Creates or truncates the file with exclusive access, before any data is known. An
  // existing file that is read-only, hidden or system has those attributes cleared first
  // (restored if it still cannot be opened). Throws FileSystemError when the file cannot be
  // created or an existing one cannot be replaced (in use by another process, a folder, a
  // link).
  virtual std::unique_ptr<OutputFile> CreateOutputFile(const std::string& path) = 0;
  // Applies the read-only, hidden, system and archive bits; false when refused.
  virtual bool ApplyAttributes(const std::string& path, std::uint32_t attributes) = 0;
};

// Writes data as the whole content of path with exclusive access: a write that stores part
// of the data is continued with the rest; a write that stores nothing throws.
void WriteWholeFile(FileSystem& fileSystem, const std::string& path, std::span<const std::uint8_t> data);

}  // namespace quorvex
