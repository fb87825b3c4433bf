#pragma once
// Move-only owner of one COM interface pointer.

#include <unknwn.h>

#include <utility>

namespace quorvex::win32 {

template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ~ComPtr() { reset(); }

  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  T* get() const noexcept { return ptr_; }
  T* operator->() const noexcept { return ptr_; }

  void reset() noexcept {
    if (T* old = std::exchange(ptr_, nullptr)) old->Release();
  }
  // Releases the current pointer first, then hands out the slot for an API to fill.
  T** put() noexcept {
    reset();
    return &ptr_;
  }
  void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

  // QueryInterface into another owner; an empty owner when the interface is missing.
  template <typename U>
  ComPtr<U> As(const IID& iid) const noexcept {
    ComPtr<U> result;
    if (ptr_) ptr_->QueryInterface(iid, result.putVoid());
    return result;
  }

 private:
  T* ptr_ = nullptr;
};

// CoInitializeEx for the calling thread for the owner's lifetime.
class ComApartment {
 public:
  explicit ComApartment(DWORD model = COINIT_APARTMENTTHREADED) noexcept
      : initialized_(SUCCEEDED(::CoInitializeEx(nullptr, model))) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (initialized_) ::CoUninitialize();
  }

 private:
  bool initialized_;
};

}  // namespace quorvex::win32
