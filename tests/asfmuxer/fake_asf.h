// The ASF platform as MuxerWMV sees it, faked: profile, stream
// configuration, content information, activation object, media sink and
// stream sinks that record each call and refuse any of them on demand. One
// AsfRecord at a time receives the calls (AsfRecord::current).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fake_com.h"
#include "kxasfmuxer/muxer_wmv.h"
#include "kxplatform/scoped.h"

namespace kx::test {

struct AsfRecord {
  // " CreateStream SetStreamNumber(1) ... ProcessSample(2: time duration attribute-count bytes,)"
  std::string calls;
  std::map<std::string, HRESULT> refuse;  // call name (without arguments) -> its result
  AsfRecord() { current = this; }
  ~AsfRecord() { current = nullptr; }
  static inline AsfRecord* current = nullptr;
  static HRESULT Enter(const std::string& name, const std::string& args = {}) {
    current->calls += " " + name + args;
    return current->refuse.count(name) != 0 ? current->refuse.at(name) : S_OK;
  }
  MuxerEntryPoints EntryPoints() const;
};

// The object a fake factory or getter hands out, unless the call is refused.
template <typename Made, typename Out, typename... Args>
HRESULT Hand(HRESULT hr, Out** out, Args... args) {
  if (SUCCEEDED(hr)) *out = new Made(args...);
  return hr;
}

#define KX_NOTIMPL(name, params) \
  HRESULT STDMETHODCALLTYPE name params override { return E_NOTIMPL; }

class FakeStreamConfig final : public AttributesOver<IMFASFStreamConfig> {
 public:
  WORD STDMETHODCALLTYPE GetStreamNumber() override { return 0; }
  HRESULT STDMETHODCALLTYPE SetStreamNumber(WORD n) override {
    return AsfRecord::Enter("SetStreamNumber", "(" + std::to_string(n) + ")");
  }
  KX_NOTIMPL(GetStreamType, (GUID*)) KX_NOTIMPL(GetMediaType, (IMFMediaType**))
  KX_NOTIMPL(SetMediaType, (IMFMediaType*)) KX_NOTIMPL(Clone, (IMFASFStreamConfig**))
  KX_NOTIMPL(GetPayloadExtensionCount, (WORD*)) KX_NOTIMPL(GetPayloadExtension, (WORD, GUID*, WORD*, BYTE*, DWORD*))
  KX_NOTIMPL(AddPayloadExtension, (GUID, WORD, BYTE*, DWORD)) KX_NOTIMPL(RemoveAllPayloadExtensions, ())
};

class FakeProfile final : public AttributesOver<IMFASFProfile> {
 public:
  HRESULT STDMETHODCALLTYPE SetStream(IMFASFStreamConfig*) override { return AsfRecord::Enter("SetStream"); }
  HRESULT STDMETHODCALLTYPE CreateStream(IMFMediaType*, IMFASFStreamConfig** out) override {
    return Hand<FakeStreamConfig>(AsfRecord::Enter("CreateStream"), out);
  }
  KX_NOTIMPL(GetStreamCount, (DWORD*)) KX_NOTIMPL(GetStream, (DWORD, WORD*, IMFASFStreamConfig**))
  KX_NOTIMPL(GetStreamByNumber, (WORD, IMFASFStreamConfig**)) KX_NOTIMPL(RemoveStream, (WORD))
  KX_NOTIMPL(GetMutualExclusionCount, (DWORD*)) KX_NOTIMPL(GetMutualExclusion, (DWORD, IMFASFMutualExclusion**))
  KX_NOTIMPL(AddMutualExclusion, (IMFASFMutualExclusion*)) KX_NOTIMPL(RemoveMutualExclusion, (DWORD))
  KX_NOTIMPL(CreateMutualExclusion, (IMFASFMutualExclusion**)) KX_NOTIMPL(Clone, (IMFASFProfile**))
  KX_NOTIMPL(GetStreamPrioritization, (IMFASFStreamPrioritization**)) KX_NOTIMPL(RemoveStreamPrioritization, ())
  KX_NOTIMPL(AddStreamPrioritization, (IMFASFStreamPrioritization*))
  KX_NOTIMPL(CreateStreamPrioritization, (IMFASFStreamPrioritization**))
};

class FakeContentInfo final : public Fake<IMFASFContentInfo> {
 public:
  HRESULT STDMETHODCALLTYPE SetProfile(IMFASFProfile*) override { return AsfRecord::Enter("SetProfile"); }
  KX_NOTIMPL(GetHeaderSize, (IMFMediaBuffer*, QWORD*)) KX_NOTIMPL(ParseHeader, (IMFMediaBuffer*, QWORD))
  KX_NOTIMPL(GenerateHeader, (IMFMediaBuffer*, DWORD*)) KX_NOTIMPL(GetProfile, (IMFASFProfile**))
  KX_NOTIMPL(GeneratePresentationDescriptor, (IMFPresentationDescriptor**))
  KX_NOTIMPL(GetEncodingConfigurationPropertyStore, (WORD, IPropertyStore**))
};

class FakeStreamSink final : public Fake<IMFStreamSink, IMFMediaEventGenerator> {
 public:
  explicit FakeStreamSink(DWORD number) : id(number) {}
  const DWORD id;
  HRESULT STDMETHODCALLTYPE ProcessSample(IMFSample* sample) override {
    LONGLONG time = 0, duration = 0;
    UINT32 attributes = 0;
    ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(sample->GetSampleTime(&time)) || FAILED(sample->GetSampleDuration(&duration)) ||
        FAILED(sample->GetCount(&attributes)) || FAILED(sample->ConvertToContiguousBuffer(&buffer))) {
      return E_INVALIDARG;
    }
    ScopedBufferLock lock(buffer.Get());
    std::string text = "(" + std::to_string(id) + ": " + std::to_string(time) + " " + std::to_string(duration) + " " +
                       std::to_string(attributes) + " ";
    for (DWORD i = 0; i < lock.currentLength(); ++i) text += std::to_string(lock.data()[i]) + ",";
    return AsfRecord::Enter("ProcessSample", text + ")");
  }
  KX_NOTIMPL(GetEvent, (DWORD, IMFMediaEvent**)) KX_NOTIMPL(BeginGetEvent, (IMFAsyncCallback*, IUnknown*))
  KX_NOTIMPL(EndGetEvent, (IMFAsyncResult*, IMFMediaEvent**))
  KX_NOTIMPL(QueueEvent, (MediaEventType, REFGUID, HRESULT, const PROPVARIANT*))
  KX_NOTIMPL(GetMediaSink, (IMFMediaSink**)) KX_NOTIMPL(GetIdentifier, (DWORD*))
  KX_NOTIMPL(GetMediaTypeHandler, (IMFMediaTypeHandler**)) KX_NOTIMPL(Flush, ())
  KX_NOTIMPL(PlaceMarker, (MFSTREAMSINK_MARKER_TYPE, const PROPVARIANT*, const PROPVARIANT*))
};

class FakeMediaSink final : public Fake<IMFFinalizableMediaSink, IMFMediaSink> {
 public:
  HRESULT STDMETHODCALLTYPE GetStreamSinkById(DWORD id, IMFStreamSink** out) override {
    return Hand<FakeStreamSink>(AsfRecord::Enter("GetStreamSinkById", "(" + std::to_string(id) + ")"), out, id);
  }
  HRESULT STDMETHODCALLTYPE SetPresentationClock(IMFPresentationClock*) override {
    return AsfRecord::Enter("SetPresentationClock");
  }
  HRESULT STDMETHODCALLTYPE Shutdown() override { return AsfRecord::Enter("Shutdown"); }
  // Completes at once, on the caller's thread, as a sink may.
  HRESULT STDMETHODCALLTYPE BeginFinalize(IMFAsyncCallback* callback, IUnknown*) override {
    if (const HRESULT hr = AsfRecord::Enter("BeginFinalize"); FAILED(hr)) return hr;
    return callback->Invoke(nullptr);
  }
  HRESULT STDMETHODCALLTYPE EndFinalize(IMFAsyncResult*) override { return AsfRecord::Enter("EndFinalize"); }
  KX_NOTIMPL(GetCharacteristics, (DWORD*)) KX_NOTIMPL(AddStreamSink, (DWORD, IMFMediaType*, IMFStreamSink**))
  KX_NOTIMPL(RemoveStreamSink, (DWORD)) KX_NOTIMPL(GetStreamSinkCount, (DWORD*))
  KX_NOTIMPL(GetStreamSinkByIndex, (DWORD, IMFStreamSink**)) KX_NOTIMPL(GetPresentationClock, (IMFPresentationClock**))
};

class FakeActivate final : public AttributesOver<IMFActivate> {
 public:
  HRESULT STDMETHODCALLTYPE ActivateObject(REFIID riid, void** out) override {
    if (const HRESULT hr = AsfRecord::Enter("ActivateObject"); FAILED(hr)) return hr;
    return Make<FakeMediaSink>()->QueryInterface(riid, out);
  }
  KX_NOTIMPL(ShutdownObject, ()) KX_NOTIMPL(DetachObject, ())
};
#undef KX_NOTIMPL

// The factories: refused on demand (AsfRecord::refuse); samples and buffers
// are the platform's own.
inline MuxerEntryPoints AsfRecord::EntryPoints() const {
  return {
      .createASFContentInfo = [](IMFASFContentInfo** out) {
        return Hand<FakeContentInfo>(Enter("MFCreateASFContentInfo"), out);
      },
      .createASFProfile = [](IMFASFProfile** out) { return Hand<FakeProfile>(Enter("MFCreateASFProfile"), out); },
      .createASFMediaSinkActivate = [](LPCWSTR, IMFASFContentInfo*, IMFActivate** out) {
        return Hand<FakeActivate>(Enter("MFCreateASFMediaSinkActivate"), out);
      },
      .createSample = [](IMFSample** out) {
        const HRESULT hr = Enter("MFCreateSample");
        return FAILED(hr) ? hr : MFCreateSample(out);
      },
      .createMemoryBuffer = [](DWORD length, IMFMediaBuffer** out) {
        const HRESULT hr = Enter("MFCreateMemoryBuffer");
        return FAILED(hr) ? hr : MFCreateMemoryBuffer(length, out);
      },
  };
}

}  // namespace kx::test
