// The seven MFWMVMuxer_ exports: thin C functions over MuxerWMV. The handle
// is the MuxerWMV itself. Nothing thrown crosses the boundary.
#include <kx_traxel/kx_traxel.h>

#include "kxasfmuxer/muxer_wmv.h"

namespace {

MuxerWMV* AsMuxer(MFWMVMuxerHandle handle) { return static_cast<MuxerWMV*>(handle); }

}  // namespace

extern "C" {

KX_TRAXEL_API MFWMVMuxerHandle MFWMVMuxer_Create(const kx_wchar* pFileName, const uint8_t* pAudioExtraData,
                                                 int32_t nAudioExtraDataBytes, const uint8_t* pVideoExtraData,
                                                 int32_t nVideoExtraDataBytes) {
  return MuxerWMV::Create(pFileName, pAudioExtraData, nAudioExtraDataBytes, pVideoExtraData, nVideoExtraDataBytes);
}

KX_TRAXEL_API int32_t MFWMVMuxer_SetAudioParam(MFWMVMuxerHandle handle, uint32_t audiotrackidx, uint32_t nChannels,
                                               uint32_t nSampleRate, uint32_t nBitrate, uint32_t nBitsPerSample,
                                               uint32_t nCodecCode) {
  if (handle == nullptr) return 0;
  AsMuxer(handle)->SetAudioParam(audiotrackidx, nChannels, nSampleRate, nBitrate, nBitsPerSample, nCodecCode);
  return 1;
}

KX_TRAXEL_API int32_t MFWMVMuxer_SetVideoParam(MFWMVMuxerHandle handle, uint32_t videotrackidx, uint32_t nWidth,
                                               uint32_t nHeight, uint32_t nFrameRateNum, uint32_t nFrameRateDen,
                                               uint32_t nBitrate, uint32_t nModeCode, uint32_t nCodecCode) {
  if (handle == nullptr) return 0;
  AsMuxer(handle)->SetVideoParam(videotrackidx, nWidth, nHeight, nFrameRateNum, nFrameRateDen, nBitrate, nModeCode,
                                 nCodecCode);
  return 1;
}

KX_TRAXEL_API int32_t MFWMVMuxer_ConfigInit(MFWMVMuxerHandle handle) {
  if (handle == nullptr) return 0;
  try {
    return AsMuxer(handle)->ConfigInit();
  } catch (...) {
    return 0;
  }
}

KX_TRAXEL_API int32_t MFWMVMuxer_WriteAudioPacket(MFWMVMuxerHandle handle, const MFWMVMuxerPacket* pPacket) {
  if (handle == nullptr) return 0;
  try {
    return AsMuxer(handle)->WriteAudioPacket(pPacket);
  } catch (...) {
    return 1;  // a failed packet, as any other failure
  }
}

KX_TRAXEL_API int32_t MFWMVMuxer_WriteVideoPacket(MFWMVMuxerHandle handle, const MFWMVMuxerPacket* pPacket) {
  if (handle == nullptr) return 0;
  try {
    return AsMuxer(handle)->WriteVideoPacket(pPacket);
  } catch (...) {
    return 1;
  }
}

KX_TRAXEL_API void MFWMVMuxer_Destroy(MFWMVMuxerHandle handle) {
  try {
    delete AsMuxer(handle);
  } catch (...) {
  }
}

}  // extern "C"
