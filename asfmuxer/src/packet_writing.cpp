// One compressed packet becomes one sample for its track's stream sink: the
// bytes copied unchanged, the caller's time and duration, no flags.
#include <cstring>

#include "kxasfmuxer/muxer_wmv.h"
#include "kxdiag/log.h"
#include "kxplatform/scoped.h"

HRESULT MuxerWMV::CreateEmptySample(kx::ComPtr<IMFSample>& sample, kx::ComPtr<IMFMediaBuffer>& buffer,
                                    UINT32 length) {
  RETURN_IF_MUXER_FAILED(entryPoints.createSample(&sample), "MFCreateSample(&sample)");
  RETURN_IF_MUXER_FAILED(entryPoints.createMemoryBuffer(length, &buffer), "MFCreateMemoryBuffer(length, &buffer)");
  RETURN_IF_MUXER_FAILED(sample->AddBuffer(buffer.Get()), "sample->AddBuffer(buffer.Get())");
  return S_OK;
}

bool MuxerWMV::WritePacket(UINT32 trackNumber, const BYTE* data, UINT32 dataLength, LONGLONG samplePts,
                           LONGLONG sampleDur, int* status) {
  int unused = kPacketFailed;
  if (status == nullptr) status = &unused;
  *status = kPacketFailed;
  if (data == nullptr && dataLength > 0) {
    LogAtLevel(kLogError, "[Media Foundation %s: '%s']: WritePacket: no packet data for %u bytes, nothing written",
               "MuxerWMV", "MuxerWMV", dataLength);
    return false;
  }
  if (dataLength > kMaxPacketBytes) {
    LogAtLevel(kLogError,
               "[Media Foundation %s: '%s']: WritePacket: a packet of %u bytes is over the %u an ASF reader takes, "
               "nothing written",
               "MuxerWMV", "MuxerWMV", dataLength, kMaxPacketBytes);
    *status = kPacketRefused;
    return true;
  }

  kx::ComPtr<IMFSample> sample;
  kx::ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(MuxerCheck(CreateEmptySample(sample, buffer, dataLength), "CreateEmptySample(sample, buffer, dataLength)"))) {
    return false;
  }
  {
    kx::ScopedBufferLock lock(buffer.Get());
    if (FAILED(MuxerCheck(lock.status(), "buffer->Lock(&bufferData, NULL, NULL)"))) return false;
    if (dataLength > 0) std::memcpy(lock.data(), data, dataLength);
    if (FAILED(MuxerCheck(lock.Unlock(), "buffer->Unlock()"))) return false;
  }
  if (FAILED(MuxerCheck(buffer->SetCurrentLength(dataLength), "buffer->SetCurrentLength(dataLength)"))) return false;
  if (FAILED(MuxerCheck(sample->SetSampleTime(samplePts), "sample->SetSampleTime(samplePts)"))) return false;
  if (FAILED(MuxerCheck(sample->SetSampleDuration(sampleDur), "sample->SetSampleDuration(sampleDur)"))) return false;

  // Audio is compared first: a number equal to both tracks goes to audio.
  IMFStreamSink* streamSink = nullptr;
  if (trackNumber == audiotrackidx) {
    streamSink = audioStreamSink.Get();
  } else if (trackNumber == videotrackidx) {
    streamSink = videoStreamSink.Get();
  }
  // No stream sink (an absent track, or not configured): the sample is
  // dropped and the packet counts as accepted.
  const HRESULT hr = streamSink != nullptr ? streamSink->ProcessSample(sample.Get()) : S_OK;
  if (hr == MF_E_INVALID_STATE_TRANSITION) {
    *status = kPacketRefused;
    return true;
  }
  if (FAILED(MuxerCheck(hr, "process input"))) return false;
  *status = kPacketAccepted;
  return true;
}
