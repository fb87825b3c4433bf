#include "window/uQuorvexInstall.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>

#include "platform/win32/CommonControlsLibrary.h"
#include "platform/win32/TextConversion.h"
#include "window/DpiSupport.h"

namespace quorvex::window {

namespace {

constexpr const wchar_t* kPanelClassName = L"TPanel";
constexpr const wchar_t* kTitleText = L"Instala\u00e7\u00e3o\r\nQuorvex - Veltrano";
constexpr COLORREF kTitleColour = RGB(0, 100, 176);
// Newer than the headers' target system; the message simply never comes on older ones.
constexpr UINT kWmGetDpiScaledSize = 0x02E4;

// Control identifiers; Install and Cancel take the dialog manager's OK and Cancel numbers.
enum ControlId : int {
  kIdAvancar = IDOK,
  kIdCancelar = IDCANCEL,
  kIdClient = 100,
  kIdHeader,
  kIdLogo,
  kIdTitle,
  kIdProgressBar,
  kIdButtonRow,
};

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kFormExStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;

COLORREF ToColorRef(const Colour& c) { return RGB(c.red, c.green, c.blue); }

TFrmQuorvexInstall* FormOf(HWND anyWindowOfTheForm) {
  HWND root = ::GetAncestor(anyWindowOfTheForm, GA_ROOT);
  return reinterpret_cast<TFrmQuorvexInstall*>(::GetWindowLongPtrW(root, GWLP_USERDATA));
}

void RegisterClasses(HINSTANCE instance, WNDPROC formProc, WNDPROC panelProc) {
  WNDCLASSEXW form{};
  form.cbSize = sizeof form;
  if (!::GetClassInfoExW(instance, TFrmQuorvexInstall::kClassName, &form)) {
    form = {};
    form.cbSize = sizeof form;
    form.lpfnWndProc = formProc;
    form.hInstance = instance;
    form.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    form.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
    form.hIconSm = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                   ::GetSystemMetrics(SM_CXSMICON),
                                                   ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    form.lpszClassName = TFrmQuorvexInstall::kClassName;
    if (!::RegisterClassExW(&form)) throw std::runtime_error("Cannot register the window class");
  }
  WNDCLASSEXW panel{};
  panel.cbSize = sizeof panel;
  if (!::GetClassInfoExW(instance, kPanelClassName, &panel)) {
    panel = {};
    panel.cbSize = sizeof panel;
    panel.lpfnWndProc = panelProc;
    panel.hInstance = instance;
    panel.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    panel.lpszClassName = kPanelClassName;
    if (!::RegisterClassExW(&panel)) throw std::runtime_error("Cannot register the panel class");
  }
}

void Place(HWND control, const Box& box) {
  ::SetWindowPos(control, nullptr, box.x, box.y, box.width, box.height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// A rounded rectangle filled with face and outlined inside its bounds with border.
void FillRounded(HDC dc, const RECT& rect, COLORREF face, COLORREF border, int borderWidth, int radius) {
  win32::UniqueGdiObject brush(::CreateSolidBrush(face));
  win32::UniqueGdiObject pen(borderWidth > 0 ? ::CreatePen(PS_INSIDEFRAME, borderWidth, border)
                                             : ::CreatePen(PS_NULL, 0, 0));
  HGDIOBJ oldBrush = ::SelectObject(dc, brush.get());
  HGDIOBJ oldPen = ::SelectObject(dc, pen.get());
  if (radius > 0) {
    ::RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, 2 * radius, 2 * radius);
  } else {
    ::Rectangle(dc, rect.left, rect.top, rect.right, rect.bottom);
  }
  ::SelectObject(dc, oldPen);
  ::SelectObject(dc, oldBrush);
}

// A resource's bytes; they stay mapped as long as the module is loaded.
std::span<const std::uint8_t> ResourceBytes(HINSTANCE instance, const wchar_t* name, const wchar_t* type) {
  HRSRC info = ::FindResourceW(instance, name, type);
  if (!info) return {};
  HGLOBAL loaded = ::LoadResource(instance, info);
  const void* data = loaded ? ::LockResource(loaded) : nullptr;
  if (!data) return {};
  return {static_cast<const std::uint8_t*>(data), ::SizeofResource(instance, info)};
}

}  // namespace

TFrmQuorvexInstall::TFrmQuorvexInstall(FormServices services, std::optional<VisualStyle> style)
    : services_(std::move(services)), style_(std::move(style)), client_(services_.transport, services_.apiBase) {
  RegisterClasses(services_.instance, FormProc, PanelProc);
  faceBrush_.reset(::CreateSolidBrush(style_ ? ToColorRef(style_->windowFace) : RGB(255, 255, 255)));
  taskbarButtonCreated_ = ::RegisterWindowMessageW(L"TaskbarButtonCreated");

  // Made hidden at the system DPI; ApplyDpi then fits it to the DPI of its own monitor.
  dpi_ = SystemDpi();
  const SIZE size = WindowSizeForDpi(dpi_);
  hwnd_ = ::CreateWindowExW(kFormExStyle, kClassName, kCaption, kFormStyle, CW_USEDEFAULT, CW_USEDEFAULT, size.cx,
                            size.cy, nullptr, nullptr, services_.instance, this);
  if (!hwnd_) throw std::runtime_error("Cannot create the installer window");
  CreateControls();
  ApplyDpi(WindowDpi(hwnd_), nullptr);
  PrepareLogo();
  FormCreate();
}

TFrmQuorvexInstall::~TFrmQuorvexInstall() {
  if (hwnd_) {
    destroying_ = true;
    ::DestroyWindow(hwnd_);
  }
}

void TFrmQuorvexInstall::CreateControls() {
  HINSTANCE instance = services_.instance;
  auto make = [&](DWORD exStyle, const wchar_t* className, const wchar_t* text, DWORD style, HWND parent, int id) {
    HWND control = ::CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    if (!control) throw std::runtime_error("Cannot create the installer window's controls");
    return control;
  };
  // Creation order is the tab order: header, progress bar, button row (Install, Cancel).
  pnlClient_ = make(WS_EX_CONTROLPARENT, kPanelClassName, L"", WS_CLIPCHILDREN, hwnd_, kIdClient);
  pnlHeader_ = make(WS_EX_CONTROLPARENT, kPanelClassName, L"", WS_CLIPCHILDREN, pnlClient_, kIdHeader);
  imgLogo_ = make(0, WC_STATICW, L"", SS_OWNERDRAW, pnlHeader_, kIdLogo);
  lbl1_ = make(0, WC_STATICW, kTitleText, SS_OWNERDRAW | SS_NOPREFIX, pnlClient_, kIdTitle);
  ProgressBar_ = make(0, PROGRESS_CLASSW, L"", 0, pnlClient_, kIdProgressBar);
  Panel1_ = make(WS_EX_CONTROLPARENT, kPanelClassName, L"", WS_CLIPCHILDREN, pnlClient_, kIdButtonRow);
  const DWORD buttonStyle = WS_TABSTOP | (style_ ? BS_OWNERDRAW : BS_PUSHBUTTON);
  btnAvancar_ = make(0, WC_BUTTONW, L"Instalar", buttonStyle, Panel1_, kIdAvancar);
  btnCancelar_ = make(0, WC_BUTTONW, L"Cancelar", buttonStyle, Panel1_, kIdCancelar);

  if (style_) {
    win32::CommonControls().SetWindowSubclass(btnAvancar_, ButtonSubclassProc, 1, reinterpret_cast<DWORD_PTR>(this));
    win32::CommonControls().SetWindowSubclass(btnCancelar_, ButtonSubclassProc, 1, reinterpret_cast<DWORD_PTR>(this));
    win32::CommonControls().SetWindowSubclass(ProgressBar_, BarSubclassProc, 1, reinterpret_cast<DWORD_PTR>(this));
  }
  ::SendMessageW(ProgressBar_, PBM_SETRANGE32, 0, 100);
}

void TFrmQuorvexInstall::FormCreate() {
  ::ShowWindow(ProgressBar_, SW_HIDE);
  barShown_ = false;
  ArrangeControls();
  // Registered once; the client hands it to every request it makes from now on.
  client_.SetProgressHandler(
      [this](std::int64_t total, std::int64_t received, bool& abort) { HttpReceiveData(total, received, abort); });
}

void TFrmQuorvexInstall::Show() {
  ::ShowWindow(hwnd_, SW_SHOWNORMAL);
  ::UpdateWindow(hwnd_);
  ::SetFocus(btnAvancar_);
}

SIZE TFrmQuorvexInstall::WindowSizeForDpi(int dpi) const {
  const FormLayout layout = ComputeFormLayout(dpi, false);
  RECT rect{0, 0, layout.client.width, layout.client.height};
  AdjustWindowRectForDpi(rect, kFormStyle, kFormExStyle, dpi);
  return {rect.right - rect.left, rect.bottom - rect.top};
}

void TFrmQuorvexInstall::ApplyDpi(int dpi, const RECT* suggested) {
  dpi_ = dpi;
  layout_ = ComputeFormLayout(dpi_, barShown_);

  auto makeFont = [](int height, int weight) {
    return win32::UniqueGdiObject(::CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                                DEFAULT_PITCH | FF_SWISS, L"Segoe UI"));
  };
  win32::UniqueGdiObject font = makeFont(layout_.fontHeight, FW_NORMAL);
  win32::UniqueGdiObject titleFont = makeFont(layout_.titleFontHeight, FW_BOLD);
  for (HWND control : {btnAvancar_, btnCancelar_, ProgressBar_, imgLogo_})
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
  ::SendMessageW(lbl1_, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont.get()), FALSE);
  // The controls now use the new fonts, so the old ones can go.
  font_ = std::move(font);
  titleFont_ = std::move(titleFont);

  const SIZE size = WindowSizeForDpi(dpi_);
  if (suggested) {
    ::SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, size.cx, size.cy,
                   SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    // Centred on all monitors together, but never left of or above their top-left corner.
    const int left = ::GetSystemMetrics(SM_XVIRTUALSCREEN);
    const int top = ::GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int x = left + std::max(0, (::GetSystemMetrics(SM_CXVIRTUALSCREEN) - static_cast<int>(size.cx)) / 2);
    const int y = top + std::max(0, (::GetSystemMetrics(SM_CYVIRTUALSCREEN) - static_cast<int>(size.cy)) / 2);
    ::SetWindowPos(hwnd_, nullptr, x, y, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // Where the frame is not drawn at the new DPI yet (or a system measures it differently),
  // correct the outer size so that the client area is exactly the design size.
  RECT client;
  ::GetClientRect(hwnd_, &client);
  const int dx = layout_.client.width - client.right;
  const int dy = layout_.client.height - client.bottom;
  if (dx != 0 || dy != 0) {
    RECT window;
    ::GetWindowRect(hwnd_, &window);
    ::SetWindowPos(hwnd_, nullptr, 0, 0, window.right - window.left + dx, window.bottom - window.top + dy,
                   SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
  }
  if (!logoSource_.pixels.empty()) PrepareLogo();
  ArrangeControls();
  ::InvalidateRect(hwnd_, nullptr, TRUE);
}

void TFrmQuorvexInstall::ArrangeControls() {
  layout_ = ComputeFormLayout(dpi_, barShown_);
  Place(pnlClient_, layout_.client);
  Place(pnlHeader_, layout_.pnlHeader);
  Place(imgLogo_, layout_.imgLogo);
  Place(lbl1_, layout_.lbl1);
  if (barShown_) Place(ProgressBar_, layout_.progressBar);
  Place(Panel1_, layout_.panel1);
  Place(btnAvancar_, layout_.btnAvancar);
  Place(btnCancelar_, layout_.btnCancelar);
}

void TFrmQuorvexInstall::PrepareLogo() {
  if (logoSource_.pixels.empty()) {
    const auto bytes = ResourceBytes(services_.instance, L"LOGO", MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (bytes.empty()) return;
    try {
      logoSource_ = DecodeImage(bytes);
    } catch (const PictureError&) {
      return;  // the window works without its picture
    }
  }
  logoScaled_ = ResampleArea(logoSource_, layout_.logo.width, layout_.logo.height);
  CompositeOver(logoScaled_, style_ ? style_->windowFace : Colour{255, 255, 255});
  ::InvalidateRect(imgLogo_, nullptr, FALSE);
}

int TFrmQuorvexInstall::StyleSize(int designPixels) const { return ScaleToDpi(designPixels, dpi_); }

void TFrmQuorvexInstall::FillFace(HDC dc, const RECT& rect) const {
  ::FillRect(dc, &rect, static_cast<HBRUSH>(faceBrush_.get()));
}

// --- Event handlers ---------------------------------------------------------------------

void TFrmQuorvexInstall::btnAvancarClick() {
  // One run at a time: the progress handler processes events, so a second press would
  // otherwise start a run inside the first one, on the same download client.
  if (running_) return;
  running_ = true;
  // Disabling the focused button drops the focus; it is not moved to Cancel, where a second
  // Enter would end the program. It comes back to Install after the run.
  const bool installHadFocus = ::GetFocus() == btnAvancar_;
  ::EnableWindow(btnAvancar_, FALSE);

  const InstallationPorts ports{services_.files, services_.shell, *this, client_};
  try {
    services_.run(ports, services_.versionName);
  } catch (const std::exception& error) {
    // The run catches the failures of its own steps; anything else still gets a message
    // instead of ending the program unseen.
    ShowError(error.what(), "Erro");
  }
  running_ = false;

  if (endRequested_ || quitSeen_) {
    ::PostQuitMessage(0);  // the program ends when control returns to the event loop
    return;
  }
  ClearTaskbarProgress();
  ::EnableWindow(btnAvancar_, TRUE);
  if (installHadFocus || !::GetFocus()) ::SetFocus(btnAvancar_);
}

void TFrmQuorvexInstall::btnCancelarClick() { ::SendMessageW(hwnd_, WM_CLOSE, 0, 0); }

void TFrmQuorvexInstall::HttpReceiveData(std::int64_t total, std::int64_t received, bool& /*abort*/) {
  if (!ProgressBar_ || total <= 0) return;
  // 64-bit product and quotient (wrapping rather than undefined if a server lies about
  // sizes), the quotient taken as a 32-bit position.
  const auto product = static_cast<std::int64_t>(static_cast<std::uint64_t>(received) * 100u);
  const auto position = static_cast<std::int32_t>(product / total);
  ::SendMessageW(ProgressBar_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  SetTaskbarProgress(position);
  ProcessPendingEvents();
}

// --- What the installation run asks of the window -----------------------------------------

void TFrmQuorvexInstall::ShowProgress() {
  ::SendMessageW(ProgressBar_, PBM_SETRANGE32, 0, 100);
  ::SendMessageW(ProgressBar_, PBM_SETPOS, 0, 0);
  if (!barShown_) {
    barShown_ = true;
    ArrangeControls();
    ::ShowWindow(ProgressBar_, SW_SHOW);
  }
  SetTaskbarProgress(0);
}

void TFrmQuorvexInstall::ShowError(const std::string& text, const std::string& caption) {
  ::MessageBoxW(hwnd_, win32::Widen(text).c_str(), win32::Widen(caption).c_str(), MB_OK | MB_ICONERROR);
}

void TFrmQuorvexInstall::RequestEnd() {
  endRequested_ = true;
  if (!running_) ::PostQuitMessage(0);
}

// --- Event loop ---------------------------------------------------------------------------

bool TFrmQuorvexInstall::PreTranslateMessage(MSG& msg) {
  if (!hwnd_ || (msg.hwnd != hwnd_ && !::IsChild(hwnd_, msg.hwnd))) return false;
  if (msg.message == WM_KEYDOWN && (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE)) {
    // Esc is Cancel; Enter is Install, or Cancel when the user has moved the focus there.
    // During a run Enter does nothing, as Install is disabled then.
    if (msg.wParam == VK_ESCAPE) {
      btnCancelarClick();
    } else if (!running_) {
      if (::GetFocus() == btnCancelar_) {
        btnCancelarClick();
      } else {
        btnAvancarClick();
      }
    }
    return true;
  }
  return ::IsDialogMessageW(hwnd_, &msg) != FALSE;
}

void TFrmQuorvexInstall::DispatchLoopMessage(MSG& msg) {
  if (PreTranslateMessage(msg)) return;
  ::TranslateMessage(&msg);
  ::DispatchMessageW(&msg);
}

void TFrmQuorvexInstall::ProcessPendingEvents() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      quitSeen_ = true;  // handed back to the event loop once the run has returned
      if (!running_) ::PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    DispatchLoopMessage(msg);
  }
}

// --- Taskbar ------------------------------------------------------------------------------

void TFrmQuorvexInstall::SetTaskbarProgress(int position) {
  if (!taskbar_) {
    // Tried once per taskbar: the handler runs after every received block.
    if (taskbarUnavailable_) return;
    if (FAILED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                  taskbar_.putVoid())) ||
        FAILED(taskbar_->HrInit())) {
      taskbar_.reset();
      taskbarUnavailable_ = true;
      return;
    }
  }
  taskbar_->SetProgressState(hwnd_, TBPF_NORMAL);
  taskbar_->SetProgressValue(hwnd_, static_cast<ULONGLONG>(std::clamp(position, 0, 100)), 100);
}

void TFrmQuorvexInstall::ClearTaskbarProgress() {
  if (taskbar_) taskbar_->SetProgressState(hwnd_, TBPF_NOPROGRESS);
}

// --- Painting -----------------------------------------------------------------------------

void TFrmQuorvexInstall::DrawItem(const DRAWITEMSTRUCT& item) {
  if (item.hwndItem == imgLogo_) {
    DrawLogo(item);
  } else if (item.hwndItem == lbl1_) {
    DrawTitle(item);
  } else if (item.hwndItem == btnAvancar_ || item.hwndItem == btnCancelar_) {
    DrawButton(item);
  }
}

void TFrmQuorvexInstall::DrawLogo(const DRAWITEMSTRUCT& item) {
  FillFace(item.hDC, item.rcItem);
  if (logoScaled_.pixels.empty()) return;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = logoScaled_.width;
  info.bmiHeader.biHeight = -logoScaled_.height;  // rows top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  ::SetDIBitsToDevice(item.hDC, layout_.logo.x, layout_.logo.y, static_cast<DWORD>(logoScaled_.width),
                      static_cast<DWORD>(logoScaled_.height), 0, 0, 0, static_cast<UINT>(logoScaled_.height),
                      logoScaled_.pixels.data(), &info, DIB_RGB_COLORS);
}

void TFrmQuorvexInstall::DrawTitle(const DRAWITEMSTRUCT& item) {
  FillFace(item.hDC, item.rcItem);
  HGDIOBJ oldFont = ::SelectObject(item.hDC, titleFont_.get());
  ::SetBkMode(item.hDC, TRANSPARENT);
  ::SetTextColor(item.hDC, kTitleColour);
  // Centred both ways: measure the two lines, then draw them in the middle.
  RECT measured = item.rcItem;
  ::DrawTextW(item.hDC, kTitleText, -1, &measured, DT_CENTER | DT_NOPREFIX | DT_CALCRECT);
  RECT target = item.rcItem;
  const int height = measured.bottom - measured.top;
  target.top += (item.rcItem.bottom - item.rcItem.top - height) / 2;
  target.bottom = target.top + height;
  ::DrawTextW(item.hDC, kTitleText, -1, &target, DT_CENTER | DT_NOPREFIX);
  ::SelectObject(item.hDC, oldFont);
}

void TFrmQuorvexInstall::DrawButton(const DRAWITEMSTRUCT& item) {
  const VisualStyle& style = *style_;
  const ButtonLook* look = &style.buttonNormal;
  if (item.itemState & ODS_DISABLED) {
    look = &style.buttonDisabled;
  } else if (item.itemState & ODS_SELECTED) {
    look = &style.buttonPressed;
  } else if (hotButton_ == item.hwndItem) {
    look = &style.buttonHot;
  } else if (item.itemState & ODS_FOCUS) {
    look = &style.buttonFocused;
  }
  FillFace(item.hDC, item.rcItem);
  FillRounded(item.hDC, item.rcItem, ToColorRef(look->face), ToColorRef(look->border),
              std::max(1, StyleSize(style.buttonBorderWidth)), StyleSize(style.buttonRadius));

  wchar_t text[64] = {};
  ::GetWindowTextW(item.hwndItem, text, 64);
  HGDIOBJ oldFont = ::SelectObject(item.hDC, font_.get());
  ::SetBkMode(item.hDC, TRANSPARENT);
  ::SetTextColor(item.hDC, ToColorRef(look->text));
  RECT rect = item.rcItem;
  ::DrawTextW(item.hDC, text, -1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  ::SelectObject(item.hDC, oldFont);
}

void TFrmQuorvexInstall::PaintProgressBar(HWND bar, HDC dc) {
  RECT rect;
  ::GetClientRect(bar, &rect);
  const int low = static_cast<int>(win32::CommonControls().DefSubclassProc(bar, PBM_GETRANGE, TRUE, 0));
  const int high = static_cast<int>(win32::CommonControls().DefSubclassProc(bar, PBM_GETRANGE, FALSE, 0));
  const int position = static_cast<int>(win32::CommonControls().DefSubclassProc(bar, PBM_GETPOS, 0, 0));
  const VisualStyle& style = *style_;
  const int radius = StyleSize(style.progressRadius);
  FillFace(dc, rect);
  FillRounded(dc, rect, ToColorRef(style.progressTrack), 0, 0, radius);
  if (high > low && position > low) {
    RECT filled = rect;
    const long long span = static_cast<long long>(rect.right - rect.left);
    filled.right = rect.left + static_cast<int>(span * (std::min(position, high) - low) / (high - low));
    if (filled.right > filled.left) FillRounded(dc, filled, ToColorRef(style.progressFill), 0, 0, radius);
  }
}

// --- Window procedures --------------------------------------------------------------------

LRESULT CALLBACK TFrmQuorvexInstall::FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    auto* form = static_cast<TFrmQuorvexInstall*>(create->lpCreateParams);
    form->hwnd_ = hwnd;
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    EnableNonClientDpiScaling(hwnd);
  }
  auto* form = reinterpret_cast<TFrmQuorvexInstall*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!form) return ::DefWindowProcW(hwnd, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    form->hwnd_ = nullptr;
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
  }
  return form->HandleMessage(message, wParam, lParam);
}

LRESULT TFrmQuorvexInstall::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED || HIWORD(wParam) == BN_DOUBLECLICKED) {
        if (LOWORD(wParam) == kIdAvancar) btnAvancarClick();
        if (LOWORD(wParam) == kIdCancelar) btnCancelarClick();
      }
      return 0;
    case WM_DRAWITEM:
      DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<LRESULT>(faceBrush_.get());
    case WM_ERASEBKGND: {
      RECT rect;
      ::GetClientRect(hwnd_, &rect);
      FillFace(reinterpret_cast<HDC>(wParam), rect);
      return 1;
    }
    case WM_ACTIVATE:
      // Keyboard focus comes back to where it was when the window is activated again.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = ::GetFocus();
        if (focus && ::IsChild(hwnd_, focus)) focusBeforeDeactivation_ = focus;
      } else {
        HWND target = focusBeforeDeactivation_ && ::IsWindowEnabled(focusBeforeDeactivation_)
                          ? focusBeforeDeactivation_
                          : (::IsWindowEnabled(btnAvancar_) ? btnAvancar_ : btnCancelar_);
        ::SetFocus(target);
      }
      return 0;
    case kWmGetDpiScaledSize: {
      // Tell the system the exact size for the new DPI, so the client area stays whole.
      *reinterpret_cast<SIZE*>(lParam) = WindowSizeForDpi(static_cast<int>(wParam));
      return TRUE;
    }
    case WM_DPICHANGED:
      ApplyDpi(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_CLOSE:
      // During a run the close only takes effect once the run has returned.
      if (running_) {
        endRequested_ = true;
        return 0;
      }
      ::DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      if (!destroying_) ::PostQuitMessage(0);
      return 0;
    default:
      if (message == taskbarButtonCreated_ && message != 0) {
        taskbar_.reset();  // a new taskbar (Explorer restarted): connect again on next use
        taskbarUnavailable_ = false;
        return 0;
      }
      return ::DefWindowProcW(hwnd_, message, wParam, lParam);
  }
}

LRESULT CALLBACK TFrmQuorvexInstall::PanelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
    case WM_DRAWITEM:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC:
      // Panels hold controls but decide nothing: their notifications go up to the form.
      return ::SendMessageW(::GetParent(hwnd), message, wParam, lParam);
    case WM_ERASEBKGND: {
      TFrmQuorvexInstall* form = FormOf(hwnd);
      if (!form) break;
      RECT rect;
      ::GetClientRect(hwnd, &rect);
      form->FillFace(reinterpret_cast<HDC>(wParam), rect);
      return 1;
    }
    default:
      break;
  }
  return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK TFrmQuorvexInstall::ButtonSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                                        UINT_PTR /*id*/, DWORD_PTR data) {
  auto* form = reinterpret_cast<TFrmQuorvexInstall*>(data);
  switch (message) {
    case WM_MOUSEMOVE:
      if (form->hotButton_ != hwnd) {
        HWND previous = form->hotButton_;
        form->hotButton_ = hwnd;
        TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, hwnd, 0};
        ::TrackMouseEvent(&track);
        if (previous) ::InvalidateRect(previous, nullptr, FALSE);
        ::InvalidateRect(hwnd, nullptr, FALSE);
      }
      break;
    case WM_MOUSELEAVE:
      if (form->hotButton_ == hwnd) {
        form->hotButton_ = nullptr;
        ::InvalidateRect(hwnd, nullptr, FALSE);
      }
      break;
    case WM_ENABLE:
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
      const LRESULT result = win32::CommonControls().DefSubclassProc(hwnd, message, wParam, lParam);
      ::InvalidateRect(hwnd, nullptr, FALSE);
      return result;
    }
    case WM_NCDESTROY:
      win32::CommonControls().RemoveWindowSubclass(hwnd, ButtonSubclassProc, 1);
      break;
    default:
      break;
  }
  return win32::CommonControls().DefSubclassProc(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK TFrmQuorvexInstall::BarSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                                     UINT_PTR /*id*/, DWORD_PTR data) {
  auto* form = reinterpret_cast<TFrmQuorvexInstall*>(data);
  switch (message) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
    case WM_PRINTCLIENT: {
      PAINTSTRUCT paint{};
      HDC dc = message == WM_PAINT ? ::BeginPaint(hwnd, &paint) : reinterpret_cast<HDC>(wParam);
      form->PaintProgressBar(hwnd, dc);
      if (message == WM_PAINT) ::EndPaint(hwnd, &paint);
      return 0;
    }
    case PBM_SETPOS:
    case PBM_DELTAPOS:
    case PBM_STEPIT:
    case PBM_SETRANGE32: {
      // Drawn straight at the new value; no animation between positions.
      const LRESULT result = win32::CommonControls().DefSubclassProc(hwnd, message, wParam, lParam);
      ::InvalidateRect(hwnd, nullptr, FALSE);
      return result;
    }
    case WM_NCDESTROY:
      win32::CommonControls().RemoveWindowSubclass(hwnd, BarSubclassProc, 1);
      break;
    default:
      break;
  }
  return win32::CommonControls().DefSubclassProc(hwnd, message, wParam, lParam);
}

}  // namespace quorvex::window
