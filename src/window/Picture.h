#pragma once
// A picture in memory: 32-bit pixels, premultiplied alpha, rows top-down. Each pixel is
// 0xAARRGGBB (bytes B, G, R, A in memory, as Windows' 32-bit DIBs expect).

#include <cstdint>
#include <span>
#include <vector>

#include "window/VisualStyle.h"
#include "window/WindowError.h"

namespace quorvex::window {

// An image the system's codecs could not decode: kind kDecodeImage, code the HRESULT.
class PictureError : public WindowError {
 public:
  PictureError(std::uint32_t hresult, const std::string& message)
      : WindowError(WindowFailure::kDecodeImage, hresult, message) {}
};

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;  // width * height
};

// Scales by area averaging: each target pixel is the coverage-weighted mean of the source
// pixels under it, so a strong reduction keeps thin strokes and smooth edges instead of
// dropping pixels. Works on premultiplied values, so transparent pixels add no colour.
Picture ResampleArea(const Picture& source, int width, int height);

// Blends the picture over an opaque background colour; the result is opaque.
void CompositeOver(Picture& picture, const Colour& background);

// Decodes a PNG (or any format the system's imaging codecs know) into premultiplied pixels.
// Needs COM on the calling thread. Throws PictureError naming the step that failed.
Picture DecodeImage(std::span<const std::uint8_t> encoded);

}  // namespace quorvex::window
