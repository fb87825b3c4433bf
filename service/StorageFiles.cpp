#include "StorageFiles.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace quorvex::service {
namespace {

// One path component that names a child of its folder and nothing else.
bool IsPlainComponent(std::string_view component) {
  if (component.empty() || component == "." || component == "..") return false;
  return std::none_of(component.begin(), component.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    // ":" would be a drive or a stream on the installer's side; controls have no place in names.
    return byte < 0x20 || byte == 0x7F || c == ':' || c == '/' || c == '\\';
  });
}

bool SplitRelativeName(std::string_view name, std::vector<std::string_view>& components) {
  std::size_t start = 0;
  while (true) {
    const std::size_t separator = name.find_first_of("\\/", start);
    const std::string_view component = name.substr(start, separator - start);
    // An empty component also refuses a leading separator (absolute) and a trailing one.
    if (!IsPlainComponent(component)) return false;
    components.push_back(component);
    if (separator == std::string_view::npos) return true;
    start = separator + 1;
  }
}

bool IsInside(const std::filesystem::path& candidate, const std::filesystem::path& root) {
  auto candidateIt = candidate.begin();
  for (auto rootIt = root.begin(); rootIt != root.end(); ++rootIt, ++candidateIt) {
    if (rootIt->empty()) continue;  // a root like "/x/" ends in an empty element
    if (candidateIt == candidate.end() || *candidateIt != *rootIt) return false;
  }
  return candidateIt != candidate.end();
}

}  // namespace

StorageRoot::StorageRoot(const std::filesystem::path& root) {
  std::error_code error;
  root_ = std::filesystem::canonical(root, error);
  if (error || !std::filesystem::is_directory(root_, error)) {
    throw std::runtime_error("storage root " + root.string() + " is not an existing folder");
  }
}

StorageFile StorageRoot::Find(std::string_view area, std::string_view name) const {
  std::vector<std::string_view> components;
  if (!IsPlainComponent(area) || !SplitRelativeName(name, components)) return {StorageLookup::BadName, {}};

  std::filesystem::path path = root_ / std::filesystem::path(std::string(area));
  for (const auto component : components) path /= std::filesystem::path(std::string(component));

  std::error_code error;
  std::filesystem::path resolved = std::filesystem::canonical(path, error);
  if (error || !IsInside(resolved, root_) || !std::filesystem::is_regular_file(resolved, error)) {
    return {StorageLookup::NotFound, {}};
  }
  return {StorageLookup::Found, std::move(resolved)};
}

}  // namespace quorvex::service
