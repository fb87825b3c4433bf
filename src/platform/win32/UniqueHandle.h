#pragma once
// Move-only ownership of Win32 handles. The invalid value is part of the type, so a
// handle of one kind cannot be mistaken for another. Closing preserves GetLastError().

#include <windows.h>

#include <utility>

namespace quorvex::win32 {

template <typename Traits>
class UniqueHandle {
 public:
  using Pointer = typename Traits::Pointer;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Pointer value) noexcept : value_(value) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  explicit operator bool() const noexcept { return value_ != Traits::Invalid(); }
  // Raw access; the caller must not close it.
  Pointer get() const noexcept { return value_; }

  void reset(Pointer value = Traits::Invalid()) noexcept {
    Pointer old = std::exchange(value_, value);
    if (old != Traits::Invalid()) {
      const DWORD lastError = ::GetLastError();
      Traits::Close(old);
      ::SetLastError(lastError);
    }
  }
  [[nodiscard]] Pointer release() noexcept { return std::exchange(value_, Traits::Invalid()); }
  // Frees the current value, then hands out the slot for an API that fills it.
  Pointer* put() noexcept {
    reset();
    return &value_;
  }

 private:
  Pointer value_ = Traits::Invalid();
};

struct FileHandleTraits {  // CreateFileW: INVALID_HANDLE_VALUE on failure
  using Pointer = HANDLE;
  static Pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Pointer h) noexcept { ::CloseHandle(h); }
};

struct KernelHandleTraits {  // processes, threads, events: nullptr on failure
  using Pointer = HANDLE;
  static Pointer Invalid() noexcept { return nullptr; }
  static void Close(Pointer h) noexcept { ::CloseHandle(h); }
};

struct GdiObjectTraits {
  using Pointer = HGDIOBJ;
  static Pointer Invalid() noexcept { return nullptr; }
  static void Close(Pointer h) noexcept { ::DeleteObject(h); }
};

using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueGdiObject = UniqueHandle<GdiObjectTraits>;

}  // namespace quorvex::win32
