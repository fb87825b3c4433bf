#include "window/FormLayout.h"

#include <algorithm>

namespace quorvex::window {

namespace {

struct Margins {
  int left, top, right, bottom;
};

// The design table, in pixels at 144 DPI.
constexpr Margins kHeaderMargins{0, 15, 0, 0};
constexpr int kHeaderHeight = 120;
constexpr Margins kLogoMargins{10, 10, 10, 10};
constexpr Margins kTitleMargins{5, 5, 5, 5};
constexpr int kTitleHeight = 64;
constexpr Margins kBarMargins{75, 15, 75, 0};
constexpr int kBarHeight = 25;
constexpr Margins kButtonRowMargins{75, 30, 75, 0};
constexpr int kButtonRowHeight = 45;
constexpr Margins kInstallMargins{5, 0, 5, 0};
constexpr int kButtonWidth = 113;
constexpr int kButtonHeight = 45;

Margins Scale(const Margins& m, int dpi) {
  return {ScaleToDpi(m.left, dpi), ScaleToDpi(m.top, dpi), ScaleToDpi(m.right, dpi), ScaleToDpi(m.bottom, dpi)};
}

// Places a top-aligned control below the previous one; returns where the next one starts.
int StackTop(Box& box, int top, int parentWidth, const Margins& m, int height) {
  box = {m.left, top + m.top, std::max(0, parentWidth - m.left - m.right), height};
  return box.Bottom() + m.bottom;
}

}  // namespace

int ScaleToDpi(int designPixels, int dpi) {
  // Round half away from zero, in 64 bits so no DPI can overflow.
  const long long scaled = static_cast<long long>(designPixels) * dpi;
  const long long half = kDesignDpi / 2;
  return static_cast<int>(scaled >= 0 ? (scaled + half) / kDesignDpi : (scaled - half) / kDesignDpi);
}

Box FitCentred(int pictureWidth, int pictureHeight, const Box& area) {
  if (pictureWidth <= 0 || pictureHeight <= 0 || area.width <= 0 || area.height <= 0) return {area.x, area.y, 0, 0};
  int width = area.width;
  int height = static_cast<int>((static_cast<long long>(pictureHeight) * width + pictureWidth / 2) / pictureWidth);
  if (height > area.height) {
    height = area.height;
    width = static_cast<int>((static_cast<long long>(pictureWidth) * height + pictureHeight / 2) / pictureHeight);
  }
  return {area.x + (area.width - width) / 2, area.y + (area.height - height) / 2, width, height};
}

FormLayout ComputeFormLayout(int dpi, bool progressBarVisible) {
  FormLayout layout;
  const int width = ScaleToDpi(kDesignClientWidth, dpi);
  layout.client = {0, 0, width, ScaleToDpi(kDesignClientHeight, dpi)};

  int top = StackTop(layout.pnlHeader, 0, width, Scale(kHeaderMargins, dpi), ScaleToDpi(kHeaderHeight, dpi));

  // imgLogo fills pnlHeader inside its margins.
  const Margins logoMargins = Scale(kLogoMargins, dpi);
  layout.imgLogo = {logoMargins.left, logoMargins.top,
                    std::max(0, layout.pnlHeader.width - logoMargins.left - logoMargins.right),
                    std::max(0, layout.pnlHeader.height - logoMargins.top - logoMargins.bottom)};
  layout.logo = FitCentred(kLogoWidth, kLogoHeight, {0, 0, layout.imgLogo.width, layout.imgLogo.height});

  top = StackTop(layout.lbl1, top, width, Scale(kTitleMargins, dpi), ScaleToDpi(kTitleHeight, dpi));
  if (progressBarVisible) top = StackTop(layout.progressBar, top, width, Scale(kBarMargins, dpi), ScaleToDpi(kBarHeight, dpi));
  StackTop(layout.panel1, top, width, Scale(kButtonRowMargins, dpi), ScaleToDpi(kButtonRowHeight, dpi));

  // Both buttons are aligned to the row's right edge: Cancel outermost, Install left of it.
  const int buttonWidth = ScaleToDpi(kButtonWidth, dpi);
  const int buttonHeight = ScaleToDpi(kButtonHeight, dpi);
  layout.btnCancelar = {layout.panel1.width - buttonWidth, 0, buttonWidth, buttonHeight};
  const Margins installMargins = Scale(kInstallMargins, dpi);
  layout.btnAvancar = {layout.btnCancelar.x - installMargins.right - buttonWidth, installMargins.top, buttonWidth,
                       buttonHeight};

  layout.fontHeight = ScaleToDpi(kDesignFontHeight, dpi);
  layout.titleFontHeight = ScaleToDpi(kDesignTitleFontHeight, dpi);
  return layout;
}

}  // namespace quorvex::window
