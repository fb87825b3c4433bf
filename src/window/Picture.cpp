#include "window/Picture.h"

#include <windows.h>
#include <wincodec.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "platform/win32/ComPtr.h"

namespace quorvex::window {

namespace {

// For one axis: which source pixels each target pixel covers, and by how much.
struct Span {
  int first = 0;
  std::vector<float> weights;  // sum to 1
};

std::vector<Span> CoverageSpans(int sourceSize, int targetSize) {
  std::vector<Span> spans(static_cast<std::size_t>(targetSize));
  const double scale = static_cast<double>(sourceSize) / targetSize;
  for (int t = 0; t < targetSize; ++t) {
    double begin = t * scale;
    double end = (t + 1) * scale;
    if (scale < 1.0) {  // enlarging: sample the nearest source pixel's full area
      begin = std::min(std::floor((t + 0.5) * scale), sourceSize - 1.0);
      end = begin + 1.0;
    }
    Span& span = spans[static_cast<std::size_t>(t)];
    span.first = static_cast<int>(begin);
    const int last = std::min(sourceSize - 1, static_cast<int>(std::ceil(end)) - 1);
    double total = 0;
    for (int s = span.first; s <= last; ++s) {
      const double covered = std::min<double>(end, s + 1) - std::max<double>(begin, s);
      span.weights.push_back(static_cast<float>(std::max(0.0, covered)));
      total += std::max(0.0, covered);
    }
    for (float& w : span.weights) w = static_cast<float>(w / total);
  }
  return spans;
}

std::uint8_t ToByte(float value) {
  return static_cast<std::uint8_t>(std::clamp(value + 0.5f, 0.0f, 255.0f));
}

}  // namespace

Picture ResampleArea(const Picture& source, int width, int height) {
  Picture target;
  if (width <= 0 || height <= 0 || source.width <= 0 || source.height <= 0) return target;
  target.width = width;
  target.height = height;
  target.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));

  // Horizontal pass into floats (four channels), then the vertical pass into bytes.
  const std::vector<Span> columns = CoverageSpans(source.width, width);
  const std::vector<Span> rows = CoverageSpans(source.height, height);
  std::vector<float> across(static_cast<std::size_t>(width) * static_cast<std::size_t>(source.height) * 4);
  for (int y = 0; y < source.height; ++y) {
    const std::uint32_t* in = &source.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(source.width)];
    float* out = &across[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 4];
    for (int x = 0; x < width; ++x) {
      const Span& span = columns[static_cast<std::size_t>(x)];
      float sum[4] = {0, 0, 0, 0};
      for (std::size_t i = 0; i < span.weights.size(); ++i) {
        const std::uint32_t p = in[static_cast<std::size_t>(span.first) + i];
        for (int c = 0; c < 4; ++c) sum[c] += span.weights[i] * static_cast<float>((p >> (8 * c)) & 0xFF);
      }
      std::copy(sum, sum + 4, out + static_cast<std::ptrdiff_t>(x) * 4);
    }
  }
  for (int y = 0; y < height; ++y) {
    const Span& span = rows[static_cast<std::size_t>(y)];
    for (int x = 0; x < width; ++x) {
      float sum[4] = {0, 0, 0, 0};
      for (std::size_t i = 0; i < span.weights.size(); ++i) {
        const float* p = &across[(static_cast<std::size_t>(span.first) + i) * static_cast<std::size_t>(width) * 4 +
                                 static_cast<std::size_t>(x) * 4];
        for (int c = 0; c < 4; ++c) sum[c] += span.weights[i] * p[c];
      }
      std::uint32_t pixel = 0;
      for (int c = 0; c < 4; ++c) pixel |= static_cast<std::uint32_t>(ToByte(sum[c])) << (8 * c);
      target.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = pixel;
    }
  }
  return target;
}

void CompositeOver(Picture& picture, const Colour& background) {
  const unsigned back[3] = {background.blue, background.green, background.red};
  for (std::uint32_t& pixel : picture.pixels) {
    const unsigned alpha = pixel >> 24;
    std::uint32_t result = 0xFF000000u;
    for (int c = 0; c < 3; ++c) {
      const unsigned premultiplied = (pixel >> (8 * c)) & 0xFF;
      const unsigned value = std::min(255u, premultiplied + (back[c] * (255 - alpha) + 127) / 255);
      result |= value << (8 * c);
    }
    pixel = result;
  }
}

Picture DecodeImage(std::span<const std::uint8_t> encoded) {
  using win32::ComPtr;
  auto check = [](HRESULT hr, const char* step) {
    if (FAILED(hr)) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
      throw PictureError(static_cast<std::uint32_t>(hr),
                         std::string("Cannot decode the image: ") + step + " failed with " + code);
    }
  };
  ComPtr<IWICImagingFactory> factory;
  check(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                           factory.putVoid()),
        "creating the imaging factory");
  ComPtr<IWICStream> stream;
  check(factory->CreateStream(stream.put()), "creating a stream");
  check(stream->InitializeFromMemory(const_cast<BYTE*>(encoded.data()), static_cast<DWORD>(encoded.size())),
        "reading from memory");
  ComPtr<IWICBitmapDecoder> decoder;
  check(factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.put()),
        "finding a decoder");
  ComPtr<IWICBitmapFrameDecode> frame;
  check(decoder->GetFrame(0, frame.put()), "reading the first frame");
  ComPtr<IWICFormatConverter> converter;
  check(factory->CreateFormatConverter(converter.put()), "creating a converter");
  check(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                              WICBitmapPaletteTypeCustom),
        "converting to premultiplied BGRA");
  UINT width = 0, height = 0;
  check(converter->GetSize(&width, &height), "reading the size");
  if (width == 0 || height == 0 || width > 16384 || height > 16384) {
    throw PictureError(0, "Cannot decode the image: bad size " + std::to_string(width) + " x " + std::to_string(height));
  }

  Picture picture;
  picture.width = static_cast<int>(width);
  picture.height = static_cast<int>(height);
  picture.pixels.resize(static_cast<std::size_t>(width) * height);
  check(converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(picture.pixels.size() * 4),
                              reinterpret_cast<BYTE*>(picture.pixels.data())),
        "copying the pixels");
  return picture;
}

}  // namespace quorvex::window
