#include "text/InertText.h"

#include <cstdint>
#include <cstdio>

#include "text/Utf8.h"

namespace quorvex {
namespace {

// Characters a reader cannot see or that a viewer takes for the end of a line: controls, the
// separators, bidi controls, and the other default-ignorable format characters.
bool IsInvisible(std::uint32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
  if (c == 0x00AD || c == 0x034F || c == 0x061C || c == 0x115F || c == 0x1160 || c == 0x17B4 || c == 0x17B5 ||
      c == 0x3164 || c == 0xFEFF || c == 0xFFA0)
    return true;
  if (c >= 0x180B && c <= 0x180F) return true;
  if (c >= 0x200B && c <= 0x200F) return true;  // zero-width characters, LRM, RLM
  if (c >= 0x2028 && c <= 0x202E) return true;  // separators, bidi embeddings and overrides
  if (c >= 0x2060 && c <= 0x206F) return true;  // word joiner, invisible operators, bidi isolates
  if (c >= 0xFE00 && c <= 0xFE0F) return true;  // variation selectors
  if (c >= 0xFFF0 && c <= 0xFFFB) return true;  // interlinear annotation, specials
  if (c == 0xFFFE || c == 0xFFFF) return true;
  if (c >= 0x1BCA0 && c <= 0x1BCA3) return true;
  if (c >= 0x1D173 && c <= 0x1D17A) return true;
  if (c >= 0xE0000 && c <= 0xE0FFF) return true;  // tags, variation selectors supplement
  return false;
}

std::string Escape(const char* format, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Appends the text shown safely; stops before passing cap bytes of output and returns how many
// input bytes it took.
std::size_t Show(std::string_view text, bool quoted, std::size_t cap, std::string& out) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::uint32_t c = 0;
    const std::size_t length = DecodeUtf8(text, i, c);
    std::string piece;
    if (length == 0) {
      piece = Escape("\\x%02X", static_cast<unsigned char>(text[i]));
    } else if (c < 0x80 && IsInvisible(c)) {
      piece = Escape("\\x%02X", c);
    } else if (IsInvisible(c)) {
      piece = Escape(c > 0xFFFF ? "\\U%08X" : "\\u%04X", c);
    } else if (quoted && (c == '\\' || c == '"')) {
      piece = {'\\', static_cast<char>(c)};
    } else {
      piece = std::string(text.substr(i, length));
    }
    if (out.size() + piece.size() > cap) break;
    out += piece;
    i += length == 0 ? 1 : length;
  }
  return i;
}

}  // namespace

std::string ShowInvisible(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  Show(text, false, std::string::npos, out);
  return out;
}

std::string InertServerText(std::string_view text) {
  std::string out;
  if (Show(text, true, kServerFieldCap, out) < text.size()) {
    out += "[cut: " + std::to_string(text.size()) + " bytes in all]";
  }
  return out;
}

}  // namespace quorvex
