#include "platform/win32/Win32Shell.h"

#include "platform/win32/ComPtr.h"
#include "platform/win32/TextConversion.h"

#include <windows.h>
#include <objidl.h>
#include <shlobj.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace quorvex::win32 {
namespace {

std::string HresultText(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return std::string(code) + " " + SystemErrorText(static_cast<DWORD>(hr));
}

// Empty text becomes a null pointer: "no parameters", "inherit the current directory".
const wchar_t* OptionalText(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

class Win32ShellLink : public ShellLink {
 public:
  explicit Win32ShellLink(ComPtr<IShellLinkW> link) : link_(std::move(link)) {}

  bool Load(const std::string& linkPath) override {
    const ComPtr<IPersistFile> file = link_.As<IPersistFile>(IID_IPersistFile);
    return file && SUCCEEDED(file->Load(Widen(linkPath).c_str(), STGM_READ));
  }

  std::string RawTarget() override {
    wchar_t target[MAX_PATH] = {};
    if (FAILED(link_->GetPath(target, MAX_PATH, nullptr, 0))) return {};
    target[MAX_PATH - 1] = L'\0';
    return Narrow(target);
  }

  // The shell's answers are not looked at: a field that cannot be set shows up in the saved link.
  void SetFields(const ShellLinkFields& fields) override {
    link_->SetDescription(Widen(fields.description).c_str());
    link_->SetPath(Widen(fields.targetPath).c_str());
    link_->SetArguments(Widen(fields.arguments).c_str());
    link_->SetWorkingDirectory(Widen(fields.workingDirectory).c_str());
  }

  bool SaveAs(const std::string& linkPath) override {
    const ComPtr<IPersistFile> file = link_.As<IPersistFile>(IID_IPersistFile);
    // fRemember FALSE: the saved file does not become the object's current file.
    return file && SUCCEEDED(file->Save(Widen(linkPath).c_str(), FALSE));
  }

 private:
  ComPtr<IShellLinkW> link_;
};

}  // namespace

std::string Win32Shell::SpecialFolderPath(int csidl) {
  wchar_t path[MAX_PATH + 1] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return {};
  path[MAX_PATH] = L'\0';
  return Narrow(path);
}

std::unique_ptr<ShellLink> Win32Shell::CreateLink() {
  ComPtr<IShellLinkW> link;
  const HRESULT hr =
      ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.putVoid());
  if (FAILED(hr) || !link) {
    throw ShellError(ShellFailure::kCreateLinkObject, static_cast<std::uint32_t>(hr), HresultText(hr));
  }
  return std::make_unique<Win32ShellLink>(std::move(link));
}

std::uint32_t Win32Shell::Execute(const std::string& verb, const std::string& file, const std::string& parameters,
                         const std::string& directory, int showCommand) {
  const std::wstring wideVerb = Widen(verb);
  const std::wstring wideFile = Widen(file);
  const std::wstring wideParameters = Widen(parameters);
  const std::wstring wideDirectory = Widen(directory);
  const HINSTANCE answer = ::ShellExecuteW(nullptr, OptionalText(wideVerb), wideFile.c_str(),
                                          OptionalText(wideParameters), OptionalText(wideDirectory), showCommand);
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(answer));
}

ProcessorArchitecture Win32Shell::NativeArchitecture() {
  SYSTEM_INFO info = {};
  ::GetNativeSystemInfo(&info);
  switch (info.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
      return ProcessorArchitecture::X64;
    case PROCESSOR_ARCHITECTURE_INTEL:
      return ProcessorArchitecture::X86;
    case PROCESSOR_ARCHITECTURE_ARM64:
      return ProcessorArchitecture::Arm64;
    default:
      return ProcessorArchitecture::Other;
  }
}

}  // namespace quorvex::win32
