#include "platform/win32/WinHttpLibrary.h"

#include <string>

#include "platform/win32/SystemLibrary.h"
#include "platform/win32/TextConversion.h"

namespace quorvex::win32 {
namespace {

HMODULE g_module = nullptr;  // once loaded, for its message texts

// Some systems ship WinHTTP without its message texts, and Winsock codes come through
// unchanged; the usual ones are kept here so that a failure still says what happened.
std::string FallbackErrorText(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT: return "The operation timed out";
    case ERROR_WINHTTP_INTERNAL_ERROR: return "An internal error occurred in the HTTP service";
    case ERROR_WINHTTP_INVALID_URL: return "The URL is invalid";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return "The URL does not use a recognized scheme";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "The server name or address could not be resolved";
    case ERROR_WINHTTP_OPERATION_CANCELLED: return "The operation was canceled";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "A connection with the server could not be established";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "The connection with the server was terminated abnormally";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "The server returned an invalid or unrecognized response";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return "The date in the certificate is invalid or has expired";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return "The host name in the certificate is invalid or does not match";
    case ERROR_WINHTTP_SECURE_INVALID_CA:
      return "A certificate chain processed, but terminated in a root certificate which is not trusted";
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE: return "The certificate is not valid for the requested usage";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "An error occurred in the secure channel support";
    case ERROR_WINHTTP_SECURE_FAILURE: return "A security error occurred";
    case ERROR_WINHTTP_SECURE_INVALID_CERT: return "The certificate is invalid";
    case ERROR_WINHTTP_RESEND_REQUEST: return "The request must be resent";
    case WSAETIMEDOUT: return "The operation timed out";
    case WSAECONNREFUSED: return "The connection was refused";
    case WSAECONNRESET: return "The connection was reset by the remote host";
    case WSAECONNABORTED: return "The connection was aborted";
    case WSAENETUNREACH: return "The network is unreachable";
    case WSAEHOSTUNREACH: return "The host is unreachable";
    default: return "The system has no text for this error";
  }
}

// Without the library nothing can be sent; the text says which part of it was missing.
[[noreturn]] void FailToLoad(const std::string& what) {
  const DWORD error = ::GetLastError();
  throw PlatformFailure(DownloadFailure::kSending, error, WinHttpErrorText(error) + " (" + what + ")");
}

template <typename Function>
void Resolve(HMODULE module, Function& slot, const char* name) {
  slot = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  if (!slot) FailToLoad(std::string("winhttp.dll has no ") + name);
}

WinHttpFunctions Load() {
  const HMODULE module = LoadSystemLibrary(L"winhttp.dll");
  if (!module) FailToLoad("winhttp.dll could not be loaded from the system folder");
  WinHttpFunctions f;
  Resolve(module, f.Open, "WinHttpOpen");
  Resolve(module, f.CloseHandle, "WinHttpCloseHandle");
  Resolve(module, f.Connect, "WinHttpConnect");
  Resolve(module, f.OpenRequest, "WinHttpOpenRequest");
  Resolve(module, f.SetOption, "WinHttpSetOption");
  Resolve(module, f.QueryOption, "WinHttpQueryOption");
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
  Resolve(module, f.QueryAuthSchemes, "WinHttpQueryAuthSchemes");
  Resolve(module, f.SetCredentials, "WinHttpSetCredentials");
  g_module = module;  // stays loaded for the rest of the process
  return f;
}

}  // namespace

const WinHttpFunctions& WinHttp() {
  static const WinHttpFunctions functions = Load();
  return functions;
}

std::string WinHttpErrorText(DWORD code) {
  std::string text;
  if (g_module && code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST) text = SystemErrorText(code, g_module);
  if (text.empty()) text = SystemErrorText(code);
  if (text.empty()) text = FallbackErrorText(code);
  return text;
}

DownloadError WinHttpFailure(DownloadFailure kind, DWORD code) {
  return PlatformFailure(kind, code, WinHttpErrorText(code));
}

}  // namespace quorvex::win32
