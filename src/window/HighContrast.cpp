#include "window/HighContrast.h"

#include "window/TestHooks.h"

namespace quorvex::window {

SystemColours ReadSystemColours() {
  SystemColours colours;
  colours.window = ::GetSysColor(COLOR_WINDOW);
  colours.windowText = ::GetSysColor(COLOR_WINDOWTEXT);
  colours.buttonFace = ::GetSysColor(COLOR_BTNFACE);
  colours.buttonText = ::GetSysColor(COLOR_BTNTEXT);
  colours.highlight = ::GetSysColor(COLOR_HIGHLIGHT);
  colours.highlightText = ::GetSysColor(COLOR_HIGHLIGHTTEXT);
  colours.grayText = ::GetSysColor(COLOR_GRAYTEXT);
  return colours;
}

bool HighContrastOn() {
  HIGHCONTRASTW setting{};
  setting.cbSize = sizeof setting;
  if (::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof setting, &setting, 0) &&
      (setting.dwFlags & HCF_HIGHCONTRASTON)) {
    return true;
  }
  return HighContrastForced();
}

}  // namespace quorvex::window
