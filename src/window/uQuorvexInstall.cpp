#include "window/uQuorvexInstall.h"

#include <commctrl.h>

#include <algorithm>
#include <string>

#include "platform/win32/SystemCallback.h"
#include "platform/win32/TextConversion.h"
#include "window/ControlAccessibility.h"
#include "window/DpiSupport.h"
#include "window/HighContrast.h"
#include "window/StartRecord.h"

namespace quorvex::window {

namespace {

constexpr const wchar_t* kPanelClassName = L"TPanel";
constexpr const wchar_t* kTitleText = L"Instala\u00e7\u00e3o\r\nQuorvex - Veltrano";
// What screen readers call the bar and the logo.
constexpr const wchar_t* kProgressName = L"Progresso do download";
constexpr const wchar_t* kLogoName = L"Quorvex";
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
    if (!::RegisterClassExW(&form)) {
      throw LastWindowError(WindowFailure::kRegisterClass, "Cannot register the window class TFrmQuorvexInstall");
    }
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
    if (!::RegisterClassExW(&panel)) {
      throw LastWindowError(WindowFailure::kRegisterClass, "Cannot register the window class TPanel");
    }
  }
}

void Place(HWND control, const Box& box) {
  ::SetWindowPos(control, nullptr, box.x, box.y, box.width, box.height, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

TFrmQuorvexInstall::TFrmQuorvexInstall(FormServices services, std::optional<VisualStyle> style)
    : services_(std::move(services)),
      painter_(std::move(style)),
      client_(services_.transport, services_.apiBase) {
  client_.SetRunLog(services_.log);
  client_.SetInstallerIdentity("QuorvexInstall/" + InstallerFileVersion(services_.instance));
  RegisterClasses(services_.instance, win32::SystemCallback<&FormProc, &win32::WindowFailureAnswer>::Call,
                  win32::SystemCallback<&PanelProc, &win32::WindowFailureAnswer>::Call);

  // Made hidden at the system DPI; ApplyDpi then fits it to the DPI of its own monitor.
  dpi_ = SystemDpi();
  painter_.SetDpi(dpi_);
  if (HighContrastOn()) painter_.UseSystemColours(ReadSystemColours());
  const SIZE size = WindowSizeForDpi(dpi_);
  hwnd_ = ::CreateWindowExW(kFormExStyle, kClassName, kCaption, kFormStyle, CW_USEDEFAULT, CW_USEDEFAULT, size.cx,
                            size.cy, nullptr, nullptr, services_.instance, this);
  if (!hwnd_) {
    // A failure of our own while the window was made is the cause, not the refusal it led to.
    win32::RethrowCallbackFailure();
    throw LastWindowError(WindowFailure::kCreateWindow, "Cannot create the installer window");
  }
  try {
    CreateControls();
    ApplyDpi(WindowDpi(hwnd_), nullptr);
    LoadLogo();
    if (painter_.HasLogo()) FitLogo();
    FormCreate();
    // Whatever failed in a callback while the window was set up fails the start-up.
    win32::RethrowCallbackFailure();
  } catch (...) {
    // No destructor runs for a constructor that throws: the window, whose data points here,
    // goes now.
    destroying_ = true;
    ::DestroyWindow(hwnd_);
    win32::TakeCallbackFailure();
    throw;
  }
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
    if (!control) {
      throw LastWindowError(WindowFailure::kCreateControl,
                            "Cannot create control " + std::to_string(id) + " of the installer window");
    }
    return control;
  };
  // Creation order is the tab order: header, progress bar, button row (Install, Cancel).
  pnlClient_ = make(WS_EX_CONTROLPARENT, kPanelClassName, L"", WS_CLIPCHILDREN, hwnd_, kIdClient);
  pnlHeader_ = make(WS_EX_CONTROLPARENT, kPanelClassName, L"", WS_CLIPCHILDREN, pnlClient_, kIdHeader);
  imgLogo_ = make(0, WC_STATICW, L"", SS_OWNERDRAW, pnlHeader_, kIdLogo);
  lbl1_ = make(0, WC_STATICW, kTitleText, SS_OWNERDRAW | SS_NOPREFIX, pnlClient_, kIdTitle);
  ProgressBar_ = make(0, PROGRESS_CLASSW, L"", 0, pnlClient_, kIdProgressBar);
  Panel1_ = make(WS_EX_CONTROLPARENT, kPanelClassName, L"", WS_CLIPCHILDREN, pnlClient_, kIdButtonRow);
  const DWORD buttonStyle = WS_TABSTOP | (painter_.Styled() ? BS_OWNERDRAW : BS_PUSHBUTTON);
  btnAvancar_ = make(0, WC_BUTTONW, L"Instalar", buttonStyle, Panel1_, kIdAvancar);
  btnCancelar_ = make(0, WC_BUTTONW, L"Cancelar", buttonStyle, Panel1_, kIdCancelar);

  painter_.AttachButton(btnAvancar_);
  painter_.AttachButton(btnCancelar_);
  painter_.AttachProgressBar(ProgressBar_);
  ::SendMessageW(ProgressBar_, PBM_SETRANGE32, 0, 100);

  // What the system cannot tell a screen reader about the drawn controls; the buttons'
  // texts are their names already.
  DescribeForScreenReaders(ProgressBar_, ROLE_SYSTEM_PROGRESSBAR, kProgressName);
  DescribeForScreenReaders(lbl1_, ROLE_SYSTEM_STATICTEXT, L"");
  DescribeForScreenReaders(imgLogo_, ROLE_SYSTEM_GRAPHIC, kLogoName);
}

void TFrmQuorvexInstall::FollowContrastSetting() {
  std::optional<SystemColours> wanted;
  if (HighContrastOn()) wanted = ReadSystemColours();
  if (wanted == painter_.SystemColoursInUse()) return;
  painter_.UseSystemColours(wanted);
  ::RedrawWindow(hwnd_, nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_FRAME);
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
  painter_.SetDpi(dpi_);
  layout_ = ComputeFormLayout(dpi_, barShown_);

  // A font that cannot be made leaves the controls with the one they have (at first the
  // system's): the window still works, so it is logged rather than refused.
  auto makeFont = [](int height, int weight) {
    win32::UniqueGdiObject font(::CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                              OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                              DEFAULT_PITCH | FF_SWISS, L"Segoe UI"));
    if (!font) {
      LogDetail(LastWindowError(WindowFailure::kCreateFont,
                                "Cannot create the font Segoe UI of height " + std::to_string(height))
                    .what());
    }
    return font;
  };
  win32::UniqueGdiObject font = makeFont(layout_.fontHeight, FW_NORMAL);
  win32::UniqueGdiObject titleFont = makeFont(layout_.titleFontHeight, FW_BOLD);
  if (font) {
    for (HWND control : {btnAvancar_, btnCancelar_, ProgressBar_, imgLogo_})
      ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
    font_ = std::move(font);  // the controls now use the new font, so the old one can go
  }
  if (titleFont) {
    ::SendMessageW(lbl1_, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont.get()), FALSE);
    titleFont_ = std::move(titleFont);
  }

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
  if (painter_.HasLogo()) FitLogo();
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

// The window works without its picture: a logo that cannot be read or decoded is logged
// and left out.
void TFrmQuorvexInstall::LoadLogo() {
  try {
    if (services_.logo) {
      LoadedLogo logo = services_.logo->Take();
      painter_.SetLogo(std::move(logo.source), std::move(logo.scaled));
    } else {
      painter_.SetLogo(ReadLogo(services_.instance));
    }
  } catch (const WindowError& error) {
    LogDetail(error.what());
  }
}

void TFrmQuorvexInstall::FitLogo() {
  painter_.FitLogo(layout_.logo);
  ::InvalidateRect(imgLogo_, nullptr, FALSE);
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

  const InstallationPorts ports{services_.files, services_.shell, *this, client_, services_.log, services_.trust};
  try {
    services_.run(ports, services_.versionName);
  } catch (...) {
    // The run catches the failures of its own steps; anything else still gets the run's
    // message instead of ending the program unseen. Its English detail is not for the user.
    LogFailure(std::current_exception());
    ShowError(std::string(kDownloadErrorText), std::string(kDownloadErrorCaption));
  }
  // A callback's failure that no pumped event brought back into the run (a paint while the
  // message box was up, say) has painted nothing more; it is only recorded.
  if (const std::exception_ptr late = win32::TakeCallbackFailure()) LogFailure(late);
  running_ = false;

  if (endRequested_ || quitSeen_) {
    ::PostQuitMessage(0);  // the program ends when control returns to the event loop
    return;
  }
  taskbar_.Clear(hwnd_);
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
  taskbar_.Set(hwnd_, position);
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
  taskbar_.Set(hwnd_, 0);
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
    // Back in our own frames: a callback's failure during the run ends the run, which shows
    // its message (see win32::SystemCallback).
    win32::RethrowCallbackFailure();
  }
}

// --- Painting -----------------------------------------------------------------------------

void TFrmQuorvexInstall::DrawItem(const DRAWITEMSTRUCT& item) {
  if (item.hwndItem == imgLogo_) {
    painter_.DrawLogo(item);
  } else if (item.hwndItem == lbl1_) {
    painter_.DrawTitle(item, titleFont_.get());
  } else if (item.hwndItem == btnAvancar_ || item.hwndItem == btnCancelar_) {
    painter_.DrawButton(item, font_.get());
  }
}

// --- Window procedures --------------------------------------------------------------------

LRESULT TFrmQuorvexInstall::FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
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
      return reinterpret_cast<LRESULT>(painter_.FaceBrush());
    case WM_ERASEBKGND: {
      RECT rect;
      ::GetClientRect(hwnd_, &rect);
      painter_.FillFace(reinterpret_cast<HDC>(wParam), rect);
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
    case WM_SETTINGCHANGE:
    case WM_SYSCOLORCHANGE:
      // High contrast turned on or off, or its scheme changed, while the window is open.
      if (message == WM_SYSCOLORCHANGE) ::SendMessageW(ProgressBar_, WM_SYSCOLORCHANGE, 0, 0);
      FollowContrastSetting();
      return ::DefWindowProcW(hwnd_, message, wParam, lParam);
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
      if (taskbar_.HandleMessage(message)) return 0;
      return ::DefWindowProcW(hwnd_, message, wParam, lParam);
  }
}

LRESULT TFrmQuorvexInstall::PanelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
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
      form->painter_.FillFace(reinterpret_cast<HDC>(wParam), rect);
      return 1;
    }
    default:
      break;
  }
  return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace quorvex::window
