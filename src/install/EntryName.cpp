#include "install/EntryName.h"

#include <array>
#include <cstdint>

#include "install/Cp437.h"
#include "install/UnpackError.h"
#include "text/AsciiCase.h"
#include "text/Utf8.h"

namespace quorvex {
namespace {

[[noreturn]] void RefuseName(std::string_view name, const std::string& cause) {
  throw UnpackError(UnpackFailure::kRefusedName, EntryPrefix(name) + cause, name);
}

// Windows opens a device for these names whatever extension follows, and ignores spaces
// before the extension; COM and LPT also take the superscript digits.
bool IsReservedDeviceName(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (EqualsIgnoreCase(base, device)) return true;
  }
  if (base.size() < 4) return false;
  const std::string_view prefix = base.substr(0, 3);
  if (!EqualsIgnoreCase(prefix, "COM") && !EqualsIgnoreCase(prefix, "LPT")) return false;
  const std::string_view digit = base.substr(3);
  if (digit.size() == 1) return digit[0] >= '1' && digit[0] <= '9';
  return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

}  // namespace

std::string EntryPrefix(std::string_view name) { return "Cannot unpack entry " + QuoteEntryName(name) + ": "; }

std::string QuoteEntryName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (const char c : name) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string DecodeEntryName(std::uint16_t flags, std::string_view rawName, std::optional<std::string_view> unicodePath) {
  if (unicodePath) {
    if (!IsValidUtf8(*unicodePath)) RefuseName(*unicodePath, "its Unicode path is not valid UTF-8");
    return std::string(*unicodePath);
  }
  if (flags & kZipFlagUtf8Name) {
    if (!IsValidUtf8(rawName)) RefuseName(rawName, "its name is marked UTF-8 but is not valid UTF-8");
    return std::string(rawName);
  }
  return Cp437ToUtf8(rawName);
}

EntryTarget CheckEntryName(std::string_view name) {
  if (name.empty()) RefuseName(name, "the name is empty");
  for (const char c : name) {
    if (static_cast<std::uint8_t>(c) < 0x20) RefuseName(name, "the name contains a control character");
    if (c == '"' || c == '<' || c == '>' || c == '|' || c == '?' || c == '*') {
      RefuseName(name, std::string("the name contains the character '") + c + "'");
    }
    if (c == ':') RefuseName(name, "the name contains ':' (a drive or an alternate stream)");
  }
  if (name.front() == '/' || name.front() == '\\') RefuseName(name, "the name is absolute");

  EntryTarget target;
  std::string_view rest = name;
  // Some Windows tools store folder entries as "Root\EmptyDir\".
  if (rest.back() == '/' || rest.back() == '\\') {
    target.isFolder = true;
    rest.remove_suffix(1);
  }
  target.relativePath.reserve(rest.size());
  while (true) {
    const std::size_t end = rest.find_first_of("/\\");
    const std::string_view component = rest.substr(0, end);
    if (component.empty()) RefuseName(name, "the name has an empty component");
    if (component == "..") RefuseName(name, "the name climbs out of the extraction folder with \"..\"");
    if (component.back() == '.' || component.back() == ' ') {
      RefuseName(name, "a component of the name ends with '.' or ' '");
    }
    if (IsReservedDeviceName(component)) RefuseName(name, "the name uses a reserved device name");
    target.relativePath += component;
    if (end == std::string_view::npos) break;
    target.relativePath += '\\';
    rest.remove_prefix(end + 1);
  }
  return target;
}

}  // namespace quorvex
