#include "writer_helpers.h"

#include "temp_dir.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

using kx::ComPtr;

namespace sinkwriter_test {

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string TempPath(const std::string& fileName) {
  static std::atomic<int> counter{0};
  static const kx::test::TempDir folder("mf_sinkwriter");  // removed with its contents at exit
  return (folder / (std::to_string(counter++) + "_" + fileName)).string();
}

HRESULT MakeVideoOutputType(const VideoSpec& spec, IMFMediaType** out) {
  ComPtr<IMFMediaType> type;
  HRESULT hr = MFCreateMediaType(&type);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, spec.subtype);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AVG_BITRATE, spec.bitrate);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  if (SUCCEEDED(hr)) hr = MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, spec.width, spec.height);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, spec.fpsNum, spec.fpsDen);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  if (SUCCEEDED(hr)) *out = type.Detach();
  return hr;
}

HRESULT MakeVideoInputType(const VideoSpec& spec, IMFMediaType** out) {
  ComPtr<IMFMediaType> type;
  HRESULT hr = MFCreateMediaType(&type);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, spec.inputSubtype);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, spec.fpsNum, spec.fpsDen);
  if (SUCCEEDED(hr)) hr = MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, spec.width, spec.height);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  if (SUCCEEDED(hr)) *out = type.Detach();
  return hr;
}

HRESULT FindAudioOutputType(const AudioSpec& spec, IMFMediaType** out) {
  ComPtr<IMFCollection> types;
  HRESULT hr = MFTranscodeGetAudioOutputAvailableTypes(spec.subtype, MFT_ENUM_FLAG_ALL, nullptr, &types);
  if (FAILED(hr)) return hr;
  DWORD count = 0;
  hr = types->GetElementCount(&count);
  if (FAILED(hr)) return hr;
  ComPtr<IMFMediaType> fallback;
  for (DWORD i = 0; i < count; ++i) {
    ComPtr<IUnknown> element;
    ComPtr<IMFMediaType> type;
    if (FAILED(types->GetElement(i, &element)) ||
        FAILED(element->QueryInterface(IID_IMFMediaType, reinterpret_cast<void**>(&type)))) {
      return E_FAIL;
    }
    if (MFGetAttributeUINT32(type.Get(), MF_MT_AUDIO_SAMPLES_PER_SECOND, 0) != spec.sampleRate ||
        MFGetAttributeUINT32(type.Get(), MF_MT_AUDIO_NUM_CHANNELS, 0) != spec.channels) {
      continue;
    }
    if (MFGetAttributeUINT32(type.Get(), MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0) == spec.outputBytesPerSecond) {
      *out = type.Detach();
      return S_OK;
    }
    if (!fallback) fallback = type;
  }
  if (!fallback) return MF_E_NOT_FOUND;
  *out = fallback.Detach();
  return S_OK;
}

HRESULT MakeAudioInputType(const AudioSpec& spec, IMFMediaType** out) {
  ComPtr<IMFMediaType> type;
  const UINT32 blockAlign = spec.channels * spec.bitsPerSample / 8;
  HRESULT hr = MFCreateMediaType(&type);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, spec.inputSubtype);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, spec.bitsPerSample);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, spec.sampleRate);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, spec.channels);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, blockAlign);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, blockAlign * spec.sampleRate);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
  if (SUCCEEDED(hr)) *out = type.Detach();
  return hr;
}

LONGLONG VideoFrameTime(const VideoSpec& spec, int64_t frameIndex) {
  return frameIndex * 10000000LL * spec.fpsDen / spec.fpsNum;
}

namespace {

HRESULT SampleWithBytes(const std::vector<uint8_t>& bytes, LONGLONG time, LONGLONG duration, IMFSample** out) {
  ComPtr<IMFSample> sample;
  ComPtr<IMFMediaBuffer> buffer;
  HRESULT hr = MFCreateSample(&sample);
  if (SUCCEEDED(hr)) hr = MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), &buffer);
  BYTE* data = nullptr;
  if (SUCCEEDED(hr)) hr = buffer->Lock(&data, nullptr, nullptr);
  if (SUCCEEDED(hr)) {
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    hr = buffer->Unlock();
  }
  if (SUCCEEDED(hr)) hr = buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
  if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
  if (SUCCEEDED(hr)) hr = sample->SetSampleTime(time);
  if (SUCCEEDED(hr)) hr = sample->SetSampleDuration(duration);
  if (SUCCEEDED(hr)) *out = sample.Detach();
  return hr;
}

}  // namespace

double RampedLuma(int64_t frameIndex) { return 20 + 3 * static_cast<double>(frameIndex % 64) + 7.5; }

HRESULT MakeVideoSample(const VideoSpec& spec, int64_t frameIndex, IMFSample** out) {
  const size_t luma = size_t{spec.width} * spec.height;
  std::vector<uint8_t> picture(luma + luma / 2);
  for (UINT32 y = 0; y < spec.height; ++y) {
    for (UINT32 x = 0; x < spec.width; ++x) {
      picture[y * spec.width + x] = spec.rampLuma ? static_cast<uint8_t>(20 + 3 * (frameIndex % 64) + ((x ^ y) & 15))
                                                  : static_cast<uint8_t>(x + y + 4 * frameIndex);
    }
  }
  uint8_t* chroma = picture.data() + luma;
  const size_t quarter = luma / 4;
  if (spec.inputSubtype == MFVideoFormat_NV12) {
    for (size_t i = 0; i < quarter; ++i) {
      chroma[2 * i] = spec.u;
      chroma[2 * i + 1] = spec.v;
    }
  } else {
    const bool yv12 = spec.inputSubtype == MFVideoFormat_YV12;  // V before U
    std::memset(chroma, yv12 ? spec.v : spec.u, quarter);
    std::memset(chroma + quarter, yv12 ? spec.u : spec.v, quarter);
  }
  const LONGLONG time = VideoFrameTime(spec, frameIndex);
  return SampleWithBytes(picture, time, VideoFrameTime(spec, frameIndex + 1) - time, out);
}

HRESULT MakeAudioSample(const AudioSpec& spec, int64_t firstFrame, int frames, IMFSample** out) {
  const UINT32 bytesPerSample = spec.bitsPerSample / 8;
  std::vector<uint8_t> pcm(size_t(frames) * spec.channels * bytesPerSample);
  uint8_t* cursor = pcm.data();
  for (int i = 0; i < frames; ++i) {
    const double value = 0.5 * std::sin(2 * M_PI * 440.0 * double(firstFrame + i) / spec.sampleRate);
    for (UINT32 c = 0; c < spec.channels; ++c) {
      if (spec.inputSubtype == MFAudioFormat_Float) {
        const float f = static_cast<float>(value);
        std::memcpy(cursor, &f, 4);
      } else if (bytesPerSample == 1) {
        *cursor = static_cast<uint8_t>(std::lround(128 + 127 * value));
      } else {
        // Signed little-endian integer of 2, 3 or 4 bytes.
        const int shift = 8 * static_cast<int>(4 - bytesPerSample);
        const int64_t full = std::llround(value * 2147483647.0);
        const uint32_t bits = static_cast<uint32_t>(static_cast<int32_t>(full)) >> shift;
        for (UINT32 b = 0; b < bytesPerSample; ++b) cursor[b] = static_cast<uint8_t>(bits >> (8 * b));
      }
      cursor += bytesPerSample;
    }
  }
  const LONGLONG time = firstFrame * 10000000LL / spec.sampleRate;
  const LONGLONG end = (firstFrame + frames) * 10000000LL / spec.sampleRate;
  return SampleWithBytes(pcm, time, end - time, out);
}

HRESULT OpenWriter(const std::string& path, const VideoSpec* video, const AudioSpec* audio,
                   IMFAttributes* attributes, IMFSinkWriter** writerOut, DWORD* videoIndex,
                   DWORD* audioIndex) {
  *videoIndex = kNoStream;
  *audioIndex = kNoStream;
  const std::u16string widePath = Wide(path);
  ComPtr<IMFSinkWriter> writer;
  HRESULT hr = MFCreateSinkWriterFromURL(widePath.c_str(), nullptr, attributes, &writer);
  if (FAILED(hr)) return hr;
  if (video) {
    ComPtr<IMFMediaType> output, input;
    hr = MakeVideoOutputType(*video, &output);
    if (SUCCEEDED(hr)) hr = writer->AddStream(output.Get(), videoIndex);
    if (SUCCEEDED(hr)) hr = MakeVideoInputType(*video, &input);
    if (SUCCEEDED(hr)) hr = writer->SetInputMediaType(*videoIndex, input.Get(), nullptr);
    if (FAILED(hr)) return hr;
  }
  if (audio) {
    ComPtr<IMFMediaType> output, input;
    hr = FindAudioOutputType(*audio, &output);
    if (SUCCEEDED(hr)) hr = writer->AddStream(output.Get(), audioIndex);
    if (SUCCEEDED(hr)) hr = MakeAudioInputType(*audio, &input);
    if (SUCCEEDED(hr)) hr = writer->SetInputMediaType(*audioIndex, input.Get(), nullptr);
    if (FAILED(hr)) return hr;
  }
  hr = writer->BeginWriting();
  if (SUCCEEDED(hr)) *writerOut = writer.Detach();
  return hr;
}

HRESULT WriteClip(IMFSinkWriter* writer, DWORD videoIndex, const VideoSpec& video, int videoFrames,
                  DWORD audioIndex, const AudioSpec& audio, int64_t audioFrames, int audioChunk) {
  int64_t nextFrame = videoIndex == kNoStream ? videoFrames : 0;
  int64_t nextAudio = audioIndex == kNoStream ? audioFrames : 0;
  while (nextFrame < videoFrames || nextAudio < audioFrames) {
    const double videoTime = nextFrame < videoFrames ? double(nextFrame) * video.fpsDen / video.fpsNum : INFINITY;
    const double audioTime = nextAudio < audioFrames ? double(nextAudio) / audio.sampleRate : INFINITY;
    ComPtr<IMFSample> sample;
    HRESULT hr;
    if (videoTime <= audioTime) {
      hr = MakeVideoSample(video, nextFrame++, &sample);
      if (SUCCEEDED(hr)) hr = writer->WriteSample(videoIndex, sample.Get());
    } else {
      const int frames = static_cast<int>(std::min<int64_t>(audioChunk, audioFrames - nextAudio));
      hr = MakeAudioSample(audio, nextAudio, frames, &sample);
      nextAudio += frames;
      if (SUCCEEDED(hr)) hr = writer->WriteSample(audioIndex, sample.Get());
    }
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace sinkwriter_test

// libx265 keeps a few process-wide allocations until exit; they are not the
// layer's to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
