#include "platform/win32/WinHttpLibrary.h"

#include <string>

#include "download/Transport.h"
#include "platform/win32/SystemLibrary.h"
#include "platform/win32/TextConversion.h"

namespace quorvex::win32 {
namespace {

HMODULE g_module = nullptr;

template <typename Function>
void Resolve(HMODULE module, Function& slot, const char* name) {
  slot = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  if (!slot) {
    const DWORD error = ::GetLastError();
    throw TransportError("Error sending data: (" + std::to_string(error) + ") " + SystemErrorText(error) +
                         " (winhttp.dll has no " + name + ")");
  }
}

WinHttpFunctions Load() {
  const HMODULE module = LoadSystemLibrary(L"winhttp.dll");
  if (!module) {
    const DWORD error = ::GetLastError();
    throw TransportError("Error sending data: (" + std::to_string(error) + ") " + SystemErrorText(error) +
                         " (winhttp.dll could not be loaded from the system folder)");
  }
  WinHttpFunctions f;
  f.module = module;
  Resolve(module, f.Open, "WinHttpOpen");
  Resolve(module, f.CloseHandle, "WinHttpCloseHandle");
  Resolve(module, f.Connect, "WinHttpConnect");
  Resolve(module, f.OpenRequest, "WinHttpOpenRequest");
  Resolve(module, f.SetOption, "WinHttpSetOption");
  Resolve(module, f.SetTimeouts, "WinHttpSetTimeouts");
  Resolve(module, f.SetStatusCallback, "WinHttpSetStatusCallback");
  Resolve(module, f.AddRequestHeaders, "WinHttpAddRequestHeaders");
  Resolve(module, f.SendRequest, "WinHttpSendRequest");
  Resolve(module, f.ReceiveResponse, "WinHttpReceiveResponse");
  Resolve(module, f.QueryHeaders, "WinHttpQueryHeaders");
  Resolve(module, f.QueryDataAvailable, "WinHttpQueryDataAvailable");
  Resolve(module, f.ReadData, "WinHttpReadData");
  Resolve(module, f.CrackUrl, "WinHttpCrackUrl");
  Resolve(module, f.GetProxyForUrl, "WinHttpGetProxyForUrl");
  Resolve(module, f.GetIEProxyConfigForCurrentUser, "WinHttpGetIEProxyConfigForCurrentUser");
  g_module = module;  // stays loaded for the rest of the process
  return f;
}

}  // namespace

const WinHttpFunctions& WinHttp() {
  static const WinHttpFunctions functions = Load();
  return functions;
}

HMODULE LoadedWinHttpModule() { return g_module; }

}  // namespace quorvex::win32
