// MFCreateASFProfile, MFCreateASFContentInfo and the stream configurations
// of a profile. Only what describes the streams is kept: mutual exclusion,
// prioritization, payload extensions and header generation answer
// E_NOTIMPL.
#include "asf/asf_profile.h"

#include <mutex>
#include <new>

#include "asf/asf_stream_format.h"
#include "attribute_store.h"
#include "media_type_registry.h"
#include "sinkwriter/hresult_av.h"

namespace kx::asf {
namespace {

using kx::av::ComBoundary;

// ASF stream numbers are 7 bits; 0 is none.
constexpr WORD kMaxStreamNumber = 127;

// A copy of a live media type of the layer, once its format is known to fit
// the container; E_INVALIDARG for a pointer that is not a live media type.
HRESULT AcceptType(IMFMediaType* type, kx::ComPtr<IMFMediaType>& copy) {
  if (!kx::mf::ReferenceLiveMediaType(type)) return E_INVALIDARG;
  kx::ComPtr<IMFMediaType> held;
  held.Attach(type);
  StreamFormat format;
  HRESULT hr = StreamFormatFromType(held.Get(), &format);
  if (FAILED(hr)) return hr;
  kx::ComPtr<IMFMediaType> result;
  hr = MFCreateMediaType(&result);
  if (SUCCEEDED(hr)) hr = held->CopyAllItems(result.Get());
  if (FAILED(hr)) return hr;
  copy = std::move(result);
  return S_OK;
}

class StreamConfig final : public kx::mf::AttributesOf<IMFASFStreamConfig> {
 public:
  explicit StreamConfig(kx::ComPtr<IMFMediaType> type, WORD number = 0) : type_(std::move(type)), number_(number) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return kx::mf::QueryInterfaceOf<StreamConfig, IMFASFStreamConfig, IMFAttributes>(this, riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE GetStreamType(GUID* pguidStreamType) override {
    if (!pguidStreamType) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    return type_->GetGUID(MF_MT_MAJOR_TYPE, pguidStreamType);
  }
  WORD STDMETHODCALLTYPE GetStreamNumber() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return number_;
  }
  HRESULT STDMETHODCALLTYPE SetStreamNumber(WORD wStreamNum) override {
    if (wStreamNum == 0 || wStreamNum > kMaxStreamNumber) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    number_ = wStreamNum;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMediaType(IMFMediaType** ppIMediaType) override {
    if (!ppIMediaType) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    type_.CopyTo(ppIMediaType);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetMediaType(IMFMediaType* pIMediaType) override {
    return ComBoundary([&]() -> HRESULT {
      kx::ComPtr<IMFMediaType> copy;
      const HRESULT hr = AcceptType(pIMediaType, copy);
      if (FAILED(hr)) return hr;
      std::lock_guard<std::mutex> lock(mutex_);
      type_ = std::move(copy);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetPayloadExtensionCount(WORD* pcPayloadExtensions) override {
    if (!pcPayloadExtensions) return E_POINTER;
    *pcPayloadExtensions = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPayloadExtension(WORD, GUID*, WORD*, BYTE*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddPayloadExtension(GUID, WORD, BYTE*, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RemoveAllPayloadExtensions() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Clone(IMFASFStreamConfig** ppIStreamConfig) override {
    if (!ppIStreamConfig) return E_POINTER;
    *ppIStreamConfig = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    return kx::mf::Deliver(new (std::nothrow) StreamConfig(type_, number_), ppIStreamConfig);
  }

  ProfileStream Stream() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {number_, type_};
  }

 private:
  std::mutex mutex_;
  kx::ComPtr<IMFMediaType> type_;
  WORD number_;
};

// The identity of this layer's own objects, asked for through
// QueryInterface, so that a stream configuration or profile made elsewhere
// is refused instead of being taken for one of ours.
KX_DEFINE_GUID(IID_KxAsfProfileStreams, 0x6B3E51C4, 0x2F0A, 0x4D7E, 0x9C, 0x61, 0x0E, 0x55, 0x7A, 0x12, 0xB4, 0x3D);

class Profile final : public kx::mf::AttributesOf<IMFASFProfile> {
 public:
  Profile() = default;
  explicit Profile(std::vector<ProfileStream> streams) : streams_(std::move(streams)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv && riid == IID_KxAsfProfileStreams) {
      AddRef();
      *ppv = static_cast<IUnknown*>(this);
      return S_OK;
    }
    return kx::mf::QueryInterfaceOf<Profile, IMFASFProfile, IMFAttributes>(this, riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* pcStreams) override {
    if (!pcStreams) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    *pcStreams = static_cast<DWORD>(streams_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStream(DWORD dwStreamIndex, WORD* pwStreamNumber,
                                      IMFASFStreamConfig** ppIStream) override {
    if (ppIStream) *ppIStream = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (dwStreamIndex >= streams_.size()) return MF_E_INVALIDINDEX;
    return Deliver(streams_[dwStreamIndex], pwStreamNumber, ppIStream);
  }
  HRESULT STDMETHODCALLTYPE GetStreamByNumber(WORD wStreamNumber, IMFASFStreamConfig** ppIStream) override {
    if (!ppIStream) return E_POINTER;
    *ppIStream = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const ProfileStream& stream : streams_) {
      if (stream.number == wStreamNumber) return Deliver(stream, nullptr, ppIStream);
    }
    return MF_E_INVALIDSTREAMNUMBER;
  }
  // Adds the configuration's stream, or replaces the stream of that number.
  HRESULT STDMETHODCALLTYPE SetStream(IMFASFStreamConfig* pIStream) override {
    return ComBoundary([&]() -> HRESULT {
      if (!pIStream) return E_INVALIDARG;
      kx::ComPtr<IMFASFStreamConfig> config;
      if (FAILED(pIStream->QueryInterface(IID_PPV_ARGS(&config)))) return E_INVALIDARG;
      ProfileStream stream;
      stream.number = config->GetStreamNumber();
      if (stream.number == 0 || stream.number > kMaxStreamNumber) return MF_E_INVALIDSTREAMNUMBER;
      HRESULT hr = config->GetMediaType(&stream.type);
      if (FAILED(hr)) return hr;
      if (!kx::mf::IsLiveMediaType(stream.type.Get())) return E_INVALIDARG;
      std::lock_guard<std::mutex> lock(mutex_);
      for (ProfileStream& existing : streams_) {
        if (existing.number == stream.number) {
          existing = std::move(stream);
          return S_OK;
        }
      }
      streams_.push_back(std::move(stream));
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE RemoveStream(WORD wStreamNumber) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = streams_.begin(); it != streams_.end(); ++it) {
      if (it->number == wStreamNumber) {
        streams_.erase(it);
        return S_OK;
      }
    }
    return MF_E_INVALIDSTREAMNUMBER;
  }
  HRESULT STDMETHODCALLTYPE CreateStream(IMFMediaType* pIMediaType, IMFASFStreamConfig** ppIStream) override {
    if (!ppIStream) return E_POINTER;
    *ppIStream = nullptr;
    return ComBoundary([&]() -> HRESULT {
      kx::ComPtr<IMFMediaType> copy;
      const HRESULT hr = AcceptType(pIMediaType, copy);
      if (FAILED(hr)) return hr;
      return kx::mf::Deliver(new (std::nothrow) StreamConfig(std::move(copy)), ppIStream);
    });
  }
  HRESULT STDMETHODCALLTYPE GetMutualExclusionCount(DWORD* pcMutexs) override {
    if (!pcMutexs) return E_POINTER;
    *pcMutexs = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMutualExclusion(DWORD, IMFASFMutualExclusion**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddMutualExclusion(IMFASFMutualExclusion*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RemoveMutualExclusion(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateMutualExclusion(IMFASFMutualExclusion**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStreamPrioritization(IMFASFStreamPrioritization**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddStreamPrioritization(IMFASFStreamPrioritization*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RemoveStreamPrioritization() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateStreamPrioritization(IMFASFStreamPrioritization**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IMFASFProfile** ppIProfile) override {
    if (!ppIProfile) return E_POINTER;
    *ppIProfile = nullptr;
    return ComBoundary([&]() -> HRESULT {
      return kx::mf::Deliver(new (std::nothrow) Profile(Streams()), ppIProfile);
    });
  }

  std::vector<ProfileStream> Streams() {
    std::lock_guard<std::mutex> lock(mutex_);
    return streams_;
  }

 private:
  static HRESULT Deliver(const ProfileStream& stream, WORD* number, IMFASFStreamConfig** out) {
    if (number) *number = stream.number;
    if (!out) return S_OK;
    return kx::mf::Deliver(new (std::nothrow) StreamConfig(stream.type, stream.number), out);
  }

  std::mutex mutex_;
  std::vector<ProfileStream> streams_;
};

class ContentInfo final : public kx::mf::ComObject<IMFASFContentInfo> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv && riid == IID_KxAsfProfileStreams) {
      AddRef();
      *ppv = static_cast<IUnknown*>(this);
      return S_OK;
    }
    return kx::mf::QueryInterfaceOf<ContentInfo, IMFASFContentInfo>(this, riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE GetHeaderSize(IMFMediaBuffer*, QWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ParseHeader(IMFMediaBuffer*, QWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GenerateHeader(IMFMediaBuffer*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetProfile(IMFASFProfile** ppIProfile) override {
    if (!ppIProfile) return E_POINTER;
    *ppIProfile = nullptr;
    return ComBoundary([&]() -> HRESULT {
      std::vector<ProfileStream> streams;
      const HRESULT hr = Streams(&streams);
      if (FAILED(hr)) return hr;
      return kx::mf::Deliver(new (std::nothrow) Profile(std::move(streams)), ppIProfile);
    });
  }
  // Keeps the profile's streams as they are now: later changes to the
  // profile do not reach the content information.
  HRESULT STDMETHODCALLTYPE SetProfile(IMFASFProfile* pIProfile) override {
    return ComBoundary([&]() -> HRESULT {
      if (!pIProfile) return E_INVALIDARG;
      IUnknown* ours = nullptr;
      if (FAILED(pIProfile->QueryInterface(IID_KxAsfProfileStreams, reinterpret_cast<void**>(&ours)))) {
        return E_INVALIDARG;
      }
      auto* profile = static_cast<Profile*>(ours);
      std::vector<ProfileStream> streams = profile->Streams();
      profile->Release();
      std::lock_guard<std::mutex> lock(mutex_);
      streams_ = std::move(streams);
      hasProfile_ = true;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GeneratePresentationDescriptor(IMFPresentationDescriptor**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetEncodingConfigurationPropertyStore(WORD, IPropertyStore**) override {
    return E_NOTIMPL;
  }

  HRESULT Streams(std::vector<ProfileStream>* streams) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!hasProfile_) return MF_E_NOT_INITIALIZED;
    *streams = streams_;
    return S_OK;
  }

 private:
  std::mutex mutex_;
  bool hasProfile_ = false;
  std::vector<ProfileStream> streams_;
};

}  // namespace

HRESULT ProfileStreamsOf(IMFASFContentInfo* info, std::vector<ProfileStream>* streams) {
  if (!info) return E_INVALIDARG;
  IUnknown* ours = nullptr;
  if (FAILED(info->QueryInterface(IID_KxAsfProfileStreams, reinterpret_cast<void**>(&ours)))) return E_INVALIDARG;
  auto* contentInfo = static_cast<ContentInfo*>(ours);
  const HRESULT hr = ComBoundary([&] { return contentInfo->Streams(streams); });
  contentInfo->Release();
  return hr;
}

}  // namespace kx::asf

extern "C" {

HRESULT MFCreateASFContentInfo(IMFASFContentInfo** ppIContentInfo) {
  if (!ppIContentInfo) return E_POINTER;
  *ppIContentInfo = nullptr;
  return kx::mf::Deliver(new (std::nothrow) kx::asf::ContentInfo(), ppIContentInfo);
}

HRESULT MFCreateASFProfile(IMFASFProfile** ppIProfile) {
  if (!ppIProfile) return E_POINTER;
  *ppIProfile = nullptr;
  return kx::mf::Deliver(new (std::nothrow) kx::asf::Profile(), ppIProfile);
}

}  // extern "C"
