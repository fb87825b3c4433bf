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

WinHttpFunctions Load() {
  SystemFunctions library(L"winhttp.dll");
  WinHttpFunctions f;
  library
      .Resolve(f.Open, "WinHttpOpen")
      .Resolve(f.CloseHandle, "WinHttpCloseHandle")
      .Resolve(f.Connect, "WinHttpConnect")
      .Resolve(f.OpenRequest, "WinHttpOpenRequest")
      .Resolve(f.SetOption, "WinHttpSetOption")
      .Resolve(f.QueryOption, "WinHttpQueryOption")
      .Resolve(f.SetTimeouts, "WinHttpSetTimeouts")
      .Resolve(f.SetStatusCallback, "WinHttpSetStatusCallback")
      .Resolve(f.AddRequestHeaders, "WinHttpAddRequestHeaders")
      .Resolve(f.SendRequest, "WinHttpSendRequest")
      .Resolve(f.ReceiveResponse, "WinHttpReceiveResponse")
      .Resolve(f.QueryHeaders, "WinHttpQueryHeaders")
      .Resolve(f.QueryDataAvailable, "WinHttpQueryDataAvailable")
      .Resolve(f.ReadData, "WinHttpReadData")
      .Resolve(f.CrackUrl, "WinHttpCrackUrl")
      .Resolve(f.GetProxyForUrl, "WinHttpGetProxyForUrl")
      .Resolve(f.GetIEProxyConfigForCurrentUser, "WinHttpGetIEProxyConfigForCurrentUser")
      .Resolve(f.QueryAuthSchemes, "WinHttpQueryAuthSchemes")
      .Resolve(f.SetCredentials, "WinHttpSetCredentials");
  // Without the library nothing can be sent; the text says which part of it was missing.
  if (!library.complete()) {
    throw PlatformFailure(DownloadFailure::kSending, library.error(),
                          WinHttpErrorText(library.error()) + " (" + library.missing() + ")");
  }
  g_module = library.module();  // stays loaded for the rest of the process
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
