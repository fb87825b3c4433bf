#include "window/TaskbarProgress.h"

#include <algorithm>

namespace quorvex::window {

TaskbarProgress::TaskbarProgress() : buttonCreated_(::RegisterWindowMessageW(L"TaskbarButtonCreated")) {}

void TaskbarProgress::Set(HWND window, int position) {
  if (!taskbar_) {
    if (unavailable_) return;
    if (FAILED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                  taskbar_.putVoid())) ||
        FAILED(taskbar_->HrInit())) {
      taskbar_.reset();
      unavailable_ = true;
      return;
    }
  }
  taskbar_->SetProgressState(window, TBPF_NORMAL);
  taskbar_->SetProgressValue(window, static_cast<ULONGLONG>(std::clamp(position, 0, 100)), 100);
}

void TaskbarProgress::Clear(HWND window) {
  if (taskbar_) taskbar_->SetProgressState(window, TBPF_NOPROGRESS);
}

bool TaskbarProgress::HandleMessage(UINT message) {
  if (buttonCreated_ == 0 || message != buttonCreated_) return false;
  taskbar_.reset();
  unavailable_ = false;
  return true;
}

}  // namespace quorvex::window
