// IMFMediaBuffer over system memory (MFCreateMemoryBuffer,
// MFCreateAlignedMemoryBuffer).
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "kxplatform/com_object.h"

namespace kx::mf {
namespace {

// Pictures are handed to SIMD code and to encoders that read a little past
// the end, so the memory is 64-byte aligned and followed by 64 zero bytes
// that are not part of the buffer.
constexpr size_t kMinimumAlignment = 64;
constexpr size_t kTailPadding = 64;

class MemoryBuffer final : public ComObject<IMFMediaBuffer> {
 public:
  MemoryBuffer(BYTE* data, DWORD maxLength) : data_(data), maxLength_(maxLength) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceOf<MemoryBuffer, IMFMediaBuffer>(this, riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE Lock(BYTE** ppbBuffer, DWORD* pcbMaxLength, DWORD* pcbCurrentLength) override {
    if (ppbBuffer == nullptr) return E_POINTER;
    locks_.fetch_add(1, std::memory_order_relaxed);
    *ppbBuffer = data_;
    if (pcbMaxLength != nullptr) *pcbMaxLength = maxLength_;
    if (pcbCurrentLength != nullptr) *pcbCurrentLength = currentLength_.load(std::memory_order_relaxed);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Unlock() override {
    DWORD locks = locks_.load(std::memory_order_relaxed);
    while (locks != 0 && !locks_.compare_exchange_weak(locks, locks - 1, std::memory_order_relaxed)) {
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetCurrentLength(DWORD* pcbCurrentLength) override {
    if (pcbCurrentLength == nullptr) return E_POINTER;
    *pcbCurrentLength = currentLength_.load(std::memory_order_relaxed);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetCurrentLength(DWORD cbCurrentLength) override {
    if (cbCurrentLength > maxLength_) return E_INVALIDARG;
    currentLength_.store(cbCurrentLength, std::memory_order_relaxed);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetMaxLength(DWORD* pcbMaxLength) override {
    if (pcbMaxLength == nullptr) return E_POINTER;
    *pcbMaxLength = maxLength_;
    return S_OK;
  }

 private:
  ~MemoryBuffer() override { std::free(data_); }

  BYTE* const data_;
  const DWORD maxLength_;
  std::atomic<DWORD> currentLength_{0};
  std::atomic<DWORD> locks_{0};
};

HRESULT CreateBuffer(DWORD maxLength, size_t alignment, IMFMediaBuffer** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (alignment < kMinimumAlignment) alignment = kMinimumAlignment;
  const size_t bytes = (static_cast<size_t>(maxLength) + kTailPadding + alignment - 1) / alignment * alignment;
  auto* data = static_cast<BYTE*>(std::aligned_alloc(alignment, bytes));
  if (data == nullptr) return E_OUTOFMEMORY;
  std::memset(data + maxLength, 0, bytes - maxLength);
  auto* buffer = new (std::nothrow) MemoryBuffer(data, maxLength);
  if (buffer == nullptr) {
    std::free(data);
    return E_OUTOFMEMORY;
  }
  *out = buffer;
  return S_OK;
}

}  // namespace
}  // namespace kx::mf

extern "C" {

HRESULT MFCreateMemoryBuffer(DWORD cbMaxLength, IMFMediaBuffer** ppBuffer) {
  return kx::mf::CreateBuffer(cbMaxLength, 0, ppBuffer);
}

// cbAligment is an alignment mask: MF_16_BYTE_ALIGNMENT (15) asks for 16.
HRESULT MFCreateAlignedMemoryBuffer(DWORD cbMaxLength, DWORD cbAligment, IMFMediaBuffer** ppBuffer) {
  const size_t alignment = static_cast<size_t>(cbAligment) + 1;
  if ((alignment & (alignment - 1)) != 0) {
    if (ppBuffer != nullptr) *ppBuffer = nullptr;
    return E_INVALIDARG;
  }
  return kx::mf::CreateBuffer(cbMaxLength, alignment, ppBuffer);
}

}  // extern "C"
