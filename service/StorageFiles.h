#pragma once
// Maps a request's storage area and Windows-style relative file name to a file under the
// storage root, refusing every name that could reach outside it.

#include <filesystem>
#include <string_view>

namespace quorvex::service {

enum class StorageLookup {
  Found,     // path names an existing regular file inside the root
  BadName,   // the area or file name is not a plain relative name (absolute, "..", drive, ...)
  NotFound,  // well-formed, but no regular file there inside the root
};

struct StorageFile {
  StorageLookup lookup = StorageLookup::NotFound;
  std::filesystem::path path;  // canonical; set only when Found
};

class StorageRoot {
 public:
  // Throws std::runtime_error when the root is not an existing folder.
  explicit StorageRoot(const std::filesystem::path& root);

  // area: one folder name directly under the root; name: relative path with "\" (or "/")
  // separators. Links are resolved and the result must still lie inside the root.
  StorageFile Find(std::string_view area, std::string_view name) const;

  const std::filesystem::path& Path() const { return root_; }

 private:
  std::filesystem::path root_;  // canonical
};

}  // namespace quorvex::service
