#pragma once
// The logo from the program's resources, decoded. Decoding it is the largest single step of
// the window's start-up, so the program starts it on a thread of its own at once and the
// window takes the picture when it needs it, the rest of the window made meanwhile.

#include <windows.h>

#include <future>

#include "window/Picture.h"

namespace quorvex::window {

// Reads the resource LOGO of module and decodes it, on the calling thread (which needs COM).
// Throws WindowError: kLoadResource when the resource is missing, kDecodeImage (PictureError)
// when it is no picture.
Picture ReadLogo(HMODULE module);

// The decoded logo, and the same already scaled to the size the window will most likely show
// it at (see ResampleArea).
struct LoadedLogo {
  Picture source;
  Picture scaled;
};

class LogoLoader {
 public:
  // Starts reading, decoding and scaling to width x height on a thread of its own; where no
  // thread can be started, Take does it all.
  LogoLoader(HMODULE module, int width, int height) noexcept;
  LogoLoader(const LogoLoader&) = delete;
  LogoLoader& operator=(const LogoLoader&) = delete;

  // The picture, once decoded (waits for it); throws what ReadLogo threw. Once only.
  LoadedLogo Take();

 private:
  HMODULE module_;
  int width_, height_;
  std::future<LoadedLogo> logo_;
};

}  // namespace quorvex::window
