// Media Foundation object interfaces for the Linux layer, with the Windows
// SDK's method order and interface identifiers (mfobjects.h): attribute
// stores, media types, collections, memory buffers, samples, asynchronous
// results and callbacks, media events and activation objects.
#pragma once

#include "unknwn.h"

KX_DEFINE_GUID(IID_IMFAttributes, 0x2CD2D921, 0xC447, 0x44A7, 0xA1, 0x3C, 0x4A, 0xDA, 0xBF, 0xC2, 0x47, 0xE3);
KX_DEFINE_GUID(IID_IMFMediaType, 0x44AE0FA8, 0xEA31, 0x4109, 0x8D, 0x2E, 0x4C, 0xAE, 0x49, 0x97, 0xC5, 0x55);
KX_DEFINE_GUID(IID_IMFCollection, 0x5BC8A76B, 0x869A, 0x46A3, 0x9B, 0x03, 0xFA, 0x21, 0x8A, 0x66, 0xAE, 0xBE);
KX_DEFINE_GUID(IID_IMFMediaBuffer, 0x045FA593, 0x8799, 0x42B8, 0xBC, 0x8D, 0x89, 0x68, 0xC6, 0x45, 0x35, 0x07);
KX_DEFINE_GUID(IID_IMFSample, 0xC40A00F2, 0xB93A, 0x4D80, 0xAE, 0x8C, 0x5A, 0x1C, 0x63, 0x4F, 0x58, 0xE4);
KX_DEFINE_GUID(IID_IMFAsyncResult, 0xAC6B7889, 0x0740, 0x4D51, 0x86, 0x19, 0x90, 0x59, 0x94, 0xA5, 0x5C, 0xC6);
KX_DEFINE_GUID(IID_IMFAsyncCallback, 0xA27003CF, 0x2354, 0x4F2A, 0x8D, 0x6A, 0xAB, 0x7C, 0xFF, 0x15, 0x43, 0x7E);
KX_DEFINE_GUID(IID_IMFMediaEvent, 0xDF598932, 0xF10C, 0x4E39, 0xBB, 0xA2, 0xC3, 0x08, 0xF1, 0x01, 0xDA, 0xA3);
KX_DEFINE_GUID(IID_IMFMediaEventGenerator, 0x2CD0BD52, 0xBCD5, 0x4B89, 0xB6, 0x2C, 0xEA, 0xDC, 0x0C, 0x03, 0x1E, 0x7D);
KX_DEFINE_GUID(IID_IMFActivate, 0x7FEE9E9A, 0x4A89, 0x47A6, 0x89, 0x9C, 0xB6, 0xA5, 0x3A, 0x70, 0xFB, 0x67);

enum MF_ATTRIBUTE_TYPE {
  MF_ATTRIBUTE_UINT32 = VT_UI4,
  MF_ATTRIBUTE_UINT64 = VT_UI8,
  MF_ATTRIBUTE_DOUBLE = VT_R8,
  MF_ATTRIBUTE_GUID = VT_CLSID,
  MF_ATTRIBUTE_STRING = VT_LPWSTR,
  MF_ATTRIBUTE_BLOB = VT_VECTOR | VT_UI1,
  MF_ATTRIBUTE_IUNKNOWN = VT_UNKNOWN,
};

enum MF_ATTRIBUTES_MATCH_TYPE {
  MF_ATTRIBUTES_MATCH_OUR_ITEMS = 0,
  MF_ATTRIBUTES_MATCH_THEIR_ITEMS = 1,
  MF_ATTRIBUTES_MATCH_ALL_ITEMS = 2,
  MF_ATTRIBUTES_MATCH_INTERSECTION = 3,
  MF_ATTRIBUTES_MATCH_SMALLER = 4,
};

struct IMFAttributes : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetItem(REFGUID guidKey, PROPVARIANT* pValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetItemType(REFGUID guidKey, MF_ATTRIBUTE_TYPE* pType) = 0;
  virtual HRESULT STDMETHODCALLTYPE CompareItem(REFGUID guidKey, REFPROPVARIANT Value, BOOL* pbResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE Compare(IMFAttributes* pTheirs, MF_ATTRIBUTES_MATCH_TYPE MatchType,
                                            BOOL* pbResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetUINT32(REFGUID guidKey, UINT32* punValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetUINT64(REFGUID guidKey, UINT64* punValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDouble(REFGUID guidKey, double* pfValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetGUID(REFGUID guidKey, GUID* pguidValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStringLength(REFGUID guidKey, UINT32* pcchLength) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetString(REFGUID guidKey, LPWSTR pwszValue, UINT32 cchBufSize,
                                              UINT32* pcchLength) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAllocatedString(REFGUID guidKey, LPWSTR* ppwszValue, UINT32* pcchLength) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBlobSize(REFGUID guidKey, UINT32* pcbBlobSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBlob(REFGUID guidKey, UINT8* pBuf, UINT32 cbBufSize, UINT32* pcbBlobSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAllocatedBlob(REFGUID guidKey, UINT8** ppBuf, UINT32* pcbSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetUnknown(REFGUID guidKey, REFIID riid, LPVOID* ppv) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetItem(REFGUID guidKey, REFPROPVARIANT Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteItem(REFGUID guidKey) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteAllItems() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetUINT32(REFGUID guidKey, UINT32 unValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetUINT64(REFGUID guidKey, UINT64 unValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDouble(REFGUID guidKey, double fValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetGUID(REFGUID guidKey, REFGUID guidValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetString(REFGUID guidKey, LPCWSTR wszValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBlob(REFGUID guidKey, const UINT8* pBuf, UINT32 cbBufSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetUnknown(REFGUID guidKey, IUnknown* pUnknown) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockStore() = 0;
  virtual HRESULT STDMETHODCALLTYPE UnlockStore() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCount(UINT32* pcItems) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetItemByIndex(UINT32 unIndex, GUID* pguidKey, PROPVARIANT* pValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE CopyAllItems(IMFAttributes* pDest) = 0;

 protected:
  ~IMFAttributes() = default;
};
KX_DECLARE_UUIDOF(IMFAttributes, IID_IMFAttributes);

#define MF_MEDIATYPE_EQUAL_MAJOR_TYPES 0x00000001
#define MF_MEDIATYPE_EQUAL_FORMAT_TYPES 0x00000002
#define MF_MEDIATYPE_EQUAL_FORMAT_DATA 0x00000004
#define MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA 0x00000008

struct IMFMediaType : public IMFAttributes {
  virtual HRESULT STDMETHODCALLTYPE GetMajorType(GUID* pguidMajorType) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsCompressedFormat(BOOL* pfCompressed) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsEqual(IMFMediaType* pIMediaType, DWORD* pdwFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRepresentation(GUID guidRepresentation, LPVOID* ppvRepresentation) = 0;
  virtual HRESULT STDMETHODCALLTYPE FreeRepresentation(GUID guidRepresentation, LPVOID pvRepresentation) = 0;

 protected:
  ~IMFMediaType() = default;
};
KX_DECLARE_UUIDOF(IMFMediaType, IID_IMFMediaType);

struct IMFCollection : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetElementCount(DWORD* pcElements) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetElement(DWORD dwElementIndex, IUnknown** ppUnkElement) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddElement(IUnknown* pUnkElement) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveElement(DWORD dwElementIndex, IUnknown** ppUnkElement) = 0;
  virtual HRESULT STDMETHODCALLTYPE InsertElementAt(DWORD dwIndex, IUnknown* pUnknown) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveAllElements() = 0;

 protected:
  ~IMFCollection() = default;
};
KX_DECLARE_UUIDOF(IMFCollection, IID_IMFCollection);

struct IMFMediaBuffer : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Lock(BYTE** ppbBuffer, DWORD* pcbMaxLength, DWORD* pcbCurrentLength) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unlock() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCurrentLength(DWORD* pcbCurrentLength) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCurrentLength(DWORD cbCurrentLength) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMaxLength(DWORD* pcbMaxLength) = 0;

 protected:
  ~IMFMediaBuffer() = default;
};
KX_DECLARE_UUIDOF(IMFMediaBuffer, IID_IMFMediaBuffer);

struct IMFSample : public IMFAttributes {
  virtual HRESULT STDMETHODCALLTYPE GetSampleFlags(DWORD* pdwSampleFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSampleFlags(DWORD dwSampleFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSampleTime(LONGLONG* phnsSampleTime) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSampleTime(LONGLONG hnsSampleTime) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSampleDuration(LONGLONG* phnsSampleDuration) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSampleDuration(LONGLONG hnsSampleDuration) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBufferCount(DWORD* pdwBufferCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBufferByIndex(DWORD dwIndex, IMFMediaBuffer** ppBuffer) = 0;
  virtual HRESULT STDMETHODCALLTYPE ConvertToContiguousBuffer(IMFMediaBuffer** ppBuffer) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddBuffer(IMFMediaBuffer* pBuffer) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveBufferByIndex(DWORD dwIndex) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveAllBuffers() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTotalLength(DWORD* pcbTotalLength) = 0;
  virtual HRESULT STDMETHODCALLTYPE CopyToBuffer(IMFMediaBuffer* pBuffer) = 0;

 protected:
  ~IMFSample() = default;
};
KX_DECLARE_UUIDOF(IMFSample, IID_IMFSample);

enum MFVideoInterlaceMode {
  MFVideoInterlace_Unknown = 0,
  MFVideoInterlace_Progressive = 2,
  MFVideoInterlace_FieldInterleavedUpperFirst = 3,
  MFVideoInterlace_FieldInterleavedLowerFirst = 4,
  MFVideoInterlace_FieldSingleUpper = 5,
  MFVideoInterlace_FieldSingleLower = 6,
  MFVideoInterlace_MixedInterlaceOrProgressive = 7,
  MFVideoInterlace_Last = 8,
  MFVideoInterlace_ForceDWORD = 0x7fffffff,
};

struct MFOffset {
  WORD fract;
  short value;
};
struct MFVideoArea {
  MFOffset OffsetX;
  MFOffset OffsetY;
  SIZE Area;
};
static_assert(sizeof(MFVideoArea) == 16, "MFVideoArea is 16 bytes as in the SDK");

// The result of an asynchronous operation, handed to IMFAsyncCallback::Invoke.
struct IMFAsyncResult : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetState(IUnknown** ppunkState) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStatus() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetStatus(HRESULT hrStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObject(IUnknown** ppObject) = 0;
  virtual IUnknown* STDMETHODCALLTYPE GetStateNoAddRef() = 0;

 protected:
  ~IMFAsyncResult() = default;
};
KX_DECLARE_UUIDOF(IMFAsyncResult, IID_IMFAsyncResult);

#define MFASYNC_FAST_IO_PROCESSING_CALLBACK 0x00000001
#define MFASYNC_SIGNAL_CALLBACK 0x00000002
#define MFASYNC_BLOCKING_CALLBACK 0x00000004
#define MFASYNC_REPLY_CALLBACK 0x00000008
#define MFASYNC_LOCALIZE_REMOTE_CALLBACK 0x00000010
#define MFASYNC_CALLBACK_QUEUE_UNDEFINED 0x00000000
#define MFASYNC_CALLBACK_QUEUE_STANDARD 0x00000001
#define MFASYNC_CALLBACK_QUEUE_RT 0x00000002
#define MFASYNC_CALLBACK_QUEUE_IO 0x00000003
#define MFASYNC_CALLBACK_QUEUE_TIMER 0x00000004
#define MFASYNC_CALLBACK_QUEUE_MULTITHREADED 0x00000005
#define MFASYNC_CALLBACK_QUEUE_LONG_FUNCTION 0x00000007

// Called when an asynchronous operation completes, on a thread of the
// platform's, never inside the call that started the operation.
struct IMFAsyncCallback : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetParameters(DWORD* pdwFlags, DWORD* pdwQueue) = 0;
  virtual HRESULT STDMETHODCALLTYPE Invoke(IMFAsyncResult* pAsyncResult) = 0;

 protected:
  ~IMFAsyncCallback() = default;
};
KX_DECLARE_UUIDOF(IMFAsyncCallback, IID_IMFAsyncCallback);

typedef DWORD MediaEventType;

struct IMFMediaEvent : public IMFAttributes {
  virtual HRESULT STDMETHODCALLTYPE GetType(MediaEventType* pmet) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetExtendedType(GUID* pguidExtendedType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStatus(HRESULT* phrStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetValue(PROPVARIANT* pvValue) = 0;

 protected:
  ~IMFMediaEvent() = default;
};
KX_DECLARE_UUIDOF(IMFMediaEvent, IID_IMFMediaEvent);

#define MF_EVENT_FLAG_NO_WAIT 0x00000001

struct IMFMediaEventGenerator : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetEvent(DWORD dwFlags, IMFMediaEvent** ppEvent) = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* pCallback, IUnknown* punkState) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* pResult, IMFMediaEvent** ppEvent) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType met, REFGUID guidExtendedType, HRESULT hrStatus,
                                               const PROPVARIANT* pvValue) = 0;

 protected:
  ~IMFMediaEventGenerator() = default;
};
KX_DECLARE_UUIDOF(IMFMediaEventGenerator, IID_IMFMediaEventGenerator);

// Creates an object on demand (ActivateObject); an attribute store besides.
struct IMFActivate : public IMFAttributes {
  virtual HRESULT STDMETHODCALLTYPE ActivateObject(REFIID riid, void** ppv) = 0;
  virtual HRESULT STDMETHODCALLTYPE ShutdownObject() = 0;
  virtual HRESULT STDMETHODCALLTYPE DetachObject() = 0;

 protected:
  ~IMFActivate() = default;
};
KX_DECLARE_UUIDOF(IMFActivate, IID_IMFActivate);
