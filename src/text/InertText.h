#pragma once
// Text from outside (a server's status text and header values, a package's names) written
// into a line of the support log: whatever it holds, it stays visibly inside its line, reads
// the same in every viewer, and cannot pass for a line of the installer's own.

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvex {

// The most of one server field the log keeps: enough for any honest status text or header.
inline constexpr std::size_t kServerFieldCap = 256;

// The text with every character that breaks a line or hides itself shown as a visible escape:
// C0 and C1 controls and DEL ("\x0A", "\u0085"), the line and paragraph separators, bidi
// controls and the other invisible format characters ("\u2028", "\u202E", "\U000E0041"), and
// bytes that are not UTF-8 ("\xFF"). Everything else stays as written.
std::string ShowInvisible(std::string_view text);

// A field a server chose, for the log: as ShowInvisible, with "\" and '"' escaped too (so a
// field cannot close its quotes or fake an escape), cut to about kServerFieldCap bytes and
// then marked "[cut: N bytes in all]".
std::string InertServerText(std::string_view text);

}  // namespace quorvex
