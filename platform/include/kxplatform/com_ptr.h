// kx::ComPtr: the one owning reference type for COM interface pointers, used
// by all library code on Windows and Linux alike.
//
// Holds at most one reference; releases it when replaced, reset or
// destroyed. `&ptr` releases what is held and yields the T** that a creating
// call fills (the WRL convention), so `MFCreateMediaType(&type)` never leaks.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

namespace kx {

template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a new reference to `p`.
  explicit ComPtr(T* p) noexcept : ptr_(p) {
    if (ptr_) ptr_->AddRef();
  }
  ComPtr(const ComPtr& other) noexcept : ComPtr(other.ptr_) {}
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ~ComPtr() { Reset(); }

  ComPtr& operator=(const ComPtr& other) noexcept {
    if (this != std::addressof(other)) ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != std::addressof(other)) {
      Reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }

  T* Get() const noexcept { return ptr_; }
  T* operator->() const noexcept { return ptr_; }
  T& operator*() const noexcept { return *ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

  // The address of the held pointer, for a call that fills it. Releases what
  // was held first.
  T** ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &ptr_;
  }
  T** operator&() noexcept { return ReleaseAndGetAddressOf(); }
  // The address without releasing (for a call that only reads it).
  T* const* GetAddressOf() const noexcept { return &ptr_; }

  void Reset() noexcept {
    if (T* p = std::exchange(ptr_, nullptr)) p->Release();
  }
  // Adopts `p` without adding a reference.
  void Attach(T* p) noexcept {
    Reset();
    ptr_ = p;
  }
  // Gives up the reference without releasing it.
  [[nodiscard]] T* Detach() noexcept { return std::exchange(ptr_, nullptr); }
  void Swap(ComPtr& other) noexcept { std::swap(ptr_, other.ptr_); }

  // Hands a new reference to an out pointer the caller owns.
  void CopyTo(T** out) const noexcept {
    *out = ptr_;
    if (ptr_) ptr_->AddRef();
  }

  // QueryInterface for `iid` into `out`; `out` is empty on failure.
  template <typename U, typename IidT>
  auto As(const IidT& iid, ComPtr<U>* out) const noexcept {
    U** slot = out->ReleaseAndGetAddressOf();
    return ptr_->QueryInterface(iid, reinterpret_cast<void**>(slot));
  }

 private:
  T* ptr_ = nullptr;
};

}  // namespace kx
