#pragma once
// WinHTTP, loaded from System32 by full search rule rather than imported: a static import is
// resolved before the program runs and searches the program's own folder first, where a
// downloaded installer usually sits beside whatever else was downloaded.

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "download/DownloadError.h"

namespace quorvex::win32 {

// The WinHTTP functions the program uses, resolved once.
struct WinHttpFunctions {
  decltype(&::WinHttpOpen) Open = nullptr;
  decltype(&::WinHttpCloseHandle) CloseHandle = nullptr;
  decltype(&::WinHttpConnect) Connect = nullptr;
  decltype(&::WinHttpOpenRequest) OpenRequest = nullptr;
  decltype(&::WinHttpSetOption) SetOption = nullptr;
  decltype(&::WinHttpQueryOption) QueryOption = nullptr;
  decltype(&::WinHttpSetTimeouts) SetTimeouts = nullptr;
  decltype(&::WinHttpSetStatusCallback) SetStatusCallback = nullptr;
  decltype(&::WinHttpAddRequestHeaders) AddRequestHeaders = nullptr;
  decltype(&::WinHttpSendRequest) SendRequest = nullptr;
  decltype(&::WinHttpReceiveResponse) ReceiveResponse = nullptr;
  decltype(&::WinHttpQueryHeaders) QueryHeaders = nullptr;
  decltype(&::WinHttpQueryDataAvailable) QueryDataAvailable = nullptr;
  decltype(&::WinHttpReadData) ReadData = nullptr;
  decltype(&::WinHttpCrackUrl) CrackUrl = nullptr;
  decltype(&::WinHttpGetProxyForUrl) GetProxyForUrl = nullptr;
  decltype(&::WinHttpGetIEProxyConfigForCurrentUser) GetIEProxyConfigForCurrentUser = nullptr;
  decltype(&::WinHttpQueryAuthSchemes) QueryAuthSchemes = nullptr;
  decltype(&::WinHttpSetCredentials) SetCredentials = nullptr;
};

// Loads winhttp.dll from the system folder on the first call. Throws DownloadError
// (kSending with the system's code) when it or one of its functions is missing.
const WinHttpFunctions& WinHttp();

// The system's text for a WinHTTP, Winsock or Win32 error code, or a text of our own where
// the system has none; never empty.
std::string WinHttpErrorText(DWORD code);

// The transport's failure for a code, e.g. "Error sending data: (12029) <its text>".
DownloadError WinHttpFailure(DownloadFailure kind, DWORD code);

}  // namespace quorvex::win32
