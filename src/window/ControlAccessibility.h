#pragma once
// What screen readers are told about the controls the window draws itself. The system's own
// description of a window (oleacc's proxies) knows buttons by their text, but not that a
// subclassed progress control is a progress bar with a value, nor that an owner-drawn static
// holds a picture; Wine's proxies call every control a plain client area. So these controls
// answer WM_GETOBJECT for their client area with an object of ours that gives the role, the
// name and, for the bar, its value ("42%"), and passes every other question on to the
// system's object.

#include <windows.h>
#include <oleacc.h>

#include <string>

namespace quorvex::window {

// From now until control is destroyed, screen readers see role (ROLE_SYSTEM_...) and name;
// an empty name stands for the control's own text, read when asked. A ROLE_SYSTEM_PROGRESSBAR
// control also gives its position in its range as a percentage value.
void DescribeForScreenReaders(HWND control, LONG role, std::wstring name);

// A bar's value as read out: the position's share of the range in whole percent, "0%" to
// "100%", a position outside the range taken at the nearer end.
std::wstring ProgressValueText(int low, int high, int position);

}  // namespace quorvex::window
