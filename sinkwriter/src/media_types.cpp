// Output and input media types of the two streams.
//
// The video output type is built from the encoder FourCC and the picture
// parameters; the audio output type is picked, unchanged, from the types the
// platform's encoders for the audio FourCC offer. The input types describe
// what the write operations deliver: YV12 pictures and interleaved PCM.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kxdiag/log.h"
#include "kxsinkwriter/sink_writer_encoder.h"

namespace {

struct VideoSubtype {
  uint32_t fourcc;
  const GUID* subtype;
  const char* callText;
};

const VideoSubtype kVideoSubtypes[] = {
    {KX_FOURCC('W', 'M', 'V', '1'), &MFVideoFormat_WMV1, "videotype->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_WMV1)"},
    {KX_FOURCC('W', 'M', 'V', '2'), &MFVideoFormat_WMV2, "videotype->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_WMV2)"},
    {KX_FOURCC('W', 'M', 'V', '3'), &MFVideoFormat_WMV3, "videotype->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_WMV3)"},
    // "HVC1" is the row of the VC-1 encoder, not HEVC.
    {KX_FOURCC('H', 'V', 'C', '1'), &MFVideoFormat_WVC1, "videotype->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_WVC1)"},
    {KX_FOURCC('W', '2', '6', '4'), &MFVideoFormat_H264, "videotype->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264)"},
    {KX_FOURCC('W', '2', '6', '5'), &MFVideoFormat_HEVC, "videotype->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_HEVC)"},
};

struct AudioSubtype {
  uint32_t fourcc;
  const GUID* subtype;
};

const AudioSubtype kAudioSubtypes[] = {
    {KX_FOURCC('W', 'M', 'A', '8'), &MFAudioFormat_WMAudioV8},
    {KX_FOURCC('W', 'M', 'A', '9'), &MFAudioFormat_WMAudioV9},
    {KX_FOURCC('W', 'A', 'A', 'C'), &MFAudioFormat_AAC},
};

// The SDKs disagree on the parameter type of MoFreeMediaType (the DMO media
// type and AM_MEDIA_TYPE share one layout); take whatever it declares.
template <typename MediaTypeRecord>
HRESULT FreeConvertedType(HRESULT(WINAPI* freeMediaType)(MediaTypeRecord*), AM_MEDIA_TYPE* converted) {
  return freeMediaType(reinterpret_cast<MediaTypeRecord*>(converted));
}

// A candidate converted to AM_MEDIA_TYPE; its format block is freed with
// the object.
struct ConvertedType {
  AM_MEDIA_TYPE type{};
  ConvertedType() = default;
  ConvertedType(const ConvertedType&) = delete;
  ConvertedType& operator=(const ConvertedType&) = delete;
  // MoFreeMediaType fails only for a null pointer; `type` is never null,
  // and a block the conversion did not fill is all zero, which it frees as
  // nothing.
  ~ConvertedType() { (void)FreeConvertedType(&MoFreeMediaType, &type); }
};

// The WAVEFORMATEX of a converted candidate, or null when the block is
// missing or too short to hold the fields the choice rule reads.
const WAVEFORMATEX* WaveFormatOf(const AM_MEDIA_TYPE& converted) {
  constexpr size_t kFieldsRead = offsetof(WAVEFORMATEX, wBitsPerSample) + sizeof(WORD);
  if (converted.pbFormat == nullptr || converted.cbFormat < kFieldsRead) return nullptr;
  return reinterpret_cast<const WAVEFORMATEX*>(converted.pbFormat);
}

}  // namespace

SinkWriterEncoder::FrameRatio SinkWriterEncoder::FrameRateToRatio(double frameRate) {
  FrameRatio ratio{0, 1};
  const double rounded = frameRate + 0.5;
  // Outside the range of a 32-bit integer (or not a number) the rate has no
  // ratio; 0/1 lets the sink writer refuse the type.
  if (!(rounded > -2147483649.0 && rounded < 2147483648.0)) return ratio;
  const int32_t whole = static_cast<int32_t>(rounded);
  ratio.num = static_cast<UINT32>(whole);
  if (std::fabs(frameRate - whole) <= 0.01) return ratio;
  if (std::fabs(frameRate - 23.976) < 0.001) return {24000, 1001};
  if (std::fabs(frameRate - 29.97) < 0.001) return {30000, 1001};
  if (std::fabs(frameRate - 59.94) < 0.001) return {60000, 1001};
  return ratio;
}

HRESULT SinkWriterEncoder::CreateVideoMediaType() {
  if (encParam.bNoVideo != 0) return S_OK;
  const FrameRatio ratio = FrameRateToRatio(encParam.video.dFrameRate);
  num = ratio.num;
  den = ratio.den;

  kx::ComPtr<IMFMediaType> videotype;
  RETURN_IF_FAILED(MFCreateMediaType(&videotype), "MFCreateMediaType(&videotype)");
  RETURN_IF_FAILED(videotype->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video),
                   "videotype->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video)");
  // An unknown FourCC sets no subtype; AddStream decides about such a type.
  for (const VideoSubtype& row : kVideoSubtypes) {
    if (row.fourcc == encParam.video.nFourCC) {
      RETURN_IF_FAILED(videotype->SetGUID(MF_MT_SUBTYPE, *row.subtype), row.callText);
      break;
    }
  }
  RETURN_IF_FAILED(videotype->SetUINT32(MF_MT_AVG_BITRATE, encParam.video.nBitrate),
                   "videotype->SetUINT32(MF_MT_AVG_BITRATE, encParam.video.nBitrate)");
  RETURN_IF_FAILED(videotype->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive),
                   "videotype->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive)");
  RETURN_IF_FAILED(MFSetAttributeSize(videotype.Get(), MF_MT_FRAME_SIZE, encParam.video.nWidth, encParam.video.nHeight),
                   "MFSetAttributeSize(videotype, MF_MT_FRAME_SIZE, encParam.video.nWidth, encParam.video.nHeight)");
  RETURN_IF_FAILED(MFSetAttributeRatio(videotype.Get(), MF_MT_FRAME_RATE, num, den),
                   "MFSetAttributeRatio(videotype, MF_MT_FRAME_RATE, num, den)");
  RETURN_IF_FAILED(MFSetAttributeRatio(videotype.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1),
                   "MFSetAttributeRatio(videotype, MF_MT_PIXEL_ASPECT_RATIO, 1, 1)");
  DWORD addedIndex = 0;
  RETURN_IF_FAILED(mfsinkwriter->AddStream(videotype.Get(), &addedIndex),
                   "mfsinkwriter->AddStream(videotype, &videoStreamIndex)");
  videoStreamIndex = addedIndex;

  kx::ComPtr<IMFMediaType> inputvideotype;
  RETURN_IF_FAILED(MFCreateMediaType(&inputvideotype), "MFCreateMediaType(&inputvideotype)");
  RETURN_IF_FAILED(inputvideotype->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video),
                   "inputvideotype->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video)");
  RETURN_IF_FAILED(inputvideotype->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_YV12),
                   "inputvideotype->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_YV12)");
  RETURN_IF_FAILED(inputvideotype->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive),
                   "inputvideotype->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive)");
  RETURN_IF_FAILED(MFSetAttributeRatio(inputvideotype.Get(), MF_MT_FRAME_RATE, num, den),
                   "MFSetAttributeRatio(inputvideotype, MF_MT_FRAME_RATE, num, den)");
  RETURN_IF_FAILED(
      MFSetAttributeSize(inputvideotype.Get(), MF_MT_FRAME_SIZE, encParam.video.nWidth, encParam.video.nHeight),
      "MFSetAttributeSize(inputvideotype, MF_MT_FRAME_SIZE, encParam.video.nWidth, encParam.video.nHeight)");
  RETURN_IF_FAILED(MFSetAttributeRatio(inputvideotype.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1),
                   "MFSetAttributeRatio(inputvideotype, MF_MT_PIXEL_ASPECT_RATIO, 1, 1)");
  RETURN_IF_FAILED(mfsinkwriter->SetInputMediaType(videoStreamIndex, inputvideotype.Get(), nullptr),
                   "mfsinkwriter->SetInputMediaType(videoStreamIndex, inputvideotype, NULL)");
  return S_OK;
}

HRESULT SinkWriterEncoder::CreateAudioMediaType() {
  if (encParam.bNoAudio != 0) return S_OK;

  GUID audiooutputguid = GUID_NULL;
  for (const AudioSubtype& row : kAudioSubtypes) {
    if (row.fourcc == encParam.audio.nFourCC) {
      audiooutputguid = *row.subtype;
      break;
    }
  }
  kx::ComPtr<IMFCollection> collction;
  RETURN_IF_FAILED(
      entryPoints.transcodeGetAudioOutputAvailableTypes(audiooutputguid, MFT_ENUM_FLAG_ALL, nullptr, &collction),
      "MFTranscodeGetAudioOutputAvailableTypes(audiooutputguid, MFT_ENUM_FLAG_ALL, NULL, &collction)");
  DWORD nnum = 0;
  RETURN_IF_FAILED(collction->GetElementCount(&nnum), "collction->GetElementCount(&nnum)");
  RETURN_IF_FAILED(nnum == 0 ? E_FAIL : S_OK, "(num <= 0 ? E_FAIL:S_OK)");

  // First type in the platform's order with the exact PCM format and the
  // exact rounded bitrate; else the first with the exact format.
  kx::ComPtr<IMFMediaType> audiotype;
  kx::ComPtr<IMFMediaType> firstFormatMatch;
  for (DWORD i = 0; i < nnum && !audiotype; ++i) {
    kx::ComPtr<IUnknown> element;
    kx::ComPtr<IMFMediaType> outputMediatype;
    // An element that cannot be read as a media type cannot be chosen: it
    // is skipped with an info line and the next candidate is tried.
    if (FAILED(MfCheck(collction->GetElement(i, &element), "collction->GetElement(i, &element)", kLogInfo)) ||
        !element ||
        FAILED(MfCheck(element.As(IID_IMFMediaType, std::addressof(outputMediatype)),
                       "element->QueryInterface(IID_IMFMediaType, &outputMediatype)", kLogInfo))) {
      continue;
    }
    ConvertedType mtout;
    RETURN_IF_FAILED(
        entryPoints.initAMMediaTypeFromMFMediaType(outputMediatype.Get(), FORMAT_WaveFormatEx, &mtout.type),
        "MFInitAMMediaTypeFromMFMediaType(outputMediatype, WMFORMAT_WaveFormatEx, (AM_MEDIA_TYPE*)&mtout)");
    if (const WAVEFORMATEX* wave = WaveFormatOf(mtout.type)) {
      const UINT32 bitrate = ((wave->nAvgBytesPerSec + 500u) / 1000u) * 8000u;
      const bool formatMatches = wave->nChannels == encParam.audio.nChannels &&
                                 wave->nSamplesPerSec == encParam.audio.nSampleRate &&
                                 wave->wBitsPerSample == encParam.audio.nBitsPerSample;
      if (formatMatches && bitrate == encParam.audio.nBitrate) {
        audiotype = outputMediatype;
      } else if (formatMatches && !firstFormatMatch) {
        firstFormatMatch = outputMediatype;
      }
    }
  }
  if (!audiotype) audiotype = firstFormatMatch;
  RETURN_IF_FAILED(audiotype ? S_OK : E_FAIL, "E_FAIL");

  DWORD addedIndex = 0;
  RETURN_IF_FAILED(mfsinkwriter->AddStream(audiotype.Get(), &addedIndex),
                   "mfsinkwriter->AddStream(audiotype, &audioStreamIndex)");
  audioStreamIndex = addedIndex;

  kx::ComPtr<IMFMediaType> inputaudiotype;
  RETURN_IF_FAILED(MFCreateMediaType(&inputaudiotype), "MFCreateMediaType(&inputaudiotype)");
  RETURN_IF_FAILED(inputaudiotype->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio),
                   "inputaudiotype->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio)");
  RETURN_IF_FAILED(inputaudiotype->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM),
                   "inputaudiotype->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM)");
  RETURN_IF_FAILED(inputaudiotype->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, encParam.audio.nBitsPerSample),
                   "inputaudiotype->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, encParam.audio.nBitsPerSample)");
  RETURN_IF_FAILED(inputaudiotype->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, encParam.audio.nSampleRate),
                   "inputaudiotype->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, encParam.audio.nSampleRate)");
  RETURN_IF_FAILED(inputaudiotype->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, encParam.audio.nChannels),
                   "inputaudiotype->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, encParam.audio.nChannels)");
  // Bytes per PCM frame, truncated (12-bit mono gives 1).
  const INT32 audioblocksize =
      static_cast<INT32>(encParam.audio.nChannels * encParam.audio.nBitsPerSample) / 8;
  RETURN_IF_FAILED(inputaudiotype->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, static_cast<UINT32>(audioblocksize)),
                   "inputaudiotype->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, audioblocksize)");
  RETURN_IF_FAILED(inputaudiotype->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND,
                                             static_cast<UINT32>(audioblocksize) * encParam.audio.nSampleRate),
                   "inputaudiotype->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, audioblocksize *encParam.audio.nSampleRate)");
  RETURN_IF_FAILED(inputaudiotype->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE),
                   "inputaudiotype->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE)");
  RETURN_IF_FAILED(mfsinkwriter->SetInputMediaType(audioStreamIndex, inputaudiotype.Get(), nullptr),
                   "mfsinkwriter->SetInputMediaType(audioStreamIndex, inputaudiotype, NULL)");
  return S_OK;
}
