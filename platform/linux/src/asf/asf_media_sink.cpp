// MFCreateASFMediaSinkActivate and the ASF media sink it activates: one
// stream sink per profile stream, each taking ready compressed samples at
// once (no presentation clock) and handing them to the shared libavformat
// muxing core unchanged. The path is opened (created or truncated) only when
// the set-up is complete, every stream's sink handed out, or by the first
// sample or a finalize: a sink let go before, as after a set-up that failed
// once the sink was made, leaves the path as it was. The
// file is finished exactly once: at EndFinalize's operation, at Shutdown, or
// at the release of the last reference to the sink and its stream sinks,
// whichever comes first.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "asf/asf_profile.h"
#include "asf/asf_stream_format.h"
#include "attribute_store.h"
#include "sinkwriter/av_muxer.h"
#include "sinkwriter/hresult_av.h"

namespace kx::asf {
namespace {

using kx::ComPtr;
using kx::av::AvMuxer;
using kx::av::ComBoundary;
using kx::av::HresultFromAvError;

// The container keeps milliseconds; packets are handed over in them.
constexpr AVRational kMilliseconds = {1, 1000};
constexpr int64_t k100nsPerMs = 10000;

// Milliseconds, half away from zero, for every 64-bit value.
int64_t RoundToMs(int64_t time100ns) {
  const int64_t whole = time100ns / k100nsPerMs;
  const int64_t rest = time100ns % k100nsPerMs;
  if (rest >= k100nsPerMs / 2) return whole + 1;
  if (rest <= -(k100nsPerMs / 2)) return whole - 1;
  return whole;
}

// ASF keeps 32-bit milliseconds: the longest duration it can say.
constexpr int64_t kMaxDurationMs = 0xFFFFFFFF;
// ASF readers lose a media object of 16 MiB or more, and every one after it.
constexpr DWORD kMaxSampleBytes = (DWORD{1} << 24) - 1;

// The result handed to a finalize callback.
class AsyncResult final : public kx::mf::ComObject<IMFAsyncResult> {
 public:
  AsyncResult(ComPtr<IUnknown> state, ComPtr<IUnknown> object) : state_(std::move(state)), object_(std::move(object)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return kx::mf::QueryInterfaceOf<AsyncResult, IMFAsyncResult>(this, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE GetState(IUnknown** ppunkState) override {
    if (!ppunkState) return E_POINTER;
    *ppunkState = nullptr;
    if (!state_) return E_POINTER;
    state_.CopyTo(ppunkState);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStatus() override { return status_.load(); }
  HRESULT STDMETHODCALLTYPE SetStatus(HRESULT hrStatus) override {
    status_.store(hrStatus);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetObject(IUnknown** ppObject) override {
    if (!ppObject) return E_POINTER;
    *ppObject = nullptr;
    if (!object_) return E_POINTER;
    object_.CopyTo(ppObject);
    return S_OK;
  }
  IUnknown* STDMETHODCALLTYPE GetStateNoAddRef() override { return state_.Get(); }

 private:
  const ComPtr<IUnknown> state_;
  const ComPtr<IUnknown> object_;
  std::atomic<HRESULT> status_{S_OK};
};

class MediaSink;

// A stream sink lives as long as its media sink: its references are the
// sink's, so that holding a stream sink keeps the sink (and the file) alive.
class StreamSink final : public IMFStreamSink, public IMFMediaTypeHandler {
 public:
  StreamSink(MediaSink* owner, DWORD id, int muxIndex, StreamFormat format, ComPtr<IMFMediaType> type)
      : owner_(owner), id_(id), muxIndex_(muxIndex), format_(std::move(format)), type_(std::move(type)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IMFStreamSink || riid == IID_IMFMediaEventGenerator) {
      *ppv = static_cast<IMFStreamSink*>(this);
    } else if (riid == IID_IMFMediaTypeHandler) {
      *ppv = static_cast<IMFMediaTypeHandler*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IMFMediaEventGenerator: the sink runs without a clock and sends no
  // events (no stream sink requests samples: it takes them at once).
  HRESULT STDMETHODCALLTYPE GetEvent(DWORD dwFlags, IMFMediaEvent** ppEvent) override;
  HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* pCallback, IUnknown* punkState) override;
  HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* pResult, IMFMediaEvent** ppEvent) override;
  HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType met, REFGUID guidExtendedType, HRESULT hrStatus,
                                       const PROPVARIANT* pvValue) override;

  HRESULT STDMETHODCALLTYPE GetMediaSink(IMFMediaSink** ppMediaSink) override;
  HRESULT STDMETHODCALLTYPE GetIdentifier(DWORD* pdwIdentifier) override;
  HRESULT STDMETHODCALLTYPE GetMediaTypeHandler(IMFMediaTypeHandler** ppHandler) override;
  HRESULT STDMETHODCALLTYPE ProcessSample(IMFSample* pSample) override;
  HRESULT STDMETHODCALLTYPE PlaceMarker(MFSTREAMSINK_MARKER_TYPE eMarkerType, const PROPVARIANT* pvarMarkerValue,
                                        const PROPVARIANT* pvarContextValue) override;
  HRESULT STDMETHODCALLTYPE Flush() override;

  // IMFMediaTypeHandler: the one type of the profile stream.
  HRESULT STDMETHODCALLTYPE IsMediaTypeSupported(IMFMediaType* pMediaType, IMFMediaType** ppMediaType) override;
  HRESULT STDMETHODCALLTYPE GetMediaTypeCount(DWORD* pdwTypeCount) override;
  HRESULT STDMETHODCALLTYPE GetMediaTypeByIndex(DWORD dwIndex, IMFMediaType** ppType) override;
  HRESULT STDMETHODCALLTYPE SetCurrentMediaType(IMFMediaType* pMediaType) override;
  HRESULT STDMETHODCALLTYPE GetCurrentMediaType(IMFMediaType** ppMediaType) override;
  HRESULT STDMETHODCALLTYPE GetMajorType(GUID* pguidMajorType) override;

  DWORD id() const { return id_; }

 private:
  // Fills the packet's times (milliseconds) from the sample's; the caller
  // holds writeMutex_.
  HRESULT StampPacket(IMFSample* sample, AVPacket* packet);

  MediaSink* const owner_;
  const DWORD id_;
  const int muxIndex_;
  const StreamFormat format_;
  const ComPtr<IMFMediaType> type_;

  // Serialises this stream's samples, so that times are checked in order.
  std::mutex writeMutex_;
  bool started_ = false;
  // The previous sample's own time, and the decoding time it was given.
  int64_t lastTime100ns_ = 0;
  int64_t lastDecodeMs_ = 0;
  // For streams whose pictures may be reordered: the latest time not yet
  // used as a decoding time.
  int64_t heldMs_ = 0;
};

class MediaSink final : public kx::mf::ComObject<IMFFinalizableMediaSink> {
 public:
  explicit MediaSink(std::unique_ptr<AvMuxer> muxer) : muxer_(std::move(muxer)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return kx::mf::QueryInterfaceOf<MediaSink, IMFFinalizableMediaSink, IMFMediaSink>(this, riid, ppv);
  }

  // Adds the profile's streams to the muxer; the file is not touched yet.
  HRESULT Open(const std::vector<ProfileStream>& streams) {
    streams_.reserve(streams.size());
    for (const ProfileStream& stream : streams) {
      StreamFormat format;
      HRESULT hr = StreamFormatFromType(stream.type.Get(), &format);
      if (FAILED(hr)) return hr;
      int index = 0;
      const int added = muxer_->AddStream(format.parameters.get(), kMilliseconds, &index, true);
      if (added < 0) return added == AVERROR(ENOMEM) ? E_OUTOFMEMORY : MF_E_INVALIDMEDIATYPE;
      streams_.push_back(std::make_unique<StreamSink>(this, stream.number, index, std::move(format), stream.type));
    }
    muxer_->KeepTimesAsGiven();
    return S_OK;
  }

  // Opens the path and writes the file's header, once; later calls give
  // the first result.
  HRESULT OpenFile() {
    std::lock_guard<std::mutex> lock(headerMutex_);
    if (!headerTried_) {
      headerTried_ = true;
      const int written = muxer_->WriteHeader();
      headerResult_ = written < 0 ? HresultFromAvError(written) : S_OK;
    }
    return headerResult_;
  }

  HRESULT STDMETHODCALLTYPE GetCharacteristics(DWORD* pdwCharacteristics) override {
    if (!pdwCharacteristics) return E_POINTER;
    if (IsShutDown()) return MF_E_SHUTDOWN;
    *pdwCharacteristics = MEDIASINK_FIXED_STREAMS | MEDIASINK_RATELESS;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE AddStreamSink(DWORD, IMFMediaType*, IMFStreamSink** ppStreamSink) override {
    if (ppStreamSink) *ppStreamSink = nullptr;
    return IsShutDown() ? MF_E_SHUTDOWN : MF_E_STREAMSINKS_FIXED;
  }
  HRESULT STDMETHODCALLTYPE RemoveStreamSink(DWORD) override {
    return IsShutDown() ? MF_E_SHUTDOWN : MF_E_STREAMSINKS_FIXED;
  }
  HRESULT STDMETHODCALLTYPE GetStreamSinkCount(DWORD* pcStreamSinkCount) override {
    if (!pcStreamSinkCount) return E_POINTER;
    if (IsShutDown()) return MF_E_SHUTDOWN;
    *pcStreamSinkCount = static_cast<DWORD>(streams_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamSinkByIndex(DWORD dwIndex, IMFStreamSink** ppStreamSink) override {
    if (!ppStreamSink) return E_POINTER;
    *ppStreamSink = nullptr;
    if (IsShutDown()) return MF_E_SHUTDOWN;
    if (dwIndex >= streams_.size()) return MF_E_INVALIDINDEX;
    return Hand(streams_[dwIndex].get(), ppStreamSink);
  }
  HRESULT STDMETHODCALLTYPE GetStreamSinkById(DWORD dwStreamSinkIdentifier, IMFStreamSink** ppStreamSink) override {
    if (!ppStreamSink) return E_POINTER;
    *ppStreamSink = nullptr;
    if (IsShutDown()) return MF_E_SHUTDOWN;
    for (const auto& stream : streams_) {
      if (stream->id() == dwStreamSinkIdentifier) return Hand(stream.get(), ppStreamSink);
    }
    return MF_E_INVALIDSTREAMNUMBER;
  }
  // Samples are taken at once; a clock would have nothing to pace.
  HRESULT STDMETHODCALLTYPE SetPresentationClock(IMFPresentationClock* pPresentationClock) override {
    if (IsShutDown()) return MF_E_SHUTDOWN;
    return pPresentationClock ? E_NOTIMPL : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPresentationClock(IMFPresentationClock** ppPresentationClock) override {
    if (!ppPresentationClock) return E_POINTER;
    *ppPresentationClock = nullptr;
    return IsShutDown() ? MF_E_SHUTDOWN : MF_E_NO_CLOCK;
  }

  // Finishes the file unless a finalize did (waiting for one under way) and
  // refuses every later call. A failure to finish here is the result; a
  // finalize reported its own.
  HRESULT STDMETHODCALLTYPE Shutdown() override {
    bool finalized = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (state_ == State::kShutDown) return MF_E_SHUTDOWN;
      finalized = state_ == State::kFinalizing;
      state_ = State::kShutDown;
    }
    JoinFinalizer();
    const HRESULT finished = FinishFile();
    return finalized ? S_OK : finished;
  }

  HRESULT STDMETHODCALLTYPE BeginFinalize(IMFAsyncCallback* pCallback, IUnknown* punkState) override {
    if (!pCallback) return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
      std::lock_guard<std::mutex> lock(mutex_);
      if (state_ == State::kShutDown) return MF_E_SHUTDOWN;
      if (state_ != State::kRunning) return MF_E_INVALIDREQUEST;
      auto* result = new (std::nothrow) AsyncResult(ComPtr<IUnknown>(punkState), ComPtr<IUnknown>());
      if (!result) return E_OUTOFMEMORY;
      ComPtr<IMFAsyncResult> held;
      held.Attach(result);
      ComPtr<IMFAsyncCallback> callback(pCallback);
      // The thread holds a reference to the sink; the release that ends it
      // may be the last one, and then the sink is destroyed on this thread.
      AddRef();
      try {
        finalizer_ = std::thread([this, callback, held] {
          // A finalized sink leaves a file, with or without samples.
          const HRESULT opened = OpenFile();
          const HRESULT finished = FinishFile();
          held->SetStatus(FAILED(opened) ? opened : finished);
          callback->Invoke(held.Get());
          Release();
        });
      } catch (...) {
        Release();
        return E_OUTOFMEMORY;
      }
      state_ = State::kFinalizing;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE EndFinalize(IMFAsyncResult* pResult) override {
    if (!pResult) return E_INVALIDARG;
    return pResult->GetStatus();
  }

  // Whether samples may still be written.
  bool Writable() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::kRunning;
  }
  bool IsShutDown() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::kShutDown;
  }
  AvMuxer* muxer() { return muxer_.get(); }

 protected:
  ~MediaSink() override {
    JoinFinalizer();
    FinishFile();
  }

 private:
  enum class State { kRunning, kFinalizing, kShutDown };

  // Hands out a stream sink. Once every stream's sink has been handed out
  // the set-up is complete and the path is opened, so that a path that
  // cannot be written (or is being written) fails the set-up, not the
  // first sample.
  HRESULT Hand(StreamSink* stream, IMFStreamSink** out) {
    return ComBoundary([&]() -> HRESULT {
      bool complete = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        handedOut_.insert(stream);
        complete = handedOut_.size() == streams_.size();
      }
      const HRESULT hr = complete ? OpenFile() : S_OK;
      if (FAILED(hr)) return hr;
      stream->AddRef();
      *out = stream;
      return S_OK;
    });
  }

  void JoinFinalizer() {
    if (!finalizer_.joinable()) return;
    // The callback may call Shutdown or drop the last reference from
    // inside Invoke, on the finalizer's own thread.
    if (finalizer_.get_id() == std::this_thread::get_id()) {
      finalizer_.detach();
    } else {
      finalizer_.join();
    }
  }

  // The trailer (header sizes, data object size, index) and the close, once;
  // later calls give the first result. Nothing when the path was never
  // opened.
  HRESULT FinishFile() { return HresultFromAvError(muxer_->Finish()); }

  std::mutex headerMutex_;  // guards headerTried_ and headerResult_
  bool headerTried_ = false;
  HRESULT headerResult_ = S_OK;
  std::mutex mutex_;  // guards state_, finalizer_ and handedOut_
  std::set<const StreamSink*> handedOut_;
  State state_ = State::kRunning;
  std::thread finalizer_;
  const std::unique_ptr<AvMuxer> muxer_;
  std::vector<std::unique_ptr<StreamSink>> streams_;  // fixed once opened
};

ULONG StreamSink::AddRef() { return owner_->AddRef(); }
ULONG StreamSink::Release() { return owner_->Release(); }

HRESULT StreamSink::GetEvent(DWORD, IMFMediaEvent** ppEvent) {
  if (!ppEvent) return E_POINTER;
  *ppEvent = nullptr;
  return owner_->IsShutDown() ? MF_E_SHUTDOWN : MF_E_NO_EVENTS_AVAILABLE;
}
HRESULT StreamSink::BeginGetEvent(IMFAsyncCallback*, IUnknown*) {
  return owner_->IsShutDown() ? MF_E_SHUTDOWN : E_NOTIMPL;
}
HRESULT StreamSink::EndGetEvent(IMFAsyncResult*, IMFMediaEvent** ppEvent) {
  if (ppEvent) *ppEvent = nullptr;
  return owner_->IsShutDown() ? MF_E_SHUTDOWN : E_NOTIMPL;
}
HRESULT StreamSink::QueueEvent(MediaEventType, REFGUID, HRESULT, const PROPVARIANT*) {
  return owner_->IsShutDown() ? MF_E_SHUTDOWN : E_NOTIMPL;
}

HRESULT StreamSink::GetMediaSink(IMFMediaSink** ppMediaSink) {
  if (!ppMediaSink) return E_POINTER;
  *ppMediaSink = nullptr;
  if (owner_->IsShutDown()) return MF_E_SHUTDOWN;
  owner_->AddRef();
  *ppMediaSink = owner_;
  return S_OK;
}
HRESULT StreamSink::GetIdentifier(DWORD* pdwIdentifier) {
  if (!pdwIdentifier) return E_POINTER;
  if (owner_->IsShutDown()) return MF_E_SHUTDOWN;
  *pdwIdentifier = id_;
  return S_OK;
}
HRESULT StreamSink::GetMediaTypeHandler(IMFMediaTypeHandler** ppHandler) {
  if (!ppHandler) return E_POINTER;
  *ppHandler = nullptr;
  if (owner_->IsShutDown()) return MF_E_SHUTDOWN;
  AddRef();
  *ppHandler = this;
  return S_OK;
}

HRESULT StreamSink::StampPacket(IMFSample* sample, AVPacket* packet) {
  LONGLONG time100ns = 0;
  LONGLONG duration100ns = 0;
  if (FAILED(sample->GetSampleTime(&time100ns))) return MF_E_NO_SAMPLE_TIMESTAMP;
  if (FAILED(sample->GetSampleDuration(&duration100ns)) || duration100ns < 0) duration100ns = 0;
  if (!kx::av::ContainerHoldsTime(kx::av::ContainerKind::kAsf, {1, 10000000}, time100ns, nullptr, nullptr)) {
    return MF_E_INVALID_TIMESTAMP;
  }
  int64_t presentMs = RoundToMs(time100ns);
  const bool reorders = format_.keyFrames.rule == KeyFrameRule::kVc1Advanced ||
                        (format_.keyFrames.rule == KeyFrameRule::kWmv3 && format_.keyFrames.bFrames);
  int64_t decodeMs = presentMs;
  if (reorders) {
    // One picture of delay: a picture that comes after a later one (a
    // B-frame) decodes at its own time, any other at the latest time held.
    if (!started_) heldMs_ = presentMs - 1;
    if (presentMs > heldMs_) {
      decodeMs = heldMs_;
      heldMs_ = presentMs;
    }
  }
  // A sample before its predecessor is refused, judged by the times the
  // caller gave, never by the times written.
  if (started_ && !reorders && time100ns < lastTime100ns_) return MF_E_INVALID_TIMESTAMP;
  if (started_ && decodeMs <= lastDecodeMs_) {
    // The file keeps whole milliseconds and each stream's times rise:
    // samples that share one get consecutive ones, and the times catch up
    // as soon as the samples are a millisecond or more apart again.
    decodeMs = lastDecodeMs_ + 1;
    if (presentMs < decodeMs) presentMs = decodeMs;
    if (!kx::av::ContainerHoldsTime(kx::av::ContainerKind::kAsf, kMilliseconds, presentMs, nullptr, nullptr)) {
      return MF_E_INVALID_TIMESTAMP;
    }
  }
  packet->pts = presentMs;
  packet->dts = decodeMs;
  packet->duration = std::min(RoundToMs(duration100ns), kMaxDurationMs);
  started_ = true;
  lastTime100ns_ = time100ns;
  lastDecodeMs_ = decodeMs;
  return S_OK;
}

HRESULT StreamSink::ProcessSample(IMFSample* pSample) {
  if (!owner_->Writable()) return MF_E_INVALID_STATE_TRANSITION;
  if (!pSample) return E_POINTER;
  return ComBoundary([&]() -> HRESULT {
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = pSample->ConvertToContiguousBuffer(&buffer);
    if (FAILED(hr)) return hr;
    const kx::av::PacketPtr owned(av_packet_alloc());
    if (!owned) return E_OUTOFMEMORY;
    AVPacket* packet = owned.get();
    BYTE* data = nullptr;
    DWORD length = 0;
    hr = buffer->Lock(&data, nullptr, &length);
    if (FAILED(hr)) return hr;
    const int allocated = av_new_packet(packet, static_cast<int>(std::min<DWORD>(length, INT32_MAX)));
    if (allocated >= 0 && length != 0) std::memcpy(packet->data, data, packet->size);
    buffer->Unlock();
    if (allocated < 0 || length > INT32_MAX) return E_OUTOFMEMORY;
    if (length > kMaxSampleBytes) return E_INVALIDARG;
    // An empty sample carries nothing the container could keep.
    if (packet->size == 0) return S_OK;

    UINT32 cleanPoint = 0;
    const bool key = SUCCEEDED(pSample->GetUINT32(MFSampleExtension_CleanPoint, &cleanPoint))
                         ? cleanPoint != 0
                         : IsKeyFrame(format_.keyFrames, packet->data, static_cast<size_t>(packet->size));
    if (key) packet->flags |= AV_PKT_FLAG_KEY;

    hr = owner_->OpenFile();
    if (FAILED(hr)) return hr;
    std::lock_guard<std::mutex> lock(writeMutex_);
    hr = StampPacket(pSample, packet);
    if (FAILED(hr)) return hr;
    const int written = owner_->muxer()->WritePacket(packet, muxIndex_);
    if (written < 0) {
      // A sample that arrives while the file is being finished.
      if (!owner_->Writable()) return MF_E_INVALID_STATE_TRANSITION;
      return HresultFromAvError(written);
    }
    return S_OK;
  });
}

HRESULT StreamSink::PlaceMarker(MFSTREAMSINK_MARKER_TYPE, const PROPVARIANT*, const PROPVARIANT*) {
  return owner_->IsShutDown() ? MF_E_SHUTDOWN : E_NOTIMPL;
}
// Nothing is queued: every sample is written when it is taken.
HRESULT StreamSink::Flush() { return owner_->IsShutDown() ? MF_E_SHUTDOWN : S_OK; }

HRESULT StreamSink::IsMediaTypeSupported(IMFMediaType* pMediaType, IMFMediaType** ppMediaType) {
  if (ppMediaType) *ppMediaType = nullptr;
  if (owner_->IsShutDown()) return MF_E_SHUTDOWN;
  if (!pMediaType) return E_POINTER;
  DWORD flags = 0;
  return type_->IsEqual(pMediaType, &flags) == S_OK ? S_OK : MF_E_INVALIDMEDIATYPE;
}
HRESULT StreamSink::GetMediaTypeCount(DWORD* pdwTypeCount) {
  if (!pdwTypeCount) return E_POINTER;
  if (owner_->IsShutDown()) return MF_E_SHUTDOWN;
  *pdwTypeCount = 1;
  return S_OK;
}
HRESULT StreamSink::GetMediaTypeByIndex(DWORD dwIndex, IMFMediaType** ppType) {
  if (!ppType) return E_POINTER;
  *ppType = nullptr;
  if (owner_->IsShutDown()) return MF_E_SHUTDOWN;
  if (dwIndex != 0) return MF_E_NO_MORE_TYPES;
  type_.CopyTo(ppType);
  return S_OK;
}
HRESULT StreamSink::SetCurrentMediaType(IMFMediaType* pMediaType) {
  if (owner_->IsShutDown()) return MF_E_SHUTDOWN;
  return IsMediaTypeSupported(pMediaType, nullptr);
}
HRESULT StreamSink::GetCurrentMediaType(IMFMediaType** ppMediaType) { return GetMediaTypeByIndex(0, ppMediaType); }
HRESULT StreamSink::GetMajorType(GUID* pguidMajorType) {
  if (!pguidMajorType) return E_POINTER;
  if (owner_->IsShutDown()) return MF_E_SHUTDOWN;
  return type_->GetGUID(MF_MT_MAJOR_TYPE, pguidMajorType);
}

// Creates the sink on its first ActivateObject and hands out the same one
// until ShutdownObject or DetachObject.
class SinkActivate final : public kx::mf::AttributesOf<IMFActivate> {
 public:
  SinkActivate(std::string path, ComPtr<IMFASFContentInfo> info) : path_(std::move(path)), info_(std::move(info)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return kx::mf::QueryInterfaceOf<SinkActivate, IMFActivate, IMFAttributes>(this, riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE ActivateObject(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return ComBoundary([&]() -> HRESULT {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!sink_) {
        std::vector<ProfileStream> streams;
        HRESULT hr = ProfileStreamsOf(info_.Get(), &streams);
        if (FAILED(hr)) return hr;
        if (streams.empty()) return MF_E_INVALIDREQUEST;
        kx::av::QuietFfmpegOnce();
        std::unique_ptr<AvMuxer> muxer;
        const int created = AvMuxer::Create(path_, kx::av::ContainerKind::kAsf, &muxer);
        if (created < 0) return HresultFromAvError(created);
        auto* sink = new (std::nothrow) MediaSink(std::move(muxer));
        if (!sink) return E_OUTOFMEMORY;
        ComPtr<IMFMediaSink> held;
        held.Attach(sink);
        hr = sink->Open(streams);
        if (FAILED(hr)) return hr;
        sink_ = std::move(held);
      }
      return sink_->QueryInterface(riid, ppv);
    });
  }
  HRESULT STDMETHODCALLTYPE ShutdownObject() override {
    ComPtr<IMFMediaSink> sink;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sink = std::move(sink_);
    }
    if (sink) sink->Shutdown();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DetachObject() override {
    ComPtr<IMFMediaSink> sink;
    std::lock_guard<std::mutex> lock(mutex_);
    sink = std::move(sink_);
    return S_OK;
  }

 private:
  std::mutex mutex_;
  const std::string path_;
  const ComPtr<IMFASFContentInfo> info_;
  ComPtr<IMFMediaSink> sink_;
};

}  // namespace
}  // namespace kx::asf

extern "C" HRESULT MFCreateASFMediaSinkActivate(LPCWSTR pwszFileName, IMFASFContentInfo* pContentInfo,
                                                IMFActivate** ppIActivate) {
  if (!ppIActivate) return E_POINTER;
  *ppIActivate = nullptr;
  if (!pwszFileName || pwszFileName[0] == 0 || !pContentInfo) return E_INVALIDARG;
  return kx::av::ComBoundary([&]() -> HRESULT {
    std::string path;
    if (!kx::av::Utf16ToUtf8(pwszFileName, &path)) return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
    return kx::mf::Deliver(new (std::nothrow) kx::asf::SinkActivate(std::move(path), kx::ComPtr<IMFASFContentInfo>(pContentInfo)),
                           ppIActivate);
  });
}
