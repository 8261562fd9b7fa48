// Small helpers shared by the platform tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>

#include "kxplatform/mf.h"

namespace kxtest {

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
