#include "platform/win32/WinHttpProxy.h"

#include "platform/win32/WinHttpLibrary.h"

namespace quorvex::win32 {
namespace {

// Frees the strings WinHTTP hands out with GlobalAlloc.
struct GlobalString {
  wchar_t* text = nullptr;
  GlobalString() = default;
  GlobalString(const GlobalString&) = delete;
  GlobalString& operator=(const GlobalString&) = delete;
  ~GlobalString() {
    if (text) ::GlobalFree(text);
  }
};

// Runs one automatic step; true when it decided (a proxy, or explicitly none).
bool AskForProxy(HINTERNET session, const std::wstring& url, const WINHTTP_AUTOPROXY_OPTIONS& options,
                 ProxyChoice& out) {
  WINHTTP_AUTOPROXY_OPTIONS copy = options;
  WINHTTP_PROXY_INFO info{};
  if (!WinHttp().GetProxyForUrl(session, url.c_str(), &copy, &info)) return false;
  GlobalString proxy, bypass;
  proxy.text = info.lpszProxy;
  bypass.text = info.lpszProxyBypass;
  out = {};
  if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy.text && *proxy.text) {
    out.proxy = proxy.text;
    if (bypass.text) out.bypass = bypass.text;
  }
  return true;
}

}  // namespace

std::vector<ProxyStep> ProxyPlan(const UserProxySettings& settings) {
  if (!settings.readable) return {ProxyStep::AutoDetect};
  std::vector<ProxyStep> plan;
  if (!settings.autoConfigUrl.empty()) plan.push_back(ProxyStep::ConfigScript);
  if (settings.autoDetect) plan.push_back(ProxyStep::AutoDetect);
  if (!settings.proxy.empty()) plan.push_back(ProxyStep::StaticProxy);
  return plan;
}

const UserProxySettings& CurrentUserProxySettings() {
  static const UserProxySettings settings = [] {
    UserProxySettings read;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttp().GetIEProxyConfigForCurrentUser(&config)) return read;
    read.readable = true;
    read.autoDetect = config.fAutoDetect != FALSE;
    GlobalString autoConfigUrl, proxy, bypass;
    autoConfigUrl.text = config.lpszAutoConfigUrl;
    proxy.text = config.lpszProxy;
    bypass.text = config.lpszProxyBypass;
    if (autoConfigUrl.text) read.autoConfigUrl = autoConfigUrl.text;
    if (proxy.text) read.proxy = proxy.text;
    if (bypass.text) read.bypass = bypass.text;
    return read;
  }();
  return settings;
}

ProxyChoice ResolveUserProxy(HINTERNET session, const std::wstring& url) {
  const UserProxySettings& settings = CurrentUserProxySettings();
  ProxyChoice choice;
  for (ProxyStep step : ProxyPlan(settings)) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    switch (step) {
      case ProxyStep::ConfigScript:
        // The script's address is the settings' own: its server may have the user's logon.
        options.fAutoLogonIfChallenged = TRUE;
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = settings.autoConfigUrl.c_str();
        if (AskForProxy(session, url, options, choice)) {
          choice.source = L"configuration script";
          choice.trust = ProxySource::kConfiguredScript;
          return choice;
        }
        break;
      case ProxyStep::AutoDetect:
        // Whoever answers the detection on the local network serves the script: no logon.
        options.fAutoLogonIfChallenged = FALSE;
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        if (AskForProxy(session, url, options, choice)) {
          choice.source = L"automatic detection";
          choice.trust = ProxySource::kDetected;
          return choice;
        }
        break;
      case ProxyStep::StaticProxy:
        // WinHTTP applies the bypass list itself.
        return {settings.proxy, settings.bypass, L"manual settings", ProxySource::kManual};
    }
  }
  return {};
}

}  // namespace quorvex::win32
