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
  RETURN_IF_FAILED(entryPoints.createSample(&sample), "MFCreateSample(&sample)");
  RETURN_IF_FAILED(entryPoints.createMemoryBuffer(length, &buffer), "MFCreateMemoryBuffer(length, &buffer)");
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
    // FlushEncode logs its own failure; the answer is 0 either way, and the
    // close tries the finalizing again when it did not happen.
    (void)FlushEncode();
    LogAtLevel(kLogInfo, "[Media Foundation ]: FlushEncode");
    return 0;
  }
  return SUCCEEDED(WriteVideoSample(*pFrame)) ? 1 : 0;
}

HRESULT SinkWriterEncoder::WriteVideoSample(const MediaFrame& frame) {
  if (!mfsinkwriter) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeVideoFrame: the file is not open, nothing written");
    return E_UNEXPECTED;
  }
  PlaneTable planes{};
  for (int i = 0; i < 3; ++i) {
    planes.data[i] = frame.video.pData[i];
    planes.stride[i] = frame.video.nStride[i];
    if (planes.data[i] == nullptr) {
      LogAtLevel(kLogError, "[Media Foundation ]: EncodeVideoFrame: plane %d of the picture is null, nothing written",
                 i);
      return E_POINTER;
    }
  }

  const UINT32 W = encParam.video.nWidth;
  const UINT32 H = encParam.video.nHeight;
  UINT32 imageSize = 0;
  RETURN_IF_FAILED(MFCalculateImageSize(MFVideoFormat_YV12, W, H, &imageSize),
                   "MFCalculateImageSize(MFVideoFormat_YV12, encParam.video.nWidth, encParam.video.nHeight, "
                   "&imageSize)");
  // The three tightly packed planes must fit the picture the platform sized.
  const uint64_t planeBytes = uint64_t{W} * H + 2 * (uint64_t{W >> 1} * (H >> 1));
  if (planeBytes > imageSize) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeVideoFrame: a %ux%u picture does not fit %u bytes", W, H,
               imageSize);
    return E_INVALIDARG;
  }

  kx::ComPtr<IMFSample> sample;
  kx::ComPtr<IMFMediaBuffer> buffer;
  RETURN_IF_FAILED(CreateEmptySample(sample, buffer, imageSize), "CreateEmptySample(sample, buffer, imageSize)");
  {
    kx::ScopedBufferLock lock(buffer.Get());
    RETURN_IF_FAILED(lock.status(), "buffer->Lock(&bufferData, NULL, NULL)");
    BYTE* cursor = lock.data();
    HRESULT copied = S_OK;
    CopyYV12Planes(
        [&](UINT32 width, UINT32 height, int plane) {
          const HRESULT hr =
              MFCopyImage(cursor, static_cast<LONG>(width), planes.data[plane], planes.stride[plane], width, height);
          if (SUCCEEDED(copied)) copied = hr;
          cursor += width * height;
        },
        W, H);
    RETURN_IF_FAILED(copied, "MFCopyImage(cursor, width, planes.data[plane], planes.stride[plane], width, height)");
    // Odd sizes leave bytes past the copied planes; they are zeroed, never
    // handed on uninitialised.
    if (planeBytes < imageSize) std::memset(cursor, 0, imageSize - static_cast<size_t>(planeBytes));
    RETURN_IF_FAILED(lock.Unlock(), "buffer->Unlock()");
  }
  RETURN_IF_FAILED(buffer->SetCurrentLength(imageSize), "buffer->SetCurrentLength(imageSize)");
  RETURN_IF_FAILED(sample->SetSampleTime(frame.pts), "sample->SetSampleTime(pFrame->pts)");
  // Every picture gets the nominal frame duration. A rate the platform
  // cannot convert (0/1) gives duration 0: the time stamps alone then space
  // the pictures.
  UINT64 sampleDur = 0;
  if (FAILED(MFFrameRateToAverageTimePerFrame(num, den, &sampleDur))) sampleDur = 0;
  RETURN_IF_FAILED(sample->SetSampleDuration(static_cast<LONGLONG>(sampleDur)), "sample->SetSampleDuration(sampleDur)");
  RETURN_IF_FAILED(mfsinkwriter->WriteSample(videoStreamIndex, sample.Get()),
                   "mfsinkwriter->WriteSample(videoStreamIndex, sample)");
  return S_OK;
}

int SinkWriterEncoder::EncodeAudioFrame(const MediaFrame* pFrame) {
  if (encParam.bNoAudio != 0) return 0;
  if (pFrame == nullptr) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeAudioFrame: no frame, nothing written");
    return 0;
  }
  return SUCCEEDED(WriteAudioSample(*pFrame)) ? 1 : 0;
}

HRESULT SinkWriterEncoder::WriteAudioSample(const MediaFrame& frame) {
  if (!mfsinkwriter) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeAudioFrame: the file is not open, nothing written");
    return E_UNEXPECTED;
  }
  const INT32 nBytes = frame.audio.nBytes;
  if (nBytes < 0) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeAudioFrame: negative byte count %d, nothing written", nBytes);
    return E_INVALIDARG;
  }
  if (nBytes > 0 && frame.audio.pData == nullptr) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeAudioFrame: no PCM data for %d bytes, nothing written", nBytes);
    return E_POINTER;
  }
  // The duration divides by the channel count, the bytes per sample and the
  // sample rate (all as the signed values the formula uses).
  const INT32 channels = static_cast<INT32>(encParam.audio.nChannels);
  const INT32 bitsPerSample = static_cast<INT32>(encParam.audio.nBitsPerSample);
  if (channels <= 0 || bitsPerSample < 8 || encParam.audio.nSampleRate == 0) {
    LogAtLevel(kLogError,
               "[Media Foundation ]: EncodeAudioFrame: no duration for %d channels of %d bits at %u Hz, nothing written",
               channels, bitsPerSample, encParam.audio.nSampleRate);
    return E_INVALIDARG;
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
      return E_OUTOFMEMORY;
    }
  }
  const int64_t carried = static_cast<int64_t>(pcmCarry.size());
  const int64_t available = carried + nBytes;
  const int64_t sampleBytes = available - available % blockAlign;
  if (nBytes > 0 && sampleBytes == 0) {
    // Not even one frame yet: kept, written with the next block.
    pcmCarry.insert(pcmCarry.end(), frame.audio.pData, frame.audio.pData + nBytes);
    return S_OK;
  }
  if (sampleBytes > UINT32_MAX) {
    LogAtLevel(kLogError, "[Media Foundation ]: EncodeAudioFrame: %d bytes do not fit one sample, nothing written",
               nBytes);
    return E_INVALIDARG;
  }
  const int64_t fromCarry = std::min(carried, sampleBytes);
  // Whatever becomes of the sample, the block's trailing partial frame
  // begins the next one: a refused block is missing from the file, but the
  // blocks after it stay aligned to whole frames.
  const HRESULT written = WritePcm(frame, fromCarry, sampleBytes - fromCarry, blockAlign);
  pcmCarry.erase(pcmCarry.begin(), pcmCarry.begin() + fromCarry);
  pcmCarry.insert(pcmCarry.end(), frame.audio.pData + (sampleBytes - fromCarry), frame.audio.pData + nBytes);
  return written;
}

HRESULT SinkWriterEncoder::WritePcm(const MediaFrame& frame, int64_t fromCarry, int64_t fromBlock,
                                    int64_t blockAlign) {
  const int64_t sampleBytes = fromCarry + fromBlock;
  kx::ComPtr<IMFSample> sample;
  kx::ComPtr<IMFMediaBuffer> buffer;
  RETURN_IF_FAILED(CreateEmptySample(sample, buffer, static_cast<UINT32>(sampleBytes)),
                   "CreateEmptySample(sample, buffer, pFrame->audio.nBytes)");
  {
    kx::ScopedBufferLock lock(buffer.Get());
    RETURN_IF_FAILED(lock.status(), "buffer->Lock(&bufferData, NULL, NULL)");
    if (fromCarry > 0) std::memcpy(lock.data(), pcmCarry.data(), static_cast<size_t>(fromCarry));
    if (fromBlock > 0) std::memcpy(lock.data() + fromCarry, frame.audio.pData, static_cast<size_t>(fromBlock));
    RETURN_IF_FAILED(lock.Unlock(), "buffer->Unlock()");
  }
  RETURN_IF_FAILED(buffer->SetCurrentLength(static_cast<DWORD>(sampleBytes)),
                   "buffer->SetCurrentLength(pFrame->audio.nBytes)");
  // Whole PCM frames (each division truncates), then the duration in single
  // precision: 305 frames at 44100 Hz give 69161.
  const INT32 channels = static_cast<INT32>(encParam.audio.nChannels);
  const INT32 bitsPerSample = static_cast<INT32>(encParam.audio.nBitsPerSample);
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
  const LONGLONG samplePts = frame.pts < INT64_MIN + carriedDuration ? INT64_MIN : frame.pts - carriedDuration;
  RETURN_IF_FAILED(sample->SetSampleTime(samplePts), "sample->SetSampleTime(samplePts)");
  RETURN_IF_FAILED(sample->SetSampleDuration(static_cast<LONGLONG>(sampleDur)), "sample->SetSampleDuration(sampleDur)");
  RETURN_IF_FAILED(mfsinkwriter->WriteSample(audioStreamIndex, sample.Get()),
                   "mfsinkwriter->WriteSample(audioStreamIndex, sample)");
  return S_OK;
}
