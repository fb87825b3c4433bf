#pragma once
// The installer's visual style: a named set of colours and shapes carried as a resource of
// type "VISUALSTYLE" and picked by its name. The text form is one "key = value" per line;
// "#" starts a comment line.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvex::window {

class StyleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Colour {
  std::uint8_t red = 0, green = 0, blue = 0;
  friend bool operator==(const Colour&, const Colour&) = default;
};

struct ButtonLook {
  Colour face, border, text;
};

struct VisualStyle {
  std::string name;
  Colour windowFace, windowText;
  int buttonRadius = 0;       // design pixels at 144 DPI
  int buttonBorderWidth = 1;  // design pixels at 144 DPI
  ButtonLook buttonNormal, buttonHot, buttonPressed, buttonFocused, buttonDisabled;
  Colour progressTrack, progressFill;
  int progressRadius = 0;
};

// Parses the text form. Every key must be known and present once; throws StyleError naming
// the line otherwise, so a broken style never half-applies.
VisualStyle ParseVisualStyle(std::string_view text);

// The contrast ratio of two colours (1 to 21), from their relative luminance.
double ContrastRatio(const Colour& a, const Colour& b);

}  // namespace quorvex::window
