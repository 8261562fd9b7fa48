// The ASF profile, content information and media sink (not written yet).
#include "kxplatform/mf.h"

STDAPI MFCreateASFContentInfo(IMFASFContentInfo** ppIContentInfo) {
  if (ppIContentInfo == nullptr) return E_POINTER;
  *ppIContentInfo = nullptr;
  return E_NOTIMPL;
}

STDAPI MFCreateASFProfile(IMFASFProfile** ppIProfile) {
  if (ppIProfile == nullptr) return E_POINTER;
  *ppIProfile = nullptr;
  return E_NOTIMPL;
}

STDAPI MFCreateASFMediaSinkActivate(LPCWSTR, IMFASFContentInfo*, IMFActivate** ppIActivate) {
  if (ppIActivate == nullptr) return E_POINTER;
  *ppIActivate = nullptr;
  return E_NOTIMPL;
}
