#include "window/VisualStyle.h"

#include <cmath>
#include <map>
#include <set>

namespace quorvex::window {

namespace {

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Colour ParseColour(std::string_view value, const std::string& where) {
  if (value.size() != 7 || value[0] != '#') throw StyleError(where + ": expected a colour #RRGGBB");
  std::uint8_t parts[3];
  for (int i = 0; i < 3; ++i) {
    const int high = HexDigit(value[static_cast<std::size_t>(1 + 2 * i)]);
    const int low = HexDigit(value[static_cast<std::size_t>(2 + 2 * i)]);
    if (high < 0 || low < 0) throw StyleError(where + ": expected a colour #RRGGBB");
    parts[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return {parts[0], parts[1], parts[2]};
}

int ParseSize(std::string_view value, const std::string& where) {
  if (value.empty() || value.size() > 2) throw StyleError(where + ": expected a size from 0 to 99");
  int size = 0;
  for (char c : value) {
    if (c < '0' || c > '9') throw StyleError(where + ": expected a size from 0 to 99");
    size = size * 10 + (c - '0');
  }
  return size;
}

double Channel(std::uint8_t value) {
  const double c = value / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double Luminance(const Colour& c) {
  return 0.2126 * Channel(c.red) + 0.7152 * Channel(c.green) + 0.0722 * Channel(c.blue);
}

}  // namespace

VisualStyle ParseVisualStyle(std::string_view text) {
  VisualStyle style;
  std::map<std::string, Colour*, std::less<>> colours{
      {"window.face", &style.windowFace},
      {"window.text", &style.windowText},
      {"progress.track", &style.progressTrack},
      {"progress.fill", &style.progressFill},
  };
  const std::pair<const char*, ButtonLook*> looks[] = {
      {"normal", &style.buttonNormal},   {"hot", &style.buttonHot},           {"pressed", &style.buttonPressed},
      {"focused", &style.buttonFocused}, {"disabled", &style.buttonDisabled},
  };
  for (const auto& [state, look] : looks) {
    const std::string prefix = std::string("button.") + state;
    colours[prefix + ".face"] = &look->face;
    colours[prefix + ".border"] = &look->border;
    colours[prefix + ".text"] = &look->text;
  }
  std::map<std::string, int*, std::less<>> sizes{
      {"button.radius", &style.buttonRadius},
      {"button.border-width", &style.buttonBorderWidth},
      {"progress.radius", &style.progressRadius},
  };

  std::set<std::string, std::less<>> seen;
  int lineNumber = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++lineNumber;
    if (line.empty() || line.front() == '#') continue;

    const std::string where = "style line " + std::to_string(lineNumber);
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) throw StyleError(where + ": expected \"key = value\"");
    const std::string_view key = Trim(line.substr(0, equals));
    const std::string_view value = Trim(line.substr(equals + 1));
    if (!seen.emplace(key).second) throw StyleError(where + ": \"" + std::string(key) + "\" is set twice");

    if (key == "name") {
      if (value.empty()) throw StyleError(where + ": the name is empty");
      style.name = value;
    } else if (auto colour = colours.find(key); colour != colours.end()) {
      *colour->second = ParseColour(value, where);
    } else if (auto size = sizes.find(key); size != sizes.end()) {
      *size->second = ParseSize(value, where);
    } else {
      throw StyleError(where + ": unknown key \"" + std::string(key) + "\"");
    }
  }

  if (!seen.contains("name")) throw StyleError("style: \"name\" is missing");
  for (const auto& entry : colours)
    if (!seen.contains(entry.first)) throw StyleError("style \"" + style.name + "\": \"" + entry.first + "\" is missing");
  for (const auto& entry : sizes)
    if (!seen.contains(entry.first)) throw StyleError("style \"" + style.name + "\": \"" + entry.first + "\" is missing");
  return style;
}

double ContrastRatio(const Colour& a, const Colour& b) {
  const double la = Luminance(a);
  const double lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

}  // namespace quorvex::window
