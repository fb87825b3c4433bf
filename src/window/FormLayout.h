#pragma once
// Where every control of the installer window goes, for a given DPI. Design sizes are
// pixels at 144 DPI; each size and margin is scaled on its own, then the controls are
// stacked top-down inside their parents, the way the form designer aligns them.

#include <cstdint>

namespace quorvex::window {

inline constexpr int kDesignDpi = 144;
inline constexpr int kDesignClientWidth = 803;
inline constexpr int kDesignClientHeight = 458;
inline constexpr int kDesignFontHeight = 20;       // "Segoe UI", 10 point
inline constexpr int kDesignTitleFontHeight = 24;  // lbl1, bold, 12 point
inline constexpr int kLogoWidth = 1536;            // the logo resource's own size
inline constexpr int kLogoHeight = 300;

struct Box {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int Right() const { return x + width; }
  int Bottom() const { return y + height; }
  friend bool operator==(const Box&, const Box&) = default;
};

// Each box is relative to its parent window: pnlHeader, lbl1, ProgressBar and Panel1 to
// pnlClient; imgLogo to pnlHeader; the buttons to Panel1.
struct FormLayout {
  Box client;  // pnlClient, which is also the window's client area
  Box pnlHeader;
  Box imgLogo;
  Box lbl1;
  Box progressBar;  // empty while the bar is hidden
  Box panel1;
  Box btnAvancar;
  Box btnCancelar;
  Box logo;  // the logo picture inside imgLogo: scaled proportionally to fit, centred
  int fontHeight = 0;
  int titleFontHeight = 0;
};

// A design size (pixels at 144 DPI) at dpi, rounded to the nearest pixel.
int ScaleToDpi(int designPixels, int dpi);

FormLayout ComputeFormLayout(int dpi, bool progressBarVisible);

// The largest box of the given aspect that fits into area, centred in it.
Box FitCentred(int pictureWidth, int pictureHeight, const Box& area);

}  // namespace quorvex::window
