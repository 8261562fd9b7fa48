// COM basics for the Linux Media Foundation layer: IUnknown, interface
// identifiers, PROPVARIANT, task memory and GUID text, as the Windows SDK
// declares them (unknwn.h, propidl.h, combaseapi.h).
#pragma once

#include <type_traits>

#include "wintypes.h"

KX_DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

// __uuidof for interfaces declared with KX_DECLARE_UUIDOF, as the mingw-w64
// headers provide it for GCC: works on a type or an expression of that type.
template <typename T>
struct KxInterfaceId;
#define KX_DECLARE_UUIDOF(type, iid)                 \
  template <>                                        \
  struct KxInterfaceId<type> {                       \
    static constexpr const GUID& value() { return iid; } \
  }
template <typename T>
constexpr const GUID& KxUuidOf() {
  return KxInterfaceId<std::remove_cv_t<std::remove_pointer_t<std::remove_cvref_t<T>>>>::value();
}
#ifndef __uuidof
#define __uuidof(x) KxUuidOf<__typeof__(x)>()
#endif

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

  template <typename Q>
  HRESULT QueryInterface(Q** pp) {
    return QueryInterface(__uuidof(Q), reinterpret_cast<void**>(pp));
  }

 protected:
  // Objects are destroyed by their last Release, never through an interface.
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;
KX_DECLARE_UUIDOF(IUnknown, IID_IUnknown);

template <typename T>
void** IID_PPV_ARGS_Helper(T** pp) {
  static_assert(std::is_base_of_v<IUnknown, T>, "IID_PPV_ARGS needs a COM interface");
  return reinterpret_cast<void**>(pp);
}
#define IID_PPV_ARGS(ppType) __uuidof(**(ppType)), IID_PPV_ARGS_Helper(ppType)

// Variant types (wtypes.h VARENUM), the subset attribute stores hold.
enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_BSTR = 8,
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_CLSID = 72,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

struct CAUB {
  ULONG cElems;
  UCHAR* pElems;
};

struct PROPVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    CHAR cVal;
    UCHAR bVal;
    SHORT iVal;
    USHORT uiVal;
    LONG lVal;
    ULONG ulVal;
    INT intVal;
    UINT uintVal;
    LARGE_INTEGER hVal;
    ULARGE_INTEGER uhVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    CLSID* puuid;
    LPSTR pszVal;
    LPWSTR pwszVal;
    IUnknown* punkVal;
    CAUB caub;
  };
};
typedef PROPVARIANT* LPPROPVARIANT;
typedef const PROPVARIANT& REFPROPVARIANT;

inline void PropVariantInit(PROPVARIANT* pvar) { std::memset(static_cast<void*>(pvar), 0, sizeof(PROPVARIANT)); }

// Frees what the variant owns (strings, GUIDs, byte vectors: task memory;
// IUnknown: one reference) and leaves it VT_EMPTY.
STDAPI PropVariantClear(PROPVARIANT* pvar);
// Deep copy; *pvarDest is overwritten without being cleared.
STDAPI PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc);

STDAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb);
STDAPI_(LPVOID) CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
STDAPI_(void) CoTaskMemFree(LPVOID pv);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case, in task memory.
STDAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
STDAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);
// The same text into a caller buffer; returns the characters written with the
// terminator (39), or 0 when cchMax is too small.
STDAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);

#define COINIT_APARTMENTTHREADED 0x2
#define COINIT_MULTITHREADED 0x0
STDAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
STDAPI_(void) CoUninitialize();
