#pragma once
// What the installation run asks of the window.

#include <string>

namespace quorvex {

class InstallerUi {
 public:
  virtual ~InstallerUi() = default;
  // Makes the progress display visible at position 0 of a maximum of 100.
  virtual void ShowProgress() = 0;
  // A modal error box owned by the application, with the error icon and OK.
  virtual void ShowError(const std::string& text, const std::string& caption) = 0;
  // Asks the program to end once control returns to the event loop.
  virtual void RequestEnd() = 0;
};

}  // namespace quorvex
