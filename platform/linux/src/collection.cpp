// IMFCollection: an ordered list of object references (MFCreateCollection).
#include <mutex>
#include <new>
#include <vector>

#include "kxplatform/com_object.h"

namespace kx::mf {
namespace {

// Null elements are refused, so every element a caller gets back is usable.
class Collection final : public ComObject<IMFCollection> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceOf<Collection, IMFCollection>(this, riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE GetElementCount(DWORD* pcElements) override {
    if (pcElements == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    *pcElements = static_cast<DWORD>(elements_.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetElement(DWORD dwElementIndex, IUnknown** ppUnkElement) override {
    if (ppUnkElement == nullptr) return E_POINTER;
    *ppUnkElement = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (dwElementIndex >= elements_.size()) return E_INVALIDARG;
    elements_[dwElementIndex].CopyTo(ppUnkElement);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE AddElement(IUnknown* pUnkElement) override {
    if (pUnkElement == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      elements_.emplace_back(pUnkElement);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE RemoveElement(DWORD dwElementIndex, IUnknown** ppUnkElement) override {
    if (ppUnkElement != nullptr) *ppUnkElement = nullptr;
    kx::ComPtr<IUnknown> removed;  // released after the lock is given up
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (dwElementIndex >= elements_.size()) return E_INVALIDARG;
      removed = std::move(elements_[dwElementIndex]);
      elements_.erase(elements_.begin() + dwElementIndex);
    }
    if (ppUnkElement != nullptr) *ppUnkElement = removed.Detach();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE InsertElementAt(DWORD dwIndex, IUnknown* pUnknown) override {
    if (pUnknown == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    if (dwIndex > elements_.size()) return E_INVALIDARG;
    try {
      elements_.emplace(elements_.begin() + dwIndex, pUnknown);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE RemoveAllElements() override {
    std::vector<kx::ComPtr<IUnknown>> removed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      removed.swap(elements_);
    }
    return S_OK;
  }

 private:
  std::mutex mutex_;
  std::vector<kx::ComPtr<IUnknown>> elements_;
};

}  // namespace
}  // namespace kx::mf

extern "C" HRESULT MFCreateCollection(IMFCollection** ppIMFCollection) {
  if (ppIMFCollection == nullptr) return E_POINTER;
  *ppIMFCollection = nullptr;
  return kx::mf::Deliver(new (std::nothrow) kx::mf::Collection(), ppIMFCollection);
}
