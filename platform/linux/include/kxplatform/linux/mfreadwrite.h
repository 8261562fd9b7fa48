// The sink writer for the Linux Media Foundation layer, with the Windows
// SDK's interfaces, method order, identifiers and constants (mfreadwrite.h,
// mftransform.h): IMFSinkWriter, IMFSinkWriterEx, IMFSinkWriterCallback,
// MFCreateSinkWriterFromURL.
#pragma once

#include "mfobjects.h"
#include "unknwn.h"
#include "wintypes.h"

// A byte stream: only passed as null here (the writer writes to a path).
struct IMFByteStream;

KX_DEFINE_GUID(IID_IMFTransform, 0xBF94C121, 0x5B05, 0x4E6F, 0x80, 0x00, 0xBA, 0x59, 0x89, 0x61, 0x41, 0x4D);
// A Media Foundation transform. The layer's encoders are not transforms, so
// no method beyond IUnknown is ever called on one.
struct IMFTransform : public IUnknown {
 protected:
  ~IMFTransform() = default;
};
KX_DECLARE_UUIDOF(IMFTransform, IID_IMFTransform);

enum {
  MF_SINK_WRITER_INVALID_STREAM_INDEX = 0xFFFFFFFF,
  MF_SINK_WRITER_ALL_STREAMS = 0xFFFFFFFE,
  MF_SINK_WRITER_MEDIASINK = 0xFFFFFFFF
};

struct MF_SINK_WRITER_STATISTICS {
  DWORD cb;
  LONGLONG llLastTimestampReceived;
  LONGLONG llLastTimestampEncoded;
  LONGLONG llLastTimestampProcessed;
  LONGLONG llLastStreamTickReceived;
  LONGLONG llLastSinkSampleRequest;
  QWORD qwNumSamplesReceived;
  QWORD qwNumSamplesEncoded;
  QWORD qwNumSamplesProcessed;
  QWORD qwNumStreamTicksReceived;
  DWORD dwByteCountQueued;
  QWORD qwByteCountProcessed;
  DWORD dwNumOutstandingSinkSampleRequests;
  DWORD dwAverageSampleRateReceived;
  DWORD dwAverageSampleRateEncoded;
  DWORD dwAverageSampleRateProcessed;
};
static_assert(sizeof(MF_SINK_WRITER_STATISTICS) == 112, "MF_SINK_WRITER_STATISTICS as laid out by the SDK");

KX_DEFINE_GUID(CLSID_MFSinkWriter, 0xA3BBFB17, 0x8273, 0x4E52, 0x9E, 0x0E, 0x97, 0x39, 0xDC, 0x88, 0x79, 0x90);
KX_DEFINE_GUID(MF_SINK_WRITER_ASYNC_CALLBACK, 0x48CB183E, 0x7B0B, 0x46F4, 0x82, 0x2E, 0x5E, 0x1D, 0x2D, 0xDA, 0x43,
               0x54);
KX_DEFINE_GUID(MF_SINK_WRITER_DISABLE_THROTTLING, 0x08B845D8, 0x2B74, 0x4AFE, 0x9D, 0x53, 0xBE, 0x16, 0xD2, 0xD5,
               0xAE, 0x4F);
KX_DEFINE_GUID(MF_SINK_WRITER_D3D_MANAGER, 0xEC822DA2, 0xE1E9, 0x4B29, 0xA0, 0xD8, 0x56, 0x3C, 0x71, 0x9F, 0x52,
               0x69);
KX_DEFINE_GUID(MF_SINK_WRITER_ENCODER_CONFIG, 0xAD91CD04, 0xA7CC, 0x4AC7, 0x99, 0xB6, 0xA5, 0x7B, 0x9A, 0x4A, 0x7C,
               0x70);
KX_DEFINE_GUID(MF_READWRITE_DISABLE_CONVERTERS, 0x98D5B065, 0x1374, 0x4847, 0x8D, 0x5D, 0x31, 0x52, 0x0F, 0xEE, 0x71,
               0x56);
KX_DEFINE_GUID(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, 0xA634A91C, 0x822B, 0x41B9, 0xA4, 0x94, 0x4D, 0xE4, 0x64,
               0x36, 0x12, 0xB0);

KX_DEFINE_GUID(IID_IMFSinkWriter, 0x3137F1CD, 0xFE5E, 0x4805, 0xA5, 0xD8, 0xFB, 0x47, 0x74, 0x48, 0xCB, 0x3D);
struct IMFSinkWriter : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddStream(IMFMediaType* pTargetMediaType, DWORD* pdwStreamIndex) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetInputMediaType(DWORD dwStreamIndex, IMFMediaType* pInputMediaType,
                                                      IMFAttributes* pEncodingParameters) = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginWriting() = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteSample(DWORD dwStreamIndex, IMFSample* pSample) = 0;
  virtual HRESULT STDMETHODCALLTYPE SendStreamTick(DWORD dwStreamIndex, LONGLONG llTimestamp) = 0;
  virtual HRESULT STDMETHODCALLTYPE PlaceMarker(DWORD dwStreamIndex, LPVOID pvContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE NotifyEndOfSegment(DWORD dwStreamIndex) = 0;
  virtual HRESULT STDMETHODCALLTYPE Flush(DWORD dwStreamIndex) = 0;
  virtual HRESULT STDMETHODCALLTYPE Finalize() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetServiceForStream(DWORD dwStreamIndex, REFGUID guidService, REFIID riid,
                                                        LPVOID* ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStatistics(DWORD dwStreamIndex, MF_SINK_WRITER_STATISTICS* pStats) = 0;

 protected:
  ~IMFSinkWriter() = default;
};
KX_DECLARE_UUIDOF(IMFSinkWriter, IID_IMFSinkWriter);

KX_DEFINE_GUID(IID_IMFSinkWriterEx, 0x588D72AB, 0x5BC1, 0x496A, 0x87, 0x14, 0xB7, 0x06, 0x17, 0x14, 0x1B, 0x25);
struct IMFSinkWriterEx : public IMFSinkWriter {
  virtual HRESULT STDMETHODCALLTYPE GetTransformForStream(DWORD dwStreamIndex, DWORD dwTransformIndex,
                                                          GUID* pGuidCategory, IMFTransform** ppTransform) = 0;

 protected:
  ~IMFSinkWriterEx() = default;
};
KX_DECLARE_UUIDOF(IMFSinkWriterEx, IID_IMFSinkWriterEx);

KX_DEFINE_GUID(IID_IMFSinkWriterCallback, 0x666F76DE, 0x33D2, 0x41B9, 0xA4, 0x58, 0x29, 0xED, 0x0A, 0x97, 0x2C, 0x58);
struct IMFSinkWriterCallback : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnFinalize(HRESULT hrStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnMarker(DWORD dwStreamIndex, LPVOID pvContext) = 0;

 protected:
  ~IMFSinkWriterCallback() = default;
};
KX_DECLARE_UUIDOF(IMFSinkWriterCallback, IID_IMFSinkWriterCallback);

// Creates a sink writer that writes the file at pwszOutputURL. The container
// follows the extension: .wmv .wma .asf give ASF, .mp4 .m4v .m4a MPEG-4.
// pByteStream must be null. Attributes read: MF_SINK_WRITER_ASYNC_CALLBACK,
// MF_LOW_LATENCY.
STDAPI MFCreateSinkWriterFromURL(LPCWSTR pwszOutputURL, IMFByteStream* pByteStream, IMFAttributes* pAttributes,
                                 IMFSinkWriter** ppSinkWriter);
