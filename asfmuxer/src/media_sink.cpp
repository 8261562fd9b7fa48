// The ASF profile, its content information, the media sink on the output
// path and the stream sinks of the tracks.
#include "kxasfmuxer/muxer_wmv.h"
#include "kxdiag/log.h"
#include "kxdiag/media_type_dump.h"

namespace {

// The log texts of one track's three profile steps.
struct TrackStepTexts {
  const char* createStream;
  const char* setStreamNumber;
  const char* setStream;
};

constexpr TrackStepTexts kAudioSteps = {"asfprofile->CreateStream(audioType, &AudioStream)",
                                        "AudioStream->SetStreamNumber(audiotrackidx)",
                                        "asfprofile->SetStream(AudioStream)"};
constexpr TrackStepTexts kVideoSteps = {"asfprofile->CreateStream(videoType, &VideoStream)",
                                        "VideoStream->SetStreamNumber(videotrackidx)",
                                        "asfprofile->SetStream(VideoStream)"};

// Adds one stream of `type`, numbered with the low 16 bits of the track
// number, to the profile.
HRESULT AddTrackStream(IMFASFProfile* asfprofile, IMFMediaType* type, UINT32 trackNumber,
                       const TrackStepTexts& texts) {
  // The dump only informs; its result does not stop the set-up.
  (void)DumpMediaType(type);
  kx::ComPtr<IMFASFStreamConfig> stream;
  RETURN_IF_MUXER_FAILED(asfprofile->CreateStream(type, &stream), texts.createStream);
  RETURN_IF_MUXER_FAILED(stream->SetStreamNumber(static_cast<WORD>(trackNumber & 0xFFFF)), texts.setStreamNumber);
  RETURN_IF_MUXER_FAILED(asfprofile->SetStream(stream.Get()), texts.setStream);
  return S_OK;
}

}  // namespace

HRESULT MuxerWMV::CreateProfile(IMFMediaType* audioType, IMFMediaType* videoType) {
  RETURN_IF_MUXER_FAILED(entryPoints.createASFContentInfo(&asfcontentinfo), "MFCreateASFContentInfo(&asfcontentinfo)");
  kx::ComPtr<IMFASFProfile> asfprofile;
  RETURN_IF_MUXER_FAILED(entryPoints.createASFProfile(&asfprofile), "MFCreateASFProfile(&asfprofile)");
  if (audioType != nullptr) {
    const HRESULT hr = AddTrackStream(asfprofile.Get(), audioType, audiotrackidx, kAudioSteps);
    if (FAILED(hr)) return hr;
  }
  if (videoType != nullptr) {
    const HRESULT hr = AddTrackStream(asfprofile.Get(), videoType, videotrackidx, kVideoSteps);
    if (FAILED(hr)) return hr;
  }
  RETURN_IF_MUXER_FAILED(asfcontentinfo->SetProfile(asfprofile.Get()), "asfcontentinfo->SetProfile(asfprofile)");
  return S_OK;
}

HRESULT MuxerWMV::CreateMediaSink() {
  const kx::ComPtr<IMFMediaType> audioType = audiomediatype;
  const kx::ComPtr<IMFMediaType> videoType = videomediatype;
  RETURN_IF_MUXER_FAILED(CreateProfile(audioType.Get(), videoType.Get()),
                         "CreateProfile(audiomediatype, videomediatype)");

  kx::ComPtr<IMFActivate> activate;
  RETURN_IF_MUXER_FAILED(entryPoints.createASFMediaSinkActivate(filename.c_str(), asfcontentinfo.Get(), &activate),
                         "MFCreateASFMediaSinkActivate(filename.c_str(), asfcontentinfo, &activate)");
  RETURN_IF_MUXER_FAILED(activate->ActivateObject(IID_PPV_ARGS(&mediasink)),
                         "activate->ActivateObject(IID_PPV_ARGS(&mediasink))");
  RETURN_IF_MUXER_FAILED(mediasink->SetPresentationClock(nullptr), "mediasink->SetPresentationClock(NULL)");
  if (audiotrackidx != kAbsentTrack) {
    RETURN_IF_MUXER_FAILED(mediasink->GetStreamSinkById(audiotrackidx, &audioStreamSink),
                           "mediasink->GetStreamSinkById(audiotrackidx, &audioStreamSink)");
  }
  if (videotrackidx != kAbsentTrack) {
    RETURN_IF_MUXER_FAILED(mediasink->GetStreamSinkById(videotrackidx, &videoStreamSink),
                           "mediasink->GetStreamSinkById(videotrackidx, &videoStreamSink)");
  }
  return S_OK;
}
