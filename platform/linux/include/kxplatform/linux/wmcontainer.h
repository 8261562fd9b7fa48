// The ASF profile, stream configuration and content information interfaces
// for the Linux Media Foundation layer, with the Windows SDK's method order
// and identifiers (wmcontainer.h). The functions that create them are in
// mfidl.h, as mingw-w64 declares them.
#pragma once

#include "mfidl.h"
#include "mfobjects.h"
#include "unknwn.h"
#include "wintypes.h"

// Passed only as pointers; the layer answers E_NOTIMPL where they appear.
struct IMFASFMutualExclusion;
struct IMFASFStreamPrioritization;
struct IMFPresentationDescriptor;
struct IPropertyStore;

KX_DEFINE_GUID(IID_IMFASFProfile, 0xD267BF6A, 0x028B, 0x4E0D, 0x90, 0x3D, 0x43, 0xF0, 0xEF, 0x82, 0xD0, 0xD4);
KX_DEFINE_GUID(IID_IMFASFStreamConfig, 0x9E8AE8D2, 0xDBBD, 0x4200, 0x9A, 0xCA, 0x06, 0xE6, 0xDF, 0x48, 0x49, 0x13);
KX_DEFINE_GUID(IID_IMFASFContentInfo, 0xB1DCA5CD, 0xD5DA, 0x4451, 0x8E, 0x9E, 0xDB, 0x5C, 0x59, 0x91, 0x4E, 0xAD);

struct IMFASFStreamConfig : public IMFAttributes {
  virtual HRESULT STDMETHODCALLTYPE GetStreamType(GUID* pguidStreamType) = 0;
  virtual WORD STDMETHODCALLTYPE GetStreamNumber() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetStreamNumber(WORD wStreamNum) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMediaType(IMFMediaType** ppIMediaType) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetMediaType(IMFMediaType* pIMediaType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPayloadExtensionCount(WORD* pcPayloadExtensions) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPayloadExtension(WORD wPayloadExtensionNumber, GUID* pguidExtensionSystemID,
                                                        WORD* pcbExtensionDataSize, BYTE* pbExtensionSystemInfo,
                                                        DWORD* pcbExtensionSystemInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddPayloadExtension(GUID guidExtensionSystemID, WORD cbExtensionDataSize,
                                                        BYTE* pbExtensionSystemInfo, DWORD cbExtensionSystemInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveAllPayloadExtensions() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IMFASFStreamConfig** ppIStreamConfig) = 0;

 protected:
  ~IMFASFStreamConfig() = default;
};
KX_DECLARE_UUIDOF(IMFASFStreamConfig, IID_IMFASFStreamConfig);

struct IMFASFProfile : public IMFAttributes {
  virtual HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* pcStreams) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStream(DWORD dwStreamIndex, WORD* pwStreamNumber,
                                              IMFASFStreamConfig** ppIStream) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamByNumber(WORD wStreamNumber, IMFASFStreamConfig** ppIStream) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetStream(IMFASFStreamConfig* pIStream) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveStream(WORD wStreamNumber) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateStream(IMFMediaType* pIMediaType, IMFASFStreamConfig** ppIStream) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMutualExclusionCount(DWORD* pcMutexs) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMutualExclusion(DWORD dwMutexIndex, IMFASFMutualExclusion** ppIMutex) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddMutualExclusion(IMFASFMutualExclusion* pIMutex) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveMutualExclusion(DWORD dwMutexIndex) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateMutualExclusion(IMFASFMutualExclusion** ppIMutex) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamPrioritization(
      IMFASFStreamPrioritization** ppIStreamPrioritization) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddStreamPrioritization(IMFASFStreamPrioritization* pIStreamPrioritization) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveStreamPrioritization() = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateStreamPrioritization(
      IMFASFStreamPrioritization** ppIStreamPrioritization) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IMFASFProfile** ppIProfile) = 0;

 protected:
  ~IMFASFProfile() = default;
};
KX_DECLARE_UUIDOF(IMFASFProfile, IID_IMFASFProfile);

struct IMFASFContentInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetHeaderSize(IMFMediaBuffer* pIStartOfContent, QWORD* cbHeaderSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE ParseHeader(IMFMediaBuffer* pIHeaderBuffer, QWORD cbOffsetWithinHeader) = 0;
  virtual HRESULT STDMETHODCALLTYPE GenerateHeader(IMFMediaBuffer* pIHeader, DWORD* pcbHeader) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProfile(IMFASFProfile** ppIProfile) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetProfile(IMFASFProfile* pIProfile) = 0;
  virtual HRESULT STDMETHODCALLTYPE GeneratePresentationDescriptor(
      IMFPresentationDescriptor** ppIPresentationDescriptor) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetEncodingConfigurationPropertyStore(WORD wStreamNumber,
                                                                          IPropertyStore** ppIStore) = 0;

 protected:
  ~IMFASFContentInfo() = default;
};
KX_DECLARE_UUIDOF(IMFASFContentInfo, IID_IMFASFContentInfo);
