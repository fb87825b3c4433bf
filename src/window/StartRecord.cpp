#include "window/StartRecord.h"

#include <cstdint>
#include <cstring>

#include "download/Redaction.h"
#include "platform/win32/TextConversion.h"
#include "window/ModuleResource.h"

namespace quorvex::window {
namespace {

}  // namespace

std::string InstallerFileVersion(HMODULE module) {
  // VS_FIXEDFILEINFO inside the version resource, found by its signature; reading it through
  // the version library would load a DLL that is not a KnownDLL.
  const auto bytes = ResourceBytes(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */);
  constexpr std::uint32_t kSignature = 0xFEEF04BD;
  for (std::size_t at = 0; at + 16 <= bytes.size(); at += 4) {
    std::uint32_t words[4];
    std::memcpy(words, bytes.data() + at, sizeof words);
    if (words[0] != kSignature) continue;
    return std::to_string(words[2] >> 16) + "." + std::to_string(words[2] & 0xFFFF) + "." +
           std::to_string(words[3] >> 16) + "." + std::to_string(words[3] & 0xFFFF);
  }
  return "unknown";
}

namespace {

const char* ArchitectureName(WORD architecture) {
  switch (architecture) {
    case PROCESSOR_ARCHITECTURE_INTEL: return "x86";
    case PROCESSOR_ARCHITECTURE_AMD64: return "x64";
    case PROCESSOR_ARCHITECTURE_ARM64: return "arm64";
    case PROCESSOR_ARCHITECTURE_ARM: return "arm";
    default: return "other";
  }
}

// The system's own numbers: GetVersionEx answers with what the manifest declares supported.
std::string WindowsVersion() {
  struct OsVersion {
    ULONG size, major, minor, build, platform;
    WCHAR servicePack[128];
  } version{};
  version.size = sizeof version;
  using GetVersion = LONG(NTAPI*)(OsVersion*);
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto get = ntdll ? reinterpret_cast<GetVersion>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")))
                         : nullptr;
  if (!get || get(&version) != 0) return "Windows of unknown version";
  std::string text = "Windows " + std::to_string(version.major) + "." + std::to_string(version.minor) + " build " +
                     std::to_string(version.build);
  if (ntdll && ::GetProcAddress(ntdll, "wine_get_version")) text += " (Wine)";
  return text;
}

}  // namespace

std::string DescribeStart(HMODULE module, const std::string& versionName, const std::string& apiBase) {
  SYSTEM_INFO native{}, process{};
  ::GetNativeSystemInfo(&native);
  ::GetSystemInfo(&process);
  BOOL wow64 = FALSE;
  ::IsWow64Process(::GetCurrentProcess(), &wow64);
  wchar_t language[LOCALE_NAME_MAX_LENGTH] = L"";
  if (!::LCIDToLocaleName(MAKELCID(::GetUserDefaultUILanguage(), SORT_DEFAULT), language, LOCALE_NAME_MAX_LENGTH, 0))
    language[0] = L'\0';
  return "installer starts: release " + versionName + ", file version " + InstallerFileVersion(module) + ", service " +
         RedactUrl(apiBase) + "; " + WindowsVersion() + ", native " + ArchitectureName(native.wProcessorArchitecture) +
         ", process " + ArchitectureName(process.wProcessorArchitecture) + (wow64 ? " (WoW64)" : "") +
         ", user interface language " + (language[0] ? win32::Narrow(language) : std::string("unknown"));
}

}  // namespace quorvex::window
