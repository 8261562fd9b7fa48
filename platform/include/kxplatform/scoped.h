// Owner types for the resources that are not COM references: an event
// handle and the lock of a Media Foundation buffer. Like kx::ComPtr they
// compile against the SDK and the Linux layer alike, and nothing else in the
// library closes a handle or unlocks a buffer by hand.
#pragma once

#include <utility>

#include "kxplatform/mf.h"

namespace kx {

// Owns one handle (an event); closes it when replaced or destroyed. Null
// means none.
class ScopedHandle {
 public:
  ScopedHandle() noexcept = default;
  explicit ScopedHandle(HANDLE handle) noexcept : handle_(handle) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE Get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }

  void Reset() noexcept {
    // CloseHandle fails only for a handle that is not open; this one was
    // opened by its creator and is closed only here.
    if (HANDLE h = std::exchange(handle_, nullptr)) (void)CloseHandle(h);
  }

 private:
  HANDLE handle_ = nullptr;
};

// Locks a buffer for the lifetime of the object: Lock in the constructor,
// Unlock in the destructor when the Lock succeeded. Check status() before
// touching data(). Unlock() ends the lock early when its result is wanted.
class ScopedBufferLock {
 public:
  explicit ScopedBufferLock(IMFMediaBuffer* buffer) noexcept : buffer_(buffer) {
    status_ = buffer_ != nullptr ? buffer_->Lock(&data_, &maxLength_, &currentLength_) : E_POINTER;
    if (FAILED(status_)) data_ = nullptr;
  }
  ~ScopedBufferLock() {
    // Unlock fails only for a buffer that is not locked; this one is, by
    // the successful Lock above, and nothing else unlocks it.
    if (SUCCEEDED(status_)) (void)buffer_->Unlock();
  }
  ScopedBufferLock(const ScopedBufferLock&) = delete;
  ScopedBufferLock& operator=(const ScopedBufferLock&) = delete;

  // Unlocks now, once, and returns the Unlock result (a caller that logs
  // it); the destructor then does nothing more.
  HRESULT Unlock() noexcept {
    if (FAILED(status_)) return status_;
    status_ = E_UNEXPECTED;  // no further unlock, whatever this one gives
    data_ = nullptr;
    return buffer_->Unlock();
  }

  HRESULT status() const noexcept { return status_; }
  BYTE* data() const noexcept { return data_; }
  DWORD maxLength() const noexcept { return maxLength_; }
  DWORD currentLength() const noexcept { return currentLength_; }

 private:
  IMFMediaBuffer* buffer_;
  BYTE* data_ = nullptr;
  DWORD maxLength_ = 0;
  DWORD currentLength_ = 0;
  HRESULT status_ = E_POINTER;
};

}  // namespace kx
