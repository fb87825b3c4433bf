#pragma once
// How the installer window looks: its face colour, the owner-drawn logo, title and buttons,
// and the progress bar in the visual style's colours, or in the system's colours while
// high contrast is on. The form decides where controls go and when they change; this draws
// them.

#include <windows.h>
#include <commctrl.h>

#include <optional>

#include "platform/win32/UniqueHandle.h"
#include "window/FormLayout.h"
#include "window/HighContrast.h"
#include "window/Picture.h"
#include "window/VisualStyle.h"

namespace quorvex::window {

class FormPainter {
 public:
  // Without a style the window keeps the system's look: a white face and the standard
  // buttons and bar (then the buttons are not owner-drawn and nothing is subclassed).
  explicit FormPainter(std::optional<VisualStyle> style);
  FormPainter(const FormPainter&) = delete;
  FormPainter& operator=(const FormPainter&) = delete;

  bool Styled() const { return style_.has_value(); }
  // With colours, everything is drawn in them (high contrast) instead of the style's; the
  // logo keeps its own look. Without, the style's colours come back. The caller repaints.
  void UseSystemColours(const std::optional<SystemColours>& colours);
  const std::optional<SystemColours>& SystemColoursInUse() const { return system_; }
  // The brush the form and its panels answer WM_CTLCOLOR* with; owned here.
  HBRUSH FaceBrush() const { return static_cast<HBRUSH>(faceBrush_.get()); }
  void FillFace(HDC dc, const RECT& rect) const;
  // The style's sizes are design pixels; they are drawn scaled to this DPI.
  void SetDpi(int dpi) { dpi_ = dpi; }

  // The logo: decoded once, then fitted to its box (inside imgLogo) at every DPI and
  // composited over the face colour there.
  // scaled: the source already scaled to the box FitLogo will most likely get, if at hand.
  void SetLogo(Picture source, Picture scaled = {}) {
    logoSource_ = std::move(source);
    logoResampled_ = std::move(scaled);
  }
  bool HasLogo() const { return !logoSource_.pixels.empty(); }
  void FitLogo(const Box& box);

  // WM_DRAWITEM of the owner-drawn controls, each with its caption in the given font.
  void DrawLogo(const DRAWITEMSTRUCT& item) const;
  void DrawTitle(const DRAWITEMSTRUCT& item, HGDIOBJ font) const;
  void DrawButton(const DRAWITEMSTRUCT& item, HGDIOBJ font) const;

  // With a style: hot tracking for a button, and the whole painting of the progress bar.
  // Each subclass removes itself when its control is destroyed; the painter outlives them.
  void AttachButton(HWND button);
  void AttachProgressBar(HWND bar);

 private:
  static LRESULT ButtonSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                    DWORD_PTR data);
  static LRESULT BarSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                 DWORD_PTR data);
  // The two procedures as the system calls them (win32::SystemCallback).
  static const SUBCLASSPROC kButtonSubclass;
  static const SUBCLASSPROC kBarSubclass;
  void PaintProgressBar(HWND bar, HDC dc) const;
  int StyleSize(int designPixels) const { return ScaleToDpi(designPixels, dpi_); }
  void DrawHighContrastButton(const DRAWITEMSTRUCT& item, HGDIOBJ font) const;

  std::optional<VisualStyle> style_;
  std::optional<SystemColours> system_;  // set while high contrast is on
  win32::UniqueGdiObject faceBrush_;
  int dpi_ = kDesignDpi;
  HWND hotButton_ = nullptr;  // the button under the mouse, drawn in its hot look
  Picture logoSource_;
  Picture logoResampled_;  // the source at the current DPI's size
  Picture logoScaled_;     // that, composited over the face colour
  Box logoBox_;
};

}  // namespace quorvex::window
