#pragma once
// The window's own failures: which step of making or drawing the window failed, with the
// system's code for it, so that callers act on the kind and the user never reads the text.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <exception>
#include <string_view>

namespace quorvex {
class RunLog;
}

namespace quorvex::window {

enum class WindowFailure {
  kRegisterClass,  // RegisterClassExW; code: GetLastError
  kCreateWindow,   // CreateWindowExW of the form; code: GetLastError
  kCreateControl,  // CreateWindowExW of one of its controls; code: GetLastError
  kCreateFont,     // CreateFontW; code: GetLastError (GDI often leaves it at 0)
  kLoadResource,   // a resource the window shows (the logo); code: GetLastError
  kDecodeImage,    // the system's imaging codecs; code: the HRESULT, 0 for a picture they accept but we do not
};

class WindowError : public std::runtime_error {
 public:
  WindowError(WindowFailure kind, std::uint32_t code, const std::string& message)
      : std::runtime_error(message), kind_(kind), code_(code) {}

  WindowFailure kind() const noexcept { return kind_; }
  std::uint32_t code() const noexcept { return code_; }

 private:
  WindowFailure kind_;
  std::uint32_t code_;
};

// The failure of the Win32 call just made: reads GetLastError, and the message says what was
// attempted followed by the code and the system's text for it.
WindowError LastWindowError(WindowFailure kind, std::string_view attempted);

// Details that the user is not shown: to the debugger's output, and to the run log once
// SetDetailLog has named one.
void LogDetail(std::string_view text);
void SetDetailLog(RunLog* log) noexcept;
// The same for a failure caught as an exception_ptr (its what(), or that it had none).
void LogFailure(const std::exception_ptr& failure) noexcept;

}  // namespace quorvex::window
