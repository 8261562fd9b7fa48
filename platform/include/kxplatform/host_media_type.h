// A media type that a host handed over by address (inside an extra-data
// block), taken with a reference of the library's own.
//
// On Windows the address is used as the host promises: any pointer is
// referenced as it is. The Linux layer knows which media types it made and
// which of them are alive, so there a pointer that is not one of them is
// refused with E_INVALIDARG instead of being called through.
#pragma once

#include "kxplatform/mf.h"

#if !defined(_WIN32)
namespace kx::mf {
// In libkx_mfplat: takes a reference to `type` when it is one of the layer's
// live media types (checked and referenced in one step); false otherwise.
bool ReferenceLiveMediaType(IMFMediaType* type);
}  // namespace kx::mf
#endif

namespace kx {

// S_OK and a reference in `out` (null for a null pointer); E_INVALIDARG,
// and `out` empty, when the platform can tell that `type` is no media type.
inline HRESULT ReferenceHostMediaType(IMFMediaType* type, ComPtr<IMFMediaType>& out) {
  out = nullptr;
  if (type == nullptr) return S_OK;
#if defined(_WIN32)
  out = ComPtr<IMFMediaType>(type);
#else
  if (!kx::mf::ReferenceLiveMediaType(type)) return E_INVALIDARG;
  out.Attach(type);
#endif
  return S_OK;
}

}  // namespace kx
