#pragma once
// The proxy of a request: the current user's settings, resolved for each request URL.

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

#include "download/ProxyLogon.h"

namespace quorvex::win32 {

// The current user's proxy settings, as read once per process.
struct UserProxySettings {
  bool readable = false;       // false: the settings could not be read
  bool autoDetect = false;
  std::wstring autoConfigUrl;  // empty: no configuration script
  std::wstring proxy;          // static proxy list, empty: none
  std::wstring bypass;         // its bypass list
};

// How a request URL's proxy is found, in the order the steps are tried; the first step that
// yields a proxy decides. Pure, so that the order is testable without touching the settings.
enum class ProxyStep { ConfigScript, AutoDetect, StaticProxy };
std::vector<ProxyStep> ProxyPlan(const UserProxySettings& settings);

// Reads the settings on the first call; later calls return the same values.
const UserProxySettings& CurrentUserProxySettings();

struct ProxyChoice {
  std::wstring proxy;   // the proxy list as the step gave it (see ProxyList.h); empty: direct
  std::wstring bypass;
  std::wstring source;  // where the proxy came from, for the run log
  ProxySource trust = ProxySource::kManual;  // how far it is trusted with the user's logon
};

// The proxy the user's settings give for url; session runs the automatic steps.
ProxyChoice ResolveUserProxy(HINTERNET session, const std::wstring& url);

}  // namespace quorvex::win32
