#include "install/PathText.h"

namespace quorvex {
namespace {

std::size_t FileNameStart(std::string_view path) {
  const std::size_t separator = path.find_last_of("\\:");
  return separator == std::string_view::npos ? 0 : separator + 1;
}

}  // namespace

std::string FileNameOf(std::string_view path) { return std::string(path.substr(FileNameStart(path))); }

std::string FolderOf(std::string_view path) { return std::string(path.substr(0, FileNameStart(path))); }

std::string ReplaceExtension(std::string_view path, std::string_view extension) {
  const std::size_t nameStart = FileNameStart(path);
  const std::size_t dot = path.find_last_of('.');
  const std::size_t cut = (dot == std::string_view::npos || dot < nameStart) ? path.size() : dot;
  std::string result(path.substr(0, cut));
  result += extension;
  return result;
}

std::string IncludeTrailingBackslash(std::string_view folder) {
  std::string result(folder);
  if (result.empty() || result.back() != '\\') result += '\\';
  return result;
}

}  // namespace quorvex
