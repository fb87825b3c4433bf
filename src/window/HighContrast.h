#pragma once
// Windows' high-contrast mode: whether it is on, and the system colours the window then draws
// with instead of its own, so that the user's chosen scheme holds for the whole window.

#include <windows.h>

namespace quorvex::window {

struct SystemColours {
  COLORREF window = 0, windowText = 0;          // the face and the title
  COLORREF buttonFace = 0, buttonText = 0;      // buttons at rest, and their frames
  COLORREF highlight = 0, highlightText = 0;    // hot and pressed buttons, the bar's fill
  COLORREF grayText = 0;                        // a disabled button
  friend bool operator==(const SystemColours&, const SystemColours&) = default;
};

// GetSysColor for each of them, now.
SystemColours ReadSystemColours();

// SPI_GETHIGHCONTRAST says HCF_HIGHCONTRASTON (or a test build's hook says so, see TestHooks.h).
bool HighContrastOn();

}  // namespace quorvex::window
