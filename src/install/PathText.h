#pragma once
// Windows paths handled as text (UTF-8, backslashes).

#include <string>
#include <string_view>

namespace quorvex {

// The text after the last backslash or colon.
std::string FileNameOf(std::string_view path);
// The text up to and including the last backslash or colon; empty when there is none.
std::string FolderOf(std::string_view path);
// Replaces the text from the last dot of the file name on; appends when the name has no dot.
std::string ReplaceExtension(std::string_view path, std::string_view extension);
// Appends a backslash unless the text already ends in one.
std::string IncludeTrailingBackslash(std::string_view folder);

}  // namespace quorvex
