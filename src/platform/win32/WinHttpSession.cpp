#include "platform/win32/WinHttpSession.h"

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

namespace quorvex::win32 {
namespace {

// TLS 1.2 and 1.3; a WinHTTP that does not know 1.3 refuses the pair, and gets 1.2 alone.
void RequireModernTls(HINTERNET session) {
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (WinHttp().SetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) return;
  if (::GetLastError() != ERROR_INVALID_PARAMETER) FailWithLastError(DownloadFailure::kSending);
  SetDwordOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2);
}

}  // namespace

void SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
  if (!WinHttp().SetOption(handle, option, &value, sizeof value)) FailWithLastError(DownloadFailure::kSending);
}

HINTERNET WinHttpSessions::For(const std::wstring& proxy, const std::wstring& bypass) {
  const auto key = std::make_pair(proxy, bypass);
  UniqueInternet& session = sessions_[key];
  if (session) return session.get();
  const WinHttpFunctions& api = WinHttp();
  // No agent name here: the client sends its own User-Agent header.
  if (proxy.empty()) {
    session.reset(api.Open(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  } else {
    session.reset(api.Open(nullptr, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(),
                           bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : bypass.c_str(), 0));
  }
  if (!session) {
    const DWORD error = ::GetLastError();
    sessions_.erase(key);
    Fail(DownloadFailure::kSending, error);
  }
  try {
    SetDwordOption(session.get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER);
    RequireModernTls(session.get());
  } catch (...) {
    sessions_.erase(key);
    throw;
  }
  return session.get();
}

}  // namespace quorvex::win32
