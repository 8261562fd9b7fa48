#include "writer_helpers.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "fake_com.h"
#include "temp_dir.h"

namespace sinkwriter_test {

using kx::test::NewType;
using kx::test::SampleOf;

void Check(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return;
  char text[160];
  std::snprintf(text, sizeof(text), "%s failed: 0x%08X", what, static_cast<unsigned>(hr));
  throw std::runtime_error(text);
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string TempPath(const std::string& fileName) {
  static std::atomic<int> counter{0};
  static const kx::test::TempDir folder("mf_sinkwriter");  // removed with its contents at exit
  return (folder / (std::to_string(counter++) + "_" + fileName)).string();
}

namespace {

ComPtr<IMFMediaType> VideoType(const VideoSpec& spec, const GUID& subtype) {
  ComPtr<IMFMediaType> type = NewType(MFMediaType_Video, subtype);
  Check(type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive), "SetUINT32");
  Check(MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, spec.width, spec.height), "frame size");
  Check(MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, spec.fpsNum, spec.fpsDen), "frame rate");
  Check(MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1), "aspect ratio");
  return type;
}

}  // namespace

ComPtr<IMFMediaType> VideoOutputType(const VideoSpec& spec) {
  ComPtr<IMFMediaType> type = VideoType(spec, spec.subtype);
  Check(type->SetUINT32(MF_MT_AVG_BITRATE, spec.bitrate), "SetUINT32");
  return type;
}

ComPtr<IMFMediaType> VideoInputType(const VideoSpec& spec) { return VideoType(spec, MFVideoFormat_YV12); }

std::vector<ComPtr<IMFMediaType>> AudioOutputTypes(const GUID& subtype) {
  ComPtr<IMFCollection> list;
  Check(MFTranscodeGetAudioOutputAvailableTypes(subtype, MFT_ENUM_FLAG_ALL, nullptr, &list), "list");
  DWORD count = 0;
  Check(list->GetElementCount(&count), "GetElementCount");
  std::vector<ComPtr<IMFMediaType>> types(count);
  for (DWORD i = 0; i < count; ++i) {
    ComPtr<IUnknown> element;
    Check(list->GetElement(i, &element), "GetElement");
    Check(element.As(IID_IMFMediaType, std::addressof(types[i])), "QueryInterface");
  }
  return types;
}

ComPtr<IMFMediaType> AudioOutputType(const AudioSpec& spec) {
  ComPtr<IMFMediaType> fallback;
  for (const ComPtr<IMFMediaType>& type : AudioOutputTypes(spec.subtype)) {
    if (MFGetAttributeUINT32(type.Get(), MF_MT_AUDIO_SAMPLES_PER_SECOND, 0) != spec.sampleRate ||
        MFGetAttributeUINT32(type.Get(), MF_MT_AUDIO_NUM_CHANNELS, 0) != spec.channels) {
      continue;
    }
    if (MFGetAttributeUINT32(type.Get(), MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0) == spec.outputBytesPerSecond) return type;
    if (!fallback) fallback = type;
  }
  Check(fallback ? S_OK : MF_E_NOT_FOUND, "audio output type");
  return fallback;
}

ComPtr<IMFMediaType> AudioInputType(const AudioSpec& spec) {
  ComPtr<IMFMediaType> type = NewType(MFMediaType_Audio, MFAudioFormat_PCM);
  const UINT32 blockAlign = spec.channels * spec.bitsPerSample / 8;
  for (const auto& [key, value] :
       {std::pair{MF_MT_AUDIO_BITS_PER_SAMPLE, spec.bitsPerSample}, {MF_MT_AUDIO_SAMPLES_PER_SECOND, spec.sampleRate},
        {MF_MT_AUDIO_NUM_CHANNELS, spec.channels}, {MF_MT_AUDIO_BLOCK_ALIGNMENT, blockAlign},
        {MF_MT_AUDIO_AVG_BYTES_PER_SECOND, blockAlign * spec.sampleRate}, {MF_MT_ALL_SAMPLES_INDEPENDENT, 1u}}) {
    Check(type->SetUINT32(key, value), "SetUINT32");
  }
  return type;
}

LONGLONG VideoFrameTime(const VideoSpec& spec, int64_t frameIndex) {
  return frameIndex * 10000000LL * spec.fpsDen / spec.fpsNum;
}

ComPtr<IMFSample> VideoSample(const VideoSpec& spec, int64_t frameIndex) {
  const size_t luma = size_t{spec.width} * spec.height;
  std::vector<uint8_t> picture(luma + luma / 2);
  uint32_t seed = static_cast<uint32_t>(frameIndex) + 1;
  for (UINT32 y = 0; y < spec.height; ++y) {
    for (UINT32 x = 0; x < spec.width; ++x) {
      seed = seed * 1664525u + 1013904223u;
      picture[y * spec.width + x] =
          static_cast<uint8_t>(20 + 3 * (frameIndex % 64) + ((x ^ y) & 15) + (spec.noise ? seed >> 30 : 0));
    }
  }
  // YV12: V before U.
  std::memset(picture.data() + luma, spec.v, luma / 4);
  std::memset(picture.data() + luma + luma / 4, spec.u, luma / 4);
  const LONGLONG time = VideoFrameTime(spec, frameIndex);
  return SampleOf(picture, time, spec.durations ? VideoFrameTime(spec, frameIndex + 1) - time : 0);
}

ComPtr<IMFSample> AudioSample(const AudioSpec& spec, int64_t firstFrame, int frames) {
  const UINT32 bytesPerSample = spec.bitsPerSample / 8;
  std::vector<uint8_t> pcm(size_t(frames) * spec.channels * bytesPerSample);
  uint8_t* cursor = pcm.data();
  for (int i = 0; i < frames; ++i) {
    const double value = 0.5 * std::sin(2 * M_PI * 440.0 * double(firstFrame + i) / spec.sampleRate);
    // Little-endian integers of 1 to 4 bytes, signed but for 8-bit ones (offset by 128).
    const uint32_t bits = (static_cast<uint32_t>(static_cast<int32_t>(std::llround(value * 2147483647.0))) >>
                           (8 * (4 - bytesPerSample))) ^ (bytesPerSample == 1 ? 0x80 : 0);
    for (UINT32 c = 0; c < spec.channels; ++c, cursor += bytesPerSample) {
      for (UINT32 b = 0; b < bytesPerSample; ++b) cursor[b] = static_cast<uint8_t>(bits >> (8 * b));
    }
  }
  const LONGLONG time = firstFrame * 10000000LL / spec.sampleRate;
  return SampleOf(pcm, time, (firstFrame + frames) * 10000000LL / spec.sampleRate - time);
}

Writer::Writer(const std::string& filePath, const VideoSpec* videoSpec, const AudioSpec* audioSpec,
               IMFAttributes* attributes)
    : path(filePath) {
  Check(MFCreateSinkWriterFromURL(Wide(path).c_str(), nullptr, attributes, &writer), "MFCreateSinkWriterFromURL");
  if (videoSpec) {
    video = *videoSpec;
    Check(writer->AddStream(VideoOutputType(video).Get(), &videoIndex), "AddStream");
    Check(writer->SetInputMediaType(videoIndex, VideoInputType(video).Get(), nullptr), "SetInputMediaType");
  }
  if (audioSpec) {
    audio = *audioSpec;
    Check(writer->AddStream(AudioOutputType(audio).Get(), &audioIndex), "AddStream");
    Check(writer->SetInputMediaType(audioIndex, AudioInputType(audio).Get(), nullptr), "SetInputMediaType");
  }
  Check(writer->BeginWriting(), "BeginWriting");
}

HRESULT Writer::WriteClip(int videoFrames, int64_t audioFrames, int audioChunk) const {
  int64_t nextFrame = videoIndex == kNoStream ? videoFrames : 0;
  int64_t nextAudio = audioIndex == kNoStream ? audioFrames : 0;
  while (nextFrame < videoFrames || nextAudio < audioFrames) {
    const double videoTime = nextFrame < videoFrames ? double(nextFrame) * video.fpsDen / video.fpsNum : INFINITY;
    const double audioTime = nextAudio < audioFrames ? double(nextAudio) / audio.sampleRate : INFINITY;
    const bool picture = videoTime <= audioTime;
    const int frames = static_cast<int>(std::min<int64_t>(audioChunk, audioFrames - nextAudio));
    const HRESULT hr = picture ? writer->WriteSample(videoIndex, VideoSample(video, nextFrame++).Get())
                               : writer->WriteSample(audioIndex, AudioSample(audio, nextAudio, frames).Get());
    if (FAILED(hr)) return hr;
    nextAudio += picture ? 0 : frames;
  }
  return S_OK;
}

FileReport Writer::FinishAndRead() {
  EXPECT_EQ(writer->Finalize(), S_OK) << path;
  writer = nullptr;
  return kx::test::ReadMediaFile(path);
}

}  // namespace sinkwriter_test

// libx265 keeps a few process-wide allocations until exit; they are not the
// layer's to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
