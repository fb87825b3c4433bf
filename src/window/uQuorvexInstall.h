#pragma once
// The installer's one window, FrmQuorvexInstall: the logo, the title, the progress bar and
// the Install and Cancel buttons. It owns the download client for its whole life and runs
// the installation inside the Install handler, on its own thread.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "download/DownloadClient.h"
#include "download/Transport.h"
#include "install/FileSystem.h"
#include "install/Installation.h"
#include "install/InstallerUi.h"
#include "install/Shell.h"
#include "platform/win32/UniqueHandle.h"
#include "window/FormLayout.h"
#include "window/FormPainter.h"
#include "window/LogoLoader.h"
#include "window/TaskbarProgress.h"
#include "window/VisualStyle.h"
#include "window/WindowError.h"

namespace quorvex::window {

// What the window needs from the rest of the program.
struct FormServices {
  HINSTANCE instance = nullptr;
  Transport& transport;
  FileSystem& files;
  Shell& shell;
  std::string apiBase;      // the download service's API base
  std::string versionName;  // the release Install installs
  // The installation run: DownloadAndInstall, or a stand-in in the window's own tests.
  std::function<void(const InstallationPorts&, const std::string&)> run;
  RunLog* log = nullptr;  // where the run and its download record what happened; none: nowhere
  PackageTrust trust{};   // the keys a package must be signed with; none: no check
  // The logo, already being decoded since the program started; none: decoded while the
  // window is made.
  LogoLoader* logo = nullptr;
};

class TFrmQuorvexInstall final : public InstallerUi {
 public:
  static constexpr const wchar_t* kClassName = L"TFrmQuorvexInstall";
  static constexpr const wchar_t* kCaption = L"Quorvex - Instala\u00e7\u00e3o";

  // Creates the window (hidden) and runs FormCreate. With no style, controls keep the
  // system's default look. Throws WindowError (with the system's code) when the window or
  // one of its controls cannot be created.
  TFrmQuorvexInstall(FormServices services, std::optional<VisualStyle> style);
  ~TFrmQuorvexInstall() override;
  TFrmQuorvexInstall(const TFrmQuorvexInstall&) = delete;
  TFrmQuorvexInstall& operator=(const TFrmQuorvexInstall&) = delete;

  void Show();
  HWND Handle() const { return hwnd_; }

  // The event loop's translation step: keyboard navigation (Tab, Enter presses Install,
  // Esc presses Cancel). Returns true when the message was handled here.
  bool PreTranslateMessage(MSG& msg);
  // Dispatches one message as the event loop does.
  void DispatchLoopMessage(MSG& msg);
  // Processes every pending window event, then returns.
  void ProcessPendingEvents();

  // Event handlers.
  void FormCreate();
  void btnAvancarClick();
  void btnCancelarClick();
  void HttpReceiveData(std::int64_t total, std::int64_t received, bool& abort);

  // InstallerUi: what the installation run asks of the window.
  void ShowProgress() override;
  void ShowError(const std::string& text, const std::string& caption) override;
  void RequestEnd() override;

  bool IsRunning() const { return running_; }
  // True while the window draws in the system's colours (high contrast on).
  bool InHighContrast() const { return painter_.SystemColoursInUse().has_value(); }
  int Dpi() const { return dpi_; }

 private:
  // Given to the system through win32::SystemCallback.
  static LRESULT FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT PanelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  void CreateControls();
  void ApplyDpi(int dpi, const RECT* suggested);
  void ArrangeControls();
  SIZE WindowSizeForDpi(int dpi) const;
  void LoadLogo();
  void FitLogo();
  void DrawItem(const DRAWITEMSTRUCT& item);
  // Reads the high-contrast setting and the system colours again; repaints when they changed.
  void FollowContrastSetting();

  FormServices services_;
  FormPainter painter_;
  DownloadClient client_;  // RESTClient with its authenticator, request and response
  HWND hwnd_ = nullptr;
  HWND pnlClient_ = nullptr;
  HWND pnlHeader_ = nullptr;
  HWND imgLogo_ = nullptr;
  HWND lbl1_ = nullptr;
  HWND ProgressBar_ = nullptr;
  HWND Panel1_ = nullptr;
  HWND btnAvancar_ = nullptr;
  HWND btnCancelar_ = nullptr;
  int dpi_ = kDesignDpi;
  FormLayout layout_;
  bool barShown_ = false;
  HWND focusBeforeDeactivation_ = nullptr;
  bool destroying_ = false;
  win32::UniqueGdiObject font_;
  win32::UniqueGdiObject titleFont_;
  TaskbarProgress taskbar_;
  bool running_ = false;
  bool endRequested_ = false;
  bool quitSeen_ = false;
};

}  // namespace quorvex::window
