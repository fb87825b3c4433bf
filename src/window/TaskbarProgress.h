#pragma once
// The run's progress on the window's taskbar button (ITaskbarList3), where the shell offers
// it. Nothing depends on it: without a taskbar that speaks the interface it does nothing.

#include <windows.h>
#include <shobjidl.h>

#include "platform/win32/ComPtr.h"

namespace quorvex::window {

class TaskbarProgress {
 public:
  TaskbarProgress();
  TaskbarProgress(const TaskbarProgress&) = delete;
  TaskbarProgress& operator=(const TaskbarProgress&) = delete;

  // Shows position (0 to 100) on window's button. Connects on first use; a failed connection
  // is not retried until the taskbar is made again, as this runs after every received block.
  void Set(HWND window, int position);
  // Takes the progress off the button again.
  void Clear(HWND window);
  // True for the shell's notice that the taskbar (Explorer) was made again: the next Set
  // connects to the new one. The window procedure answers the message with 0 then.
  bool HandleMessage(UINT message);

 private:
  win32::ComPtr<ITaskbarList3> taskbar_;
  UINT buttonCreated_ = 0;
  bool unavailable_ = false;
};

}  // namespace quorvex::window
