#include "install/LongEntries.h"

#include <algorithm>
#include <utility>

#include "text/AsciiCase.h"

namespace quorvex {
namespace {

constexpr std::uint64_t kLongSize = std::uint64_t{4} << 20;
constexpr std::size_t kMaxWaiting = 64;

bool HasNonAscii(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<std::uint8_t>(c) >= 0x80; });
}

// True when an entry written to path might be the file at other or lie below it.
bool MayBeSameFile(std::string_view path, std::string_view other) {
  if (HasNonAscii(path) || HasNonAscii(other)) return true;
  return EqualsIgnoreCase(path, other) ||
         (path.size() > other.size() && path[other.size()] == '\\' && StartsWithIgnoreCase(path, other));
}

}  // namespace

bool LongEntries::IsLong(const CheckedEntry& checked) {
  return !checked.isFolder() && checked.inflated() && checked.entry.uncompressedSize >= kLongSize;
}

bool LongEntries::MayHold(std::string_view path) const {
  if (current_ && MayBeSameFile(path, currentPath_)) return true;
  return std::any_of(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return MayBeSameFile(path, w.path); });
}

void LongEntries::BeforeEntry(std::string_view path) {
  if (MayHold(path)) Finish();
}

void LongEntries::Add(const CheckedEntry& checked, std::string path) {
  while (waiting_.size() >= kMaxWaiting) Step();
  waiting_.push_back(Waiting{checked, std::move(path)});
}

void LongEntries::Step() {
  if (!current_) {
    if (waiting_.empty()) return;
    Waiting next = std::move(waiting_.front());
    waiting_.pop_front();
    currentPath_ = next.path;
    current_.emplace(next.checked, std::move(next.path), writer_, inflater_, EntryWriter::kBackground);
  }
  if (!current_->Step()) current_.reset();
}

void LongEntries::Finish() {
  while (current_ || !waiting_.empty()) Step();
}

}  // namespace quorvex
