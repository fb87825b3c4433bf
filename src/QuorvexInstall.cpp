// QuorvexInstall: the program's entry and start-up.

#include <windows.h>
#include <commctrl.h>

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "download/RunLog.h"
#include "install/FileRunLog.h"
#include "install/Installation.h"
#include "platform/win32/CngSignatureCrypto.h"
#include "platform/win32/CommonControlsLibrary.h"
#include "platform/win32/ComPtr.h"
#include "platform/win32/SystemCallback.h"
#include "platform/win32/SystemLibrary.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/Win32FileSystem.h"
#include "platform/win32/Win32Shell.h"
#include "platform/win32/WinHttpTransport.h"
#include "platform/win32/Win32LogStore.h"
#include "window/DpiSupport.h"
#include "window/FormLayout.h"
#include "window/InstallerKeys.h"
#include "window/LogoLoader.h"
#include "window/StartRecord.h"
#include "window/StyleResource.h"
#include "window/TestHooks.h"
#include "window/WindowError.h"
#include "window/uQuorvexInstall.h"

#ifndef QUORVEX_API_BASE
#error "QUORVEX_API_BASE must name the download service's API base"
#endif
#ifndef QUORVEX_VERSION_NAME
#error "QUORVEX_VERSION_NAME must name the release that Install installs"
#endif

namespace {

constexpr const char* kStyleName = "Tablet Light";
constexpr const wchar_t* kApplicationTitle = L"QuorvexInstall";

// WinHTTP is loaded and its session opened at the first request, for a run, rather than
// before the window shows.
class TransportOnFirstUse final : public quorvex::Transport {
 public:
  std::unique_ptr<quorvex::HttpExchange> Send(const quorvex::TransportRequest& request) override {
    if (!transport_) transport_.emplace();
    return transport_->Send(request);
  }

 private:
  std::optional<quorvex::win32::WinHttpTransport> transport_;
};

// The error dialog for a missing style: error icon and a single Close button.
void ReportMissingStyle(const std::string& styleName) {
  const std::wstring text = quorvex::win32::Widen("Style '" + styleName + "' not found");
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
  config.dwCommonButtons = TDCBF_CLOSE_BUTTON;
  config.pszWindowTitle = kApplicationTitle;
  config.pszMainIcon = TD_ERROR_ICON;
  config.pszContent = text.c_str();
  const auto taskDialog = quorvex::win32::CommonControls().TaskDialogIndirect;
  if (taskDialog && SUCCEEDED(taskDialog(&config, nullptr, nullptr, nullptr))) return;
  // Without version 6 common controls there is no task dialog; the plain box says the same.
  ::MessageBoxW(nullptr, text.c_str(), kApplicationTitle, MB_OK | MB_ICONERROR);
}

// A failure the program cannot go on from, outside a run: nothing was downloaded, so the
// run's download message would mislead. The user gets a short message in the installer's
// language; the English detail goes to the debugger's output.
constexpr const wchar_t* kStartUpErrorText =
    L"N\u00e3o foi poss\u00edvel abrir o instalador.\rEntre em contato com o Suporte T\u00e9cnico.";

int FailStartUp(std::string_view detail) {
  quorvex::window::LogDetail(detail);
  quorvex::window::LogDetail("installer ends: it could not start");
  ::MessageBoxW(nullptr, kStartUpErrorText, quorvex::win32::Widen(quorvex::kDownloadErrorCaption).c_str(),
                MB_OK | MB_ICONERROR);
  return 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Before anything loads a library: an installer is run from a downloads folder, where a
  // DLL named like a system one may lie beside it.
  quorvex::win32::RestrictDllSearchToSystem();
  // The logo decodes meanwhile, on a thread of its own (see LogoLoader.h), for the size it
  // has at the system's DPI.
  const quorvex::window::Box logoBox =
      quorvex::window::ComputeFormLayout(quorvex::window::SystemDpi(), false).logo;
  quorvex::window::LogoLoader logo(instance, logoBox.width, logoBox.height);
  // The support log, %TEMP%\QuorvexInstall.log: every run leaves its lines there, and a log
  // that cannot be written changes nothing.
  quorvex::win32::Win32LogStore logStore;
  quorvex::FileRunLog runLog(logStore);
  quorvex::window::SetDetailLog(&runLog);
  struct DetailLogScope {
    ~DetailLogScope() { quorvex::window::SetDetailLog(nullptr); }  // the log ends before the program
  } detailLogScope;
  quorvex::LogEvent(&runLog, [&] {
    return quorvex::window::DescribeStart(instance, QUORVEX_VERSION_NAME, QUORVEX_API_BASE);
  });
  // COM for this, the window's only thread: the shell link code needs an apartment.
  quorvex::win32::ComApartment apartment(COINIT_APARTMENTTHREADED);
  // The common controls only now, with the search confined (see CommonControlsLibrary.h).
  try {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    quorvex::win32::CommonControls().InitCommonControlsEx(&controls);
  } catch (const std::exception& error) {
    return FailStartUp(error.what());
  }

  try {
    std::optional<quorvex::window::VisualStyle> style = quorvex::window::FindVisualStyle(instance, kStyleName);
    if (!style) ReportMissingStyle(kStyleName);

    TransportOnFirstUse transport;
    quorvex::win32::Win32FileSystem files{std::string(quorvex::kInstallationFolder)};
    quorvex::win32::Win32Shell shell;
    quorvex::win32::CngSignatureCrypto crypto;
    const quorvex::PackageTrust trust{quorvex::window::InstallerPackageKeys(), &crypto,
                                      quorvex::window::InstallerPackageThreshold()};
    quorvex::LogEvent(&runLog, [&] {
      return trust.keys.empty() ? std::string("package signatures: not checked (built without package keys)")
                                : "package signatures: required, keys " + quorvex::KeyIdList(trust.keys) + ", " +
                                      std::to_string(trust.threshold) + " of them needed";
    });
    // The main window is the top-level window of the program, so it owns the taskbar button.
    quorvex::window::TFrmQuorvexInstall form(
        quorvex::window::FormServices{instance, transport, files, shell, QUORVEX_API_BASE, QUORVEX_VERSION_NAME,
                                      quorvex::DownloadAndInstall, &runLog, trust, &logo},
        std::move(style));
    form.Show();

    MSG msg;
    for (;;) {
      quorvex::window::BeforeWaitingForEvents(form.Handle());
      if (::GetMessageW(&msg, nullptr, 0, 0) <= 0) break;
      form.DispatchLoopMessage(msg);
      // Outside a run a callback's failure (a paint, say) has painted nothing more; the window
      // goes on and the failure is recorded.
      if (const std::exception_ptr failure = quorvex::win32::TakeCallbackFailure()) quorvex::window::LogFailure(failure);
    }
    quorvex::LogEvent(&runLog, [] { return std::string("installer ends"); });
    return 0;
  } catch (const std::exception& error) {
    return FailStartUp(error.what());
  } catch (...) {
    return FailStartUp("a failure that is not a standard exception");
  }
}
