// Reference counting shared by the Linux layer's COM objects and by the test
// fakes of both builds (it compiles against the SDK's IUnknown as well).
#pragma once

#include <atomic>
#include <new>
#include <tuple>

#include "kxplatform/mf.h"

namespace kx::mf {

// Implements AddRef/Release for one object; the object starts with one
// reference (the creator's) and deletes itself on the last Release. Release
// uses acquire-release ordering so that everything a thread did with the
// object happens before its destruction on another thread.
template <typename Base>
class ComObject : public Base {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  // Drops one reference without deleting the object at zero: for an object
  // that leaves a registry under the registry's lock before it is deleted.
  ULONG ReleaseKeepAlive() { return refs_.fetch_sub(1, std::memory_order_acq_rel) - 1; }

 private:
  std::atomic<ULONG> refs_{1};
};

// Answers QueryInterface for `self` when riid is one of the listed
// interfaces; otherwise E_NOINTERFACE with a null out pointer.
template <typename Self, typename... Interfaces>
HRESULT QueryInterfaceOf(Self* self, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown) {
    *ppv = static_cast<IUnknown*>(static_cast<std::tuple_element_t<0, std::tuple<Interfaces...>>*>(self));
  } else {
    ((riid == __uuidof(Interfaces) && *ppv == nullptr ? (void)(*ppv = static_cast<Interfaces*>(self)) : (void)0),
     ...);
  }
  if (*ppv == nullptr) return E_NOINTERFACE;
  self->AddRef();
  return S_OK;
}

// Hands a newly created object to an out pointer, or reports no memory.
template <typename Interface, typename Object>
HRESULT Deliver(Object* object, Interface** out) {
  if (object == nullptr) return E_OUTOFMEMORY;
  *out = object;
  return S_OK;
}

}  // namespace kx::mf
