// IMFSample: media buffers with a time, a duration and flags; also an
// attribute store (MFCreateSample).
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "kxplatform/scoped.h"
#include "attribute_store.h"

namespace kx::mf {
namespace {

class Sample final : public AttributesOf<IMFSample> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceOf<Sample, IMFSample, IMFAttributes>(this, riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE GetSampleFlags(DWORD* pdwSampleFlags) override {
    if (pdwSampleFlags == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    *pdwSampleFlags = flags_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSampleFlags(DWORD dwSampleFlags) override {
    std::lock_guard<std::mutex> lock(mutex_);
    flags_ = dwSampleFlags;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetSampleTime(LONGLONG* phnsSampleTime) override {
    if (phnsSampleTime == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!hasTime_) return MF_E_NO_SAMPLE_TIMESTAMP;
    *phnsSampleTime = time_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSampleTime(LONGLONG hnsSampleTime) override {
    std::lock_guard<std::mutex> lock(mutex_);
    time_ = hnsSampleTime;
    hasTime_ = true;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetSampleDuration(LONGLONG* phnsSampleDuration) override {
    if (phnsSampleDuration == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!hasDuration_) return MF_E_NO_SAMPLE_DURATION;
    *phnsSampleDuration = duration_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSampleDuration(LONGLONG hnsSampleDuration) override {
    std::lock_guard<std::mutex> lock(mutex_);
    duration_ = hnsSampleDuration;
    hasDuration_ = true;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetBufferCount(DWORD* pdwBufferCount) override {
    if (pdwBufferCount == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    *pdwBufferCount = static_cast<DWORD>(buffers_.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetBufferByIndex(DWORD dwIndex, IMFMediaBuffer** ppBuffer) override {
    if (ppBuffer == nullptr) return E_POINTER;
    *ppBuffer = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (dwIndex >= buffers_.size()) return E_INVALIDARG;
    buffers_[dwIndex].CopyTo(ppBuffer);
    return S_OK;
  }

  // One buffer is returned as it is; several are copied into one new buffer
  // that then replaces them.
  HRESULT STDMETHODCALLTYPE ConvertToContiguousBuffer(IMFMediaBuffer** ppBuffer) override {
    if (ppBuffer == nullptr) return E_POINTER;
    *ppBuffer = nullptr;
    std::vector<kx::ComPtr<IMFMediaBuffer>> buffers = Buffers();
    if (buffers.empty()) return E_UNEXPECTED;
    if (buffers.size() == 1) {
      buffers[0].CopyTo(ppBuffer);
      return S_OK;
    }
    DWORD total = 0;
    HRESULT hr = TotalLength(buffers, &total);
    kx::ComPtr<IMFMediaBuffer> joined;
    if (SUCCEEDED(hr)) hr = MFCreateMemoryBuffer(total, &joined);
    if (SUCCEEDED(hr)) hr = CopyBuffers(buffers, joined.Get());
    if (FAILED(hr)) return hr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      buffers_.resize(1);  // shrinking never allocates
      buffers_[0] = joined;
    }
    *ppBuffer = joined.Detach();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE AddBuffer(IMFMediaBuffer* pBuffer) override {
    if (pBuffer == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      buffers_.emplace_back(pBuffer);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE RemoveBufferByIndex(DWORD dwIndex) override {
    kx::ComPtr<IMFMediaBuffer> removed;  // released after the lock is given up
    std::lock_guard<std::mutex> lock(mutex_);
    if (dwIndex >= buffers_.size()) return E_INVALIDARG;
    removed = std::move(buffers_[dwIndex]);
    buffers_.erase(buffers_.begin() + dwIndex);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE RemoveAllBuffers() override {
    std::vector<kx::ComPtr<IMFMediaBuffer>> removed;
    std::lock_guard<std::mutex> lock(mutex_);
    removed.swap(buffers_);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTotalLength(DWORD* pcbTotalLength) override {
    if (pcbTotalLength == nullptr) return E_POINTER;
    return TotalLength(Buffers(), pcbTotalLength);
  }

  HRESULT STDMETHODCALLTYPE CopyToBuffer(IMFMediaBuffer* pBuffer) override {
    if (pBuffer == nullptr) return E_POINTER;
    return CopyBuffers(Buffers(), pBuffer);
  }

 private:
  // A copy of the buffer list, so that buffers are used without the lock held
  // (empty only if even that copy cannot be allocated).
  std::vector<kx::ComPtr<IMFMediaBuffer>> Buffers() {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      return buffers_;
    } catch (const std::bad_alloc&) {
      return {};
    }
  }

  static HRESULT TotalLength(const std::vector<kx::ComPtr<IMFMediaBuffer>>& buffers, DWORD* total) {
    UINT64 sum = 0;
    for (const auto& buffer : buffers) {
      DWORD length = 0;
      const HRESULT hr = buffer->GetCurrentLength(&length);
      if (FAILED(hr)) return hr;
      sum += length;
    }
    if (sum > 0xFFFFFFFFu) return INTSAFE_E_ARITHMETIC_OVERFLOW;
    *total = static_cast<DWORD>(sum);
    return S_OK;
  }

  // The valid bytes of all buffers, one after the other, into `dest`.
  static HRESULT CopyBuffers(const std::vector<kx::ComPtr<IMFMediaBuffer>>& buffers, IMFMediaBuffer* dest) {
    DWORD total = 0;
    HRESULT hr = TotalLength(buffers, &total);
    if (FAILED(hr)) return hr;
    DWORD offset = 0;
    {
      kx::ScopedBufferLock out(dest);
      if (FAILED(out.status())) return out.status();
      if (out.maxLength() < total) return MF_E_BUFFERTOOSMALL;
      for (const auto& buffer : buffers) {
        kx::ScopedBufferLock in(buffer.Get());
        hr = in.status();
        if (FAILED(hr)) break;
        const DWORD count = in.currentLength() <= total - offset ? in.currentLength() : total - offset;
        if (count != 0) std::memcpy(out.data() + offset, in.data(), count);
        offset += count;
      }
    }
    if (SUCCEEDED(hr)) hr = dest->SetCurrentLength(offset);
    return hr;
  }

  std::mutex mutex_;
  std::vector<kx::ComPtr<IMFMediaBuffer>> buffers_;
  LONGLONG time_ = 0;
  LONGLONG duration_ = 0;
  bool hasTime_ = false;
  bool hasDuration_ = false;
  DWORD flags_ = 0;
};

}  // namespace
}  // namespace kx::mf

extern "C" HRESULT MFCreateSample(IMFSample** ppIMFSample) {
  if (ppIMFSample == nullptr) return E_POINTER;
  *ppIMFSample = nullptr;
  return kx::mf::Deliver(new (std::nothrow) kx::mf::Sample(), ppIMFSample);
}
