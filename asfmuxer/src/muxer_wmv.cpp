// MuxerWMV: creation, the set-parameter and configuration steps, the write
// exports' view of WritePacket, and teardown.
#include <condition_variable>
#include <memory>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "kxasfmuxer/muxer_wmv.h"
#include "kxdiag/log.h"
#include "kxplatform/com_object.h"
#include "kxplatform/host_media_type.h"

namespace {

// Signals the thread that waits for the media sink's finalize to complete
// and keeps the result object the sink hands back.
class FinalizeWaiter final : public kx::mf::ComObject<IMFAsyncCallback> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return kx::mf::QueryInterfaceOf<FinalizeWaiter, IMFAsyncCallback>(this, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(IMFAsyncResult* result) override {
    std::lock_guard<std::mutex> lock(mutex_);
    result_ = kx::ComPtr<IMFAsyncResult>(result);
    done_ = true;
    signal_.notify_all();
    return S_OK;
  }
  // Waits (no time-out) for Invoke; the result object it got.
  kx::ComPtr<IMFAsyncResult> Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    signal_.wait(lock, [this] { return done_; });
    return result_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable signal_;
  bool done_ = false;
  kx::ComPtr<IMFAsyncResult> result_;
};

}  // namespace

MuxerEntryPoints MuxerEntryPoints::Platform() {
  return {.createASFContentInfo = MFCreateASFContentInfo,
          .createASFProfile = MFCreateASFProfile,
          .createASFMediaSinkActivate = MFCreateASFMediaSinkActivate,
          .createSample = MFCreateSample,
          .createMemoryBuffer = MFCreateMemoryBuffer};
}

MuxerWMV::MuxerWMV(const MuxerEntryPoints& entryPoints) : entryPoints(entryPoints) {}

MuxerWMV::~MuxerWMV() {
  // Finishing logs its own failures; teardown goes on either way.
  (void)FinishFile();
}

MuxerWMV* MuxerWMV::Create(const WCHAR* path, const uint8_t* audioBlock, int32_t audioBytes,
                           const uint8_t* videoBlock, int32_t videoBytes, const MuxerEntryPoints& entryPoints) {
  try {
    std::unique_ptr<MuxerWMV> muxer(new MuxerWMV(entryPoints));
    if (audioBlock != nullptr && audioBytes >= kMinExtraDataBytes) {
      muxer->audioExtraData.assign(audioBlock, audioBlock + audioBytes);
    }
    if (videoBlock != nullptr && videoBytes >= kMinExtraDataBytes) {
      muxer->videoExtraData.assign(videoBlock, videoBlock + videoBytes);
    }
    if (path != nullptr) muxer->filename = path;
    if (muxer->audioExtraData.empty() && muxer->videoExtraData.empty()) return nullptr;
    return muxer.release();
  } catch (...) {
    // Out of memory for the object or a copy: no handle.
    return nullptr;
  }
}

void MuxerWMV::SetAudioParam(UINT32 trackNumber, UINT32 channels, UINT32 sampleRate, UINT32 bitrate,
                             UINT32 bitsPerSample, UINT32 codecCode) {
  // A configured file keeps the numbers its stream sinks were fetched by.
  if (!configured) audiotrackidx = trackNumber;
  audioChannels = channels;
  audioSampleRate = sampleRate;
  audioBitrate = bitrate;
  audioBitsPerSample = bitsPerSample;
  audioCodecCode = codecCode;
}

void MuxerWMV::SetVideoParam(UINT32 trackNumber, UINT32 width, UINT32 height, UINT32 frameRateNum,
                             UINT32 frameRateDen, UINT32 bitrate, UINT32 modeCode, UINT32 codecCode) {
  if (!configured) videotrackidx = trackNumber;
  videoWidth = width;
  videoHeight = height;
  frameRateNumerator = frameRateNum;
  frameRateDenominator = frameRateDen;
  videoBitrate = bitrate;
  videoModeCode = modeCode;
  videoCodecCode = codecCode;
}

bool MuxerWMV::TakeTrackType(UINT32 trackNumber, const std::vector<uint8_t>& block,
                             kx::ComPtr<IMFMediaType>& type) {
  if (trackNumber == kAbsentTrack) return true;
  if (trackNumber == 0 || block.empty()) return false;
  IMFMediaType* pointer = nullptr;
  std::memcpy(&pointer, block.data() + block.size() - sizeof(pointer), sizeof(pointer));
  // A pointer the platform knows is no media type ends the set-up here,
  // before anything calls through it.
  return SUCCEEDED(
      MuxerCheck(kx::ReferenceHostMediaType(pointer, type), "ReferenceHostMediaType(pointer, mediatype)"));
}

namespace {

// The one line of a set-up refused before anything was made.
void LogRefusedSetUp(const char* reason) {
  LogAtLevel(kLogError, "[Media Foundation %s: '%s']: ConfigInit: %s, nothing created", "MuxerWMV", "MuxerWMV",
             reason);
}

// A present track's number and media type, checked before anything is made.
bool TrackFitsTheFile(const char* track, UINT32 trackNumber, IMFMediaType* type, REFGUID majorType) {
  if (trackNumber == MuxerWMV::kAbsentTrack) return true;
  char reason[128];
  GUID major = GUID_NULL;
  if (trackNumber > MuxerWMV::kMaxTrackNumber) {
    // The profile keeps 7 bits: a larger number would name another stream,
    // or none, when its stream sink is looked up.
    std::snprintf(reason, sizeof reason, "%s track number %u is not an ASF stream number (1 to 127)", track,
                  trackNumber);
  } else if (type == nullptr) {
    std::snprintf(reason, sizeof reason, "the %s block holds no media type", track);
  } else if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != majorType) {
    std::snprintf(reason, sizeof reason, "the %s block's media type is not %s", track, track);
  } else {
    return true;
  }
  LogRefusedSetUp(reason);
  return false;
}

}  // namespace

bool MuxerWMV::TracksFitTheFile() const {
  if (!TrackFitsTheFile("audio", audiotrackidx, audiomediatype.Get(), MFMediaType_Audio) ||
      !TrackFitsTheFile("video", videotrackidx, videomediatype.Get(), MFMediaType_Video)) {
    return false;
  }
  if (audiotrackidx != kAbsentTrack && audiotrackidx == videotrackidx) {
    char reason[64];
    std::snprintf(reason, sizeof reason, "audio and video share track number %u", audiotrackidx);
    LogRefusedSetUp(reason);
    return false;
  }
  return true;
}

int MuxerWMV::ConfigInit() {
  if (configured) {
    // A second set-up would open the path again and lose what was written.
    LogAtLevel(kLogError, "[Media Foundation %s: '%s']: ConfigInit: the file is configured already, it stays as it is",
               "MuxerWMV", "MuxerWMV");
    return 0;
  }
  if (!TakeTrackType(audiotrackidx, audioExtraData, audiomediatype)) return 0;
  if (!TakeTrackType(videotrackidx, videoExtraData, videomediatype)) return 0;
  // Everything a host passes is checked before the platform makes anything,
  // so that a refused set-up leaves the path as it was.
  if (!TracksFitTheFile()) return 0;
  if (FAILED(CreateMediaSink())) {
    // What a failed attempt made is shut down and let go, so that a retry
    // starts afresh and nothing holds the path; a sink that took no sample
    // and was not finalized writes no file.
    audioStreamSink = nullptr;
    videoStreamSink = nullptr;
    if (mediasink) (void)MuxerCheck(mediasink->Shutdown(), "mediasink->Shutdown()", kLogInfo);
    mediasink = nullptr;
    return 0;
  }
  configured = true;
  return 1;
}

int MuxerWMV::WritePacketExport(UINT32 trackNumber, const MFWMVMuxerPacket* packet) {
  if (packet == nullptr) return 0;
  int status = kPacketFailed;
  (void)WritePacket(trackNumber, packet->pData, packet->nLength, packet->nPts, packet->nDuration, &status);
  return status == kPacketRefused ? 0 : 1;
}

int MuxerWMV::WriteAudioPacket(const MFWMVMuxerPacket* packet) { return WritePacketExport(audiotrackidx, packet); }

int MuxerWMV::WriteVideoPacket(const MFWMVMuxerPacket* packet) { return WritePacketExport(videotrackidx, packet); }

HRESULT MuxerWMV::FinishFile() {
  if (!configured || !mediasink) return S_OK;
  configured = false;

  HRESULT result = S_OK;
  kx::ComPtr<IMFFinalizableMediaSink> finalizable;
  result = MuxerCheck(mediasink.As(IID_IMFFinalizableMediaSink, std::addressof(finalizable)),
                      "mediasink->QueryInterface(IID_PPV_ARGS(&finalizable))");
  if (SUCCEEDED(result)) {
    kx::ComPtr<FinalizeWaiter> waiter;
    waiter.Attach(new (std::nothrow) FinalizeWaiter());
    result = waiter ? finalizable->BeginFinalize(waiter.Get(), nullptr) : E_OUTOFMEMORY;
    if (SUCCEEDED(MuxerCheck(result, "mediasink->BeginFinalize(callback, NULL)"))) {
      const kx::ComPtr<IMFAsyncResult> finished = waiter->Wait();
      result = MuxerCheck(finalizable->EndFinalize(finished.Get()), "mediasink->EndFinalize(result)");
    }
  }
  const HRESULT shutdown = MuxerCheck(mediasink->Shutdown(), "mediasink->Shutdown()");
  return FAILED(result) ? result : shutdown;
}
