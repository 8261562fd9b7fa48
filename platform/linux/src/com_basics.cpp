// COM basics: PROPVARIANT ownership, task memory and GUID text.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kxplatform/mf.h"

namespace {

bool IsPlainValueType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
      return true;
    default:
      return false;
  }
}

template <typename T>
T* DuplicateInTaskMemory(const T* source, size_t count) {
  T* copy = static_cast<T*>(CoTaskMemAlloc(count * sizeof(T) + (count == 0 ? 1 : 0)));
  if (copy != nullptr && count != 0) std::memcpy(copy, source, count * sizeof(T));
  return copy;
}

}  // namespace

extern "C" {

LPVOID CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb == 0 ? 1 : cb); }

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) { return std::realloc(pv, cb == 0 ? 1 : cb); }

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

HRESULT PropVariantClear(PROPVARIANT* pvar) {
  if (pvar == nullptr) return S_OK;
  switch (pvar->vt) {
    case VT_CLSID:
      CoTaskMemFree(pvar->puuid);
      break;
    case VT_LPWSTR:
      CoTaskMemFree(pvar->pwszVal);
      break;
    case VT_LPSTR:
      CoTaskMemFree(pvar->pszVal);
      break;
    case VT_VECTOR | VT_UI1:
      CoTaskMemFree(pvar->caub.pElems);
      break;
    case VT_UNKNOWN:
      if (pvar->punkVal != nullptr) pvar->punkVal->Release();
      break;
    default:
      if (!IsPlainValueType(pvar->vt)) return DISP_E_BADVARTYPE;
      break;
  }
  PropVariantInit(pvar);
  return S_OK;
}

HRESULT PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc) {
  if (pvarDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  PROPVARIANT copy = *pvarSrc;
  switch (pvarSrc->vt) {
    case VT_CLSID:
      if (pvarSrc->puuid != nullptr) {
        copy.puuid = DuplicateInTaskMemory(pvarSrc->puuid, 1);
        if (copy.puuid == nullptr) return E_OUTOFMEMORY;
      }
      break;
    case VT_LPWSTR:
      if (pvarSrc->pwszVal != nullptr) {
        const size_t length = std::char_traits<WCHAR>::length(pvarSrc->pwszVal);
        copy.pwszVal = DuplicateInTaskMemory(pvarSrc->pwszVal, length + 1);
        if (copy.pwszVal == nullptr) return E_OUTOFMEMORY;
      }
      break;
    case VT_LPSTR:
      if (pvarSrc->pszVal != nullptr) {
        copy.pszVal = DuplicateInTaskMemory(pvarSrc->pszVal, std::strlen(pvarSrc->pszVal) + 1);
        if (copy.pszVal == nullptr) return E_OUTOFMEMORY;
      }
      break;
    case VT_VECTOR | VT_UI1:
      if (pvarSrc->caub.pElems != nullptr || pvarSrc->caub.cElems != 0) {
        if (pvarSrc->caub.pElems == nullptr) return E_INVALIDARG;
        copy.caub.pElems = DuplicateInTaskMemory(pvarSrc->caub.pElems, pvarSrc->caub.cElems);
        if (copy.caub.pElems == nullptr) return E_OUTOFMEMORY;
      }
      break;
    case VT_UNKNOWN:
      if (copy.punkVal != nullptr) copy.punkVal->AddRef();
      break;
    default:
      if (!IsPlainValueType(pvarSrc->vt)) {
        PropVariantInit(pvarDest);
        return DISP_E_BADVARTYPE;
      }
      break;
  }
  *pvarDest = copy;
  return S_OK;
}

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  constexpr int kChars = 39;  // 38 characters and the terminator
  if (lpsz == nullptr || cchMax < kChars) return 0;
  char text[kChars + 1];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(rguid.Data1), static_cast<unsigned>(rguid.Data2),
                static_cast<unsigned>(rguid.Data3), rguid.Data4[0], rguid.Data4[1], rguid.Data4[2],
                rguid.Data4[3], rguid.Data4[4], rguid.Data4[5], rguid.Data4[6], rguid.Data4[7]);
  for (int i = 0; i < kChars; ++i) lpsz[i] = static_cast<WCHAR>(text[i]);
  return kChars;
}

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  if (lplpsz == nullptr) return E_INVALIDARG;
  *lplpsz = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(WCHAR)));
  if (*lplpsz == nullptr) return E_OUTOFMEMORY;
  StringFromGUID2(rclsid, *lplpsz, 39);
  return S_OK;
}

HRESULT StringFromIID(REFIID rclsid, LPOLESTR* lplpsz) { return StringFromCLSID(rclsid, lplpsz); }

// There are no apartments here; these only keep COM-style start-up code working.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) { return S_OK; }
void CoUninitialize() {}

}  // extern "C"
