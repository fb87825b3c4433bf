#include "platform/win32/SspiLogon.h"

#define SECURITY_WIN32
#include <security.h>

#include <cstdio>
#include <vector>

#include "platform/win32/SystemLibrary.h"
#include "platform/win32/TextConversion.h"

namespace quorvex::win32 {
namespace {

std::string Status(const char* step, SECURITY_STATUS status) {
  char text[96];
  std::snprintf(text, sizeof text, "%s failed with status 0x%08lX", step, static_cast<unsigned long>(status));
  return text;
}

// The security functions, resolved once; null when the library or its table is missing.
PSecurityFunctionTableW Functions() {
  static const PSecurityFunctionTableW table = []() -> PSecurityFunctionTableW {
    INIT_SECURITY_INTERFACE_W init = nullptr;
    return SystemFunctions(L"secur32.dll").Resolve(init, "InitSecurityInterfaceW").complete() ? init() : nullptr;
  }();
  return table;
}

}  // namespace

std::optional<std::string> NegotiateToken(const std::wstring& servicePrincipal, std::string& why) {
  const PSecurityFunctionTableW sspi = Functions();
  if (!sspi) {
    why = "the system's security packages (secur32.dll) are missing";
    return std::nullopt;
  }
  wchar_t package[] = L"Negotiate";
  CredHandle credentials{};
  TimeStamp expiry{};
  // No identity: the logged-on user's own.
  SECURITY_STATUS status = sspi->AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, nullptr,
                                                          nullptr, nullptr, &credentials, &expiry);
  if (status != SEC_E_OK) {
    why = Status("AcquireCredentialsHandle(Negotiate)", status);
    return std::nullopt;
  }
  std::vector<unsigned char> token(48 * 1024);
  SecBuffer out{static_cast<unsigned long>(token.size()), SECBUFFER_TOKEN, token.data()};
  SecBufferDesc outDescription{SECBUFFER_VERSION, 1, &out};
  CtxtHandle context{};
  ULONG attributes = 0;
  std::wstring target = servicePrincipal;
  status = sspi->InitializeSecurityContextW(&credentials, nullptr, target.data(), ISC_REQ_CONNECTION, 0,
                                            SECURITY_NATIVE_DREP, nullptr, 0, &context, &outDescription, &attributes,
                                            &expiry);
  sspi->FreeCredentialsHandle(&credentials);
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
    why = Status("InitializeSecurityContext(Negotiate)", status) + " for " + Narrow(servicePrincipal);
    return std::nullopt;
  }
  sspi->DeleteSecurityContext(&context);
  return std::string(reinterpret_cast<const char*>(token.data()), out.cbBuffer);
}

}  // namespace quorvex::win32
