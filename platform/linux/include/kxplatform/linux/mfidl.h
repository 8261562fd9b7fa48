// Media sinks for the Linux Media Foundation layer, with the Windows SDK's
// interfaces, method order, identifiers and constants (mfidl.h):
// IMFMediaSink, IMFStreamSink, IMFFinalizableMediaSink, IMFMediaTypeHandler,
// and the functions that make the ASF profile, content information and
// media sink activation object (the interfaces are in wmcontainer.h).
#pragma once

#include "mfobjects.h"
#include "unknwn.h"
#include "wintypes.h"

// Passed only as a pointer: the layer's sinks run without a clock.
struct IMFPresentationClock;
struct IMFASFContentInfo;
struct IMFASFProfile;

KX_DEFINE_GUID(IID_IMFPresentationClock, 0x868CE85C, 0x8EA9, 0x4F55, 0xAB, 0x82, 0xB0, 0x09, 0xA9, 0x10, 0xA8, 0x05);
KX_DEFINE_GUID(IID_IMFMediaTypeHandler, 0xE93DCF6C, 0x4B07, 0x4E1E, 0x81, 0x23, 0xAA, 0x16, 0xED, 0x6E, 0xAD, 0xF5);
KX_DEFINE_GUID(IID_IMFMediaSink, 0x6EF2A660, 0x47C0, 0x4666, 0xB1, 0x3D, 0xCB, 0xB7, 0x17, 0xF2, 0xFA, 0x2C);
KX_DEFINE_GUID(IID_IMFStreamSink, 0x0A97B3CF, 0x8E7C, 0x4A3D, 0x8F, 0x8C, 0x0C, 0x84, 0x3D, 0xC2, 0x47, 0xFB);
KX_DEFINE_GUID(IID_IMFFinalizableMediaSink, 0xEAECB74A, 0x9A50, 0x42CE, 0x95, 0x41, 0x6A, 0x7F, 0x57, 0xAA, 0x4A,
               0xD7);

// Media sink characteristics (IMFMediaSink::GetCharacteristics).
#define MEDIASINK_FIXED_STREAMS 0x00000001
#define MEDIASINK_CANNOT_MATCH_CLOCK 0x00000002
#define MEDIASINK_RATELESS 0x00000004
#define MEDIASINK_CLOCK_REQUIRED 0x00000008
#define MEDIASINK_CAN_PREROLL 0x00000010
#define MEDIASINK_REQUIRE_REFERENCE_MEDIATYPE 0x00000020

enum MFSTREAMSINK_MARKER_TYPE {
  MFSTREAMSINK_MARKER_DEFAULT = 0,
  MFSTREAMSINK_MARKER_ENDOFSEGMENT = 1,
  MFSTREAMSINK_MARKER_TICK = 2,
  MFSTREAMSINK_MARKER_EVENT = 3,
};

struct IMFMediaTypeHandler : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE IsMediaTypeSupported(IMFMediaType* pMediaType, IMFMediaType** ppMediaType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMediaTypeCount(DWORD* pdwTypeCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMediaTypeByIndex(DWORD dwIndex, IMFMediaType** ppType) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCurrentMediaType(IMFMediaType* pMediaType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCurrentMediaType(IMFMediaType** ppMediaType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMajorType(GUID* pguidMajorType) = 0;

 protected:
  ~IMFMediaTypeHandler() = default;
};
KX_DECLARE_UUIDOF(IMFMediaTypeHandler, IID_IMFMediaTypeHandler);

struct IMFStreamSink;

struct IMFMediaSink : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetCharacteristics(DWORD* pdwCharacteristics) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddStreamSink(DWORD dwStreamSinkIdentifier, IMFMediaType* pMediaType,
                                                  IMFStreamSink** ppStreamSink) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveStreamSink(DWORD dwStreamSinkIdentifier) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamSinkCount(DWORD* pcStreamSinkCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamSinkByIndex(DWORD dwIndex, IMFStreamSink** ppStreamSink) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamSinkById(DWORD dwStreamSinkIdentifier, IMFStreamSink** ppStreamSink) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetPresentationClock(IMFPresentationClock* pPresentationClock) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPresentationClock(IMFPresentationClock** ppPresentationClock) = 0;
  virtual HRESULT STDMETHODCALLTYPE Shutdown() = 0;

 protected:
  ~IMFMediaSink() = default;
};
KX_DECLARE_UUIDOF(IMFMediaSink, IID_IMFMediaSink);

struct IMFStreamSink : public IMFMediaEventGenerator {
  virtual HRESULT STDMETHODCALLTYPE GetMediaSink(IMFMediaSink** ppMediaSink) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIdentifier(DWORD* pdwIdentifier) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMediaTypeHandler(IMFMediaTypeHandler** ppHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE ProcessSample(IMFSample* pSample) = 0;
  virtual HRESULT STDMETHODCALLTYPE PlaceMarker(MFSTREAMSINK_MARKER_TYPE eMarkerType, const PROPVARIANT* pvarMarkerValue,
                                                const PROPVARIANT* pvarContextValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE Flush() = 0;

 protected:
  ~IMFStreamSink() = default;
};
KX_DECLARE_UUIDOF(IMFStreamSink, IID_IMFStreamSink);

struct IMFFinalizableMediaSink : public IMFMediaSink {
  virtual HRESULT STDMETHODCALLTYPE BeginFinalize(IMFAsyncCallback* pCallback, IUnknown* punkState) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndFinalize(IMFAsyncResult* pResult) = 0;

 protected:
  ~IMFFinalizableMediaSink() = default;
};
KX_DECLARE_UUIDOF(IMFFinalizableMediaSink, IID_IMFFinalizableMediaSink);

// A new, empty ASF content information object.
STDAPI MFCreateASFContentInfo(IMFASFContentInfo** ppIContentInfo);
// A new, empty ASF profile (an attribute store holding stream configurations).
STDAPI MFCreateASFProfile(IMFASFProfile** ppIProfile);
// An activation object whose ActivateObject(IID_IMFMediaSink) creates the file
// at pwszFileName and returns an ASF media sink with one stream sink per
// stream of pContentInfo's profile, each identified by its stream number.
STDAPI MFCreateASFMediaSinkActivate(LPCWSTR pwszFileName, IMFASFContentInfo* pContentInfo,
                                    IMFActivate** ppIActivate);
