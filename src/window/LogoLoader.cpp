#include "window/LogoLoader.h"

#include <system_error>

#include "platform/win32/ComPtr.h"
#include "window/ModuleResource.h"

namespace quorvex::window {

Picture ReadLogo(HMODULE module) {
  const auto bytes = ResourceBytes(module, L"LOGO", MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (bytes.empty()) throw LastWindowError(WindowFailure::kLoadResource, "Cannot load the resource LOGO");
  return DecodeImage(bytes);
}

namespace {

LoadedLogo ReadAndScale(HMODULE module, int width, int height) {
  LoadedLogo logo;
  logo.source = ReadLogo(module);
  logo.scaled = ResampleArea(logo.source, width, height);
  return logo;
}

}  // namespace

LogoLoader::LogoLoader(HMODULE module, int width, int height) noexcept
    : module_(module), width_(width), height_(height) {
  try {
    logo_ = std::async(std::launch::async, [module, width, height] {
      win32::ComApartment apartment(COINIT_MULTITHREADED);  // the imaging codecs are COM objects
      return ReadAndScale(module, width, height);
    });
  } catch (const std::system_error&) {
    // No thread: Take reads it on the window's thread.
  } catch (const std::bad_alloc&) {
  }
}

LoadedLogo LogoLoader::Take() { return logo_.valid() ? logo_.get() : ReadAndScale(module_, width_, height_); }

}  // namespace quorvex::window
