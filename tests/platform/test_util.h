// Small helpers shared by the platform tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>

#include <string>

#include "kx_traxel/kx_types.h"
#include "kxplatform/mf.h"

// Wide text as the SDK calls take it (UTF-16 on both platforms).
using WString = std::basic_string<WCHAR>;

namespace kxtest {

// The same tests run against our Linux layer and, in the Windows build,
// against the system's Media Foundation. Checks of choices that are the
// layer's own (null arguments refused, sizes rounded up, counts kept exact)
// run only against the layer.
#if defined(_WIN32)
inline constexpr bool kOwnLayer = false;
#else
inline constexpr bool kOwnLayer = true;
#endif

// The reference count an object reports after one AddRef/Release pair.
inline ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

// A COM object that only counts its references and its destruction.
class CountedObject final : public IUnknown {
 public:
  explicit CountedObject(bool* destroyed) : destroyed_(destroyed) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<IUnknown*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) {
      *destroyed_ = true;
      delete this;
    }
    return left;
  }

 private:
  ~CountedObject() = default;
  bool* destroyed_;
  std::atomic<ULONG> refs_{1};
};

}  // namespace kxtest
