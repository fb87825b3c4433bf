#pragma once
// The first line of every run log: which installer, configured for what, on which system, so
// that support can read a log without asking the user anything.

#include <windows.h>

#include <string>

namespace quorvex::window {

// "installer starts: release R, file version a.b.c.d, service B; Windows 10.0 build 19045,
// native x64, process x86 (WoW64), user interface language pt-BR".
// The numbers of the program's version resource, "2.4.0.0"; "unknown" without one.
std::string InstallerFileVersion(HMODULE module);

std::string DescribeStart(HMODULE module, const std::string& versionName, const std::string& apiBase);

}  // namespace quorvex::window
