#pragma once
// The shell port on Windows: SHGetFolderPathW, the shell link object through IShellLinkW and
// IPersistFile, ShellExecuteW and GetNativeSystemInfo. COM must be initialised on the calling
// thread (the program does it at start-up; tests through ComApartment).

#include "install/Shell.h"

namespace quorvex::win32 {

class Win32Shell : public Shell {
 public:
  std::string SpecialFolderPath(int csidl) override;
  std::unique_ptr<ShellLink> CreateLink() override;
  std::uint32_t Execute(const std::string& verb, const std::string& file, const std::string& parameters,
               const std::string& directory, int showCommand) override;
  ProcessorArchitecture NativeArchitecture() override;
};

}  // namespace quorvex::win32
