#pragma once
// The scheduling of long entries: deflated entries large enough that inflating them is
// worth overlapping with the short entries after them.

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "install/EntryProducer.h"
#include "install/EntryWriter.h"
#include "install/PackageCheck.h"

namespace quorvex {

// Long entries are inflated in the writer's background slot, one at a time and a region
// between each of the entries after them: where creating a file costs more than writing its
// bytes (Windows), the short entries' creations then overlap the long entries' inflating
// instead of waiting for it. Long entries wait their turn in order, up to a bound, so a
// package that lists its large files first still overlaps. An entry that may be the same
// file as one of them waits until they are all finished, so the later entry still wins.
class LongEntries {
 public:
  explicit LongEntries(EntryWriter& writer) : writer_(writer) {}

  // True for the entries that go here rather than straight to the writer.
  static bool IsLong(const CheckedEntry& checked);

  // Before a later entry writes to path: finishes the long entries first when it might be
  // one of them or lie below one (the same path but for ASCII case, or a name outside
  // ASCII, where the system's case rules are wider).
  void BeforeEntry(std::string_view path);
  // Takes a long entry, stepping the earlier ones while too many wait. The entry's data
  // must outlive this.
  void Add(const CheckedEntry& checked, std::string path);
  // One region of the current long entry, the next one begun when there is none.
  void Step();
  // Every long entry to its end.
  void Finish();

 private:
  struct Waiting {
    CheckedEntry checked;
    std::string path;
  };

  bool MayHold(std::string_view path) const;

  EntryWriter& writer_;
  std::deque<Waiting> waiting_;
  InflateStream inflater_;
  std::optional<FileProduction> current_;
  std::string currentPath_;
};

}  // namespace quorvex
