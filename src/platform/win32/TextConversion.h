#pragma once
// UTF-8 inside, UTF-16 only at the Win32 call.

#include <windows.h>

#include <string>
#include <string_view>

namespace quorvex::win32 {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);
// The system's text for an error code, without the trailing line break.
std::string SystemErrorText(DWORD code, HMODULE messageModule = nullptr);
// "error 5 (Access denied.)": the code and the system's text, as failures quote them.
std::string SystemErrorReason(DWORD code);

}  // namespace quorvex::win32
