// Sample writing: one host frame becomes one Media Foundation sample with the
// host's time stamp and a computed duration.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>

#include "kxdiag/log.h"
#include "kxsinkwriter/sink_writer_encoder.h"

namespace {

// The per-call copy of the frame's three planes.
struct PlaneTable {
  const BYTE* data[3];
  LONG stride[3];
};

}  // namespace

HRESULT SinkWriterEncoder::CreateEmptySample(kx::ComPtr<IMFSample>& sample, kx::ComPtr<IMFMediaBuffer>& buffer,
                                             UINT32 length) {
  RETURN_IF_FAILED(MFCreateSample(&sample), "MFCreateSample(&sample)");
  RETURN_IF_FAILED(MFCreateMemoryBuffer(length, &buffer), "MFCreateMemoryBuffer(length, &buffer)");
  RETURN_IF_FAILED(sample->AddBuffer(buffer.Get()), "sample->AddBuffer(buffer.Get())");
  return S_OK;
}

bool SinkWriterEncoder::CopyYV12Planes(const PlaneCopy& copyPlane, UINT32 W, UINT32 H) {
  // YV12 keeps V before U.
  copyPlane(W, H, 0);
  copyPlane(W >> 1, H >> 1, 2);
  copyPlane(W >> 1, H >> 1, 1);
  return true;
}

int SinkWriterEncoder::EncodeVideoFrame(const MediaFrame* pFrame) {
  if (encParam.bNoVideo != 0) return 0;
  if (pFrame == nullptr) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeVideoFrame: no frame, nothing written");
    return 0;
  }
  if (pFrame->duration == KX_FINISH_REQUEST_DURATION) {
    // FlushEncode logs its own failure; the answer is 0 either way.
    FlushEncode();
    LogAtLevel(kLogInfo, "[Media Foundation ]: FlushEncode");
    return 0;
  }
  if (!mfsinkwriter) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeVideoFrame: the file is not open, nothing written");
    return 0;
  }

  PlaneTable planes{};
  for (int i = 0; i < 3; ++i) {
    planes.data[i] = pFrame->video.pData[i];
    planes.stride[i] = pFrame->video.nStride[i];
    if (planes.data[i] == nullptr) {
      LogAtLevel(kLogError, "[Media Foundation ]: EncodeVideoFrame: plane %d of the picture is null, nothing written",
                 i);
      return 0;
    }
  }

  const UINT32 W = encParam.video.nWidth;
  const UINT32 H = encParam.video.nHeight;
  UINT32 imageSize = 0;
  if (FAILED(MfCheck(MFCalculateImageSize(MFVideoFormat_YV12, W, H, &imageSize),
                     "MFCalculateImageSize(MFVideoFormat_YV12, encParam.video.nWidth, encParam.video.nHeight, "
                     "&imageSize)"))) {
    return 0;
  }
  // The three tightly packed planes must fit the picture the platform sized.
  const uint64_t planeBytes = uint64_t{W} * H + 2 * (uint64_t{W >> 1} * (H >> 1));
  if (planeBytes > imageSize) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeVideoFrame: a %ux%u picture does not fit %u bytes", W, H,
               imageSize);
    return 0;
  }

  kx::ComPtr<IMFSample> sample;
  kx::ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(MfCheck(CreateEmptySample(sample, buffer, imageSize), "CreateEmptySample(sample, buffer, imageSize)"))) {
    return 0;
  }
  BYTE* bufferData = nullptr;
  if (FAILED(MfCheck(buffer->Lock(&bufferData, nullptr, nullptr), "buffer->Lock(&bufferData, NULL, NULL)"))) return 0;
  BYTE* cursor = bufferData;
  CopyYV12Planes(
      [&](UINT32 width, UINT32 height, int plane) {
        (void)MFCopyImage(cursor, static_cast<LONG>(width), planes.data[plane], planes.stride[plane], width, height);
        cursor += width * height;
      },
      W, H);
  // Odd sizes leave bytes past the copied planes; they are zeroed, never
  // handed on uninitialised.
  if (planeBytes < imageSize) std::memset(cursor, 0, imageSize - static_cast<size_t>(planeBytes));
  if (FAILED(MfCheck(buffer->Unlock(), "buffer->Unlock()"))) return 0;
  if (FAILED(MfCheck(buffer->SetCurrentLength(imageSize), "buffer->SetCurrentLength(imageSize)"))) return 0;
  if (FAILED(MfCheck(sample->SetSampleTime(pFrame->pts), "sample->SetSampleTime(pFrame->pts)"))) return 0;
  // Every picture gets the nominal frame duration. A rate the platform
  // cannot convert (0/1) gives duration 0: the time stamps alone then space
  // the pictures.
  UINT64 sampleDur = 0;
  if (FAILED(MFFrameRateToAverageTimePerFrame(num, den, &sampleDur))) sampleDur = 0;
  if (FAILED(MfCheck(sample->SetSampleDuration(static_cast<LONGLONG>(sampleDur)),
                     "sample->SetSampleDuration(sampleDur)"))) {
    return 0;
  }
  if (FAILED(MfCheck(mfsinkwriter->WriteSample(videoStreamIndex, sample.Get()),
                     "mfsinkwriter->WriteSample(videoStreamIndex, sample)"))) {
    return 0;
  }
  return 1;
}

int SinkWriterEncoder::EncodeAudioFrame(const MediaFrame* pFrame) {
  if (encParam.bNoAudio != 0) return 0;
  if (pFrame == nullptr) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeAudioFrame: no frame, nothing written");
    return 0;
  }
  if (!mfsinkwriter) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeAudioFrame: the file is not open, nothing written");
    return 0;
  }
  const INT32 nBytes = pFrame->audio.nBytes;
  if (nBytes < 0) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeAudioFrame: negative byte count %d, nothing written", nBytes);
    return 0;
  }
  if (nBytes > 0 && pFrame->audio.pData == nullptr) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeAudioFrame: no PCM data for %d bytes, nothing written", nBytes);
    return 0;
  }
  // The duration divides by the channel count, the bytes per sample and the
  // sample rate (all as the signed values the formula uses).
  const INT32 channels = static_cast<INT32>(encParam.audio.nChannels);
  const INT32 bitsPerSample = static_cast<INT32>(encParam.audio.nBitsPerSample);
  if (channels <= 0 || bitsPerSample < 8 || encParam.audio.nSampleRate == 0) {
    LogAtLevel(kLogError,
               "[Media Foundation ]: EncodeAudioFrame: no duration for %d channels of %d bits at %u Hz, nothing written",
               channels, bitsPerSample, encParam.audio.nSampleRate);
    return 0;
  }

  // The sample holds whole PCM frames: the bytes carried from the last
  // block, then this block's bytes up to its last whole frame; the rest is
  // carried on to the next block.
  const int64_t blockAlign = int64_t{channels} * (bitsPerSample / 8);
  if (pcmCarry.capacity() < static_cast<size_t>(blockAlign)) {
    // Room for the longest carry, so that keeping one never allocates.
    try {
      pcmCarry.reserve(static_cast<size_t>(blockAlign));
    } catch (const std::exception&) {
      LogAtLevel(kLogError, "[Media Foundation ]: EncodeAudioFrame: no memory for a PCM frame, nothing written");
      return 0;
    }
  }
  const int64_t carried = static_cast<int64_t>(pcmCarry.size());
  const int64_t available = carried + nBytes;
  const int64_t sampleBytes = available - available % blockAlign;
  if (nBytes > 0 && sampleBytes == 0) {
    // Not even one frame yet: kept, written with the next block.
    pcmCarry.insert(pcmCarry.end(), pFrame->audio.pData, pFrame->audio.pData + nBytes);
    return 1;
  }
  const int64_t fromCarry = std::min(carried, sampleBytes);
  const int64_t fromBlock = sampleBytes - fromCarry;
  if (sampleBytes > UINT32_MAX) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeAudioFrame: %d bytes do not fit one sample, nothing written",
               nBytes);
    return 0;
  }

  // Whatever becomes of the sample, the block's trailing partial frame
  // begins the next one: a refused block is missing from the file, but the
  // blocks after it stay aligned to whole frames.
  const int result = [&]() -> int {
    kx::ComPtr<IMFSample> sample;
    kx::ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(MfCheck(CreateEmptySample(sample, buffer, static_cast<UINT32>(sampleBytes)),
                       "CreateEmptySample(sample, buffer, pFrame->audio.nBytes)"))) {
      return 0;
    }
    BYTE* bufferData = nullptr;
    if (FAILED(MfCheck(buffer->Lock(&bufferData, nullptr, nullptr), "buffer->Lock(&bufferData, NULL, NULL)"))) {
      return 0;
    }
    if (fromCarry > 0) std::memcpy(bufferData, pcmCarry.data(), static_cast<size_t>(fromCarry));
    if (fromBlock > 0) {
      std::memcpy(bufferData + fromCarry, pFrame->audio.pData, static_cast<size_t>(fromBlock));
    }
    if (FAILED(MfCheck(buffer->Unlock(), "buffer->Unlock()"))) return 0;
    if (FAILED(MfCheck(buffer->SetCurrentLength(static_cast<DWORD>(sampleBytes)),
                       "buffer->SetCurrentLength(pFrame->audio.nBytes)"))) {
      return 0;
    }
    // Whole PCM frames (each division truncates), then the duration in single
    // precision: 305 frames at 44100 Hz give 69161.
    const INT32 frames = static_cast<INT32>((sampleBytes / channels) / (bitsPerSample / 8));
    const float seconds = static_cast<float>(frames) / static_cast<float>(encParam.audio.nSampleRate);
    const float duration100ns = seconds * 10000000.0f;
    const UINT64 sampleDur = static_cast<UINT64>(duration100ns);
    // The host's time is that of its block's first byte; the carried bytes
    // came before it, so the sample starts that part of a frame earlier.
    const LONGLONG carriedDuration =
        fromCarry == 0 ? 0
                       : static_cast<LONGLONG>((fromCarry * 10000000 + blockAlign * encParam.audio.nSampleRate / 2) /
                                               (blockAlign * encParam.audio.nSampleRate));
    const LONGLONG samplePts =
        pFrame->pts < INT64_MIN + carriedDuration ? INT64_MIN : pFrame->pts - carriedDuration;
    if (FAILED(MfCheck(sample->SetSampleTime(samplePts), "sample->SetSampleTime(samplePts)"))) return 0;
    if (FAILED(MfCheck(sample->SetSampleDuration(static_cast<LONGLONG>(sampleDur)),
                       "sample->SetSampleDuration(sampleDur)"))) {
      return 0;
    }
    if (FAILED(MfCheck(mfsinkwriter->WriteSample(audioStreamIndex, sample.Get()),
                       "mfsinkwriter->WriteSample(audioStreamIndex, sample)"))) {
      return 0;
    }
    return 1;
  }();
  pcmCarry.erase(pcmCarry.begin(), pcmCarry.begin() + fromCarry);
  pcmCarry.insert(pcmCarry.end(), pFrame->audio.pData + fromBlock, pFrame->audio.pData + nBytes);
  return result;
}
