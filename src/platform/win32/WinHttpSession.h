#pragma once
// WinHTTP's sessions and their options: one per way out (direct, or one proxy with its bypass
// list), since a proxy given when a session is opened is honoured everywhere and one set on a
// handle later is not. Every session follows no redirect (the client does) and speaks TLS 1.2
// or later.

#include <windows.h>
#include <winhttp.h>

#include <map>
#include <string>
#include <utility>

#include "download/DownloadError.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WinHttpLibrary.h"

namespace quorvex::win32 {

struct WinHttpHandleTraits {
  using Pointer = HINTERNET;
  static Pointer Invalid() noexcept { return nullptr; }
  // A handle exists only once the library has loaded.
  static void Close(Pointer h) noexcept { WinHttp().CloseHandle(h); }
};
using UniqueInternet = UniqueHandle<WinHttpHandleTraits>;

[[noreturn]] inline void Fail(DownloadFailure kind, DWORD code) { throw WinHttpFailure(kind, code); }
[[noreturn]] inline void FailWithLastError(DownloadFailure kind) { Fail(kind, ::GetLastError()); }
// Sets an option of a handle; a refusal fails the request being sent.
void SetDwordOption(HINTERNET handle, DWORD option, DWORD value);

class WinHttpSessions {
 public:
  // The session for a proxy ("host:port", empty: direct) and its bypass list, opened at the
  // first use. Throws DownloadError (kSending) when WinHTTP refuses it.
  HINTERNET For(const std::wstring& proxy, const std::wstring& bypass);

 private:
  std::map<std::pair<std::wstring, std::wstring>, UniqueInternet> sessions_;
};

}  // namespace quorvex::win32
