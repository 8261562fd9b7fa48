// The six functions of the legacy rows (WWMV, WWMA): files written through
// the direct ASF muxer from EncodeParams and MediaFrame records. The host
// hands over each track's extra-data block (its last 8 bytes point to the
// track's ready media type) before it creates the file; the blocks serve
// every later create until replaced.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include <kx_traxel/kx_traxel.h>
#include <kx_traxel/zq_log.h>

#include "discovery_tables.h"
#include "entry_points.h"
#include "kxasfmuxer/muxer_wmv.h"
#include "kxplatform/mf.h"
#include "kxrecords/encode_params.h"
#include "kxsinkwriter/sink_writer_encoder.h"

namespace {

constexpr uint32_t kWMA9 = KX_FOURCC('W', 'M', 'A', '9');
constexpr uint32_t kWMV3 = KX_FOURCC('W', 'M', 'V', '3');
// Track numbers and codes the legacy rows give the muxer.
constexpr UINT32 kLegacyAudioTrack = 1;
constexpr UINT32 kLegacyVideoTrack = 2;
constexpr UINT32 kLegacyVideoModeCode = 3;

// The blocks last handed over, for all files of this path. The lock keeps a
// create from copying a block that another thread is replacing.
std::mutex g_legacyBlocksLock;
std::vector<uint8_t> legacyAudioExtraData;
std::vector<uint8_t> legacyVideoExtraData;

// Result of the most recent legacy MFStartup; read by every legacy close.
std::atomic<int32_t> legacyMfStartupResult{0};

int32_t PointerAsInt(const void* pointer) {
  return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)));
}

MediaFileHandle LegacyCreateFailed(const kx_wchar* pFileName, MuxerWMV* muxer, HRESULT startup) {
  delete muxer;
  LogPrintW(KX_W("kx_Traxel.dll: Create file[%ls] failed."), pFileName);
  // The start-up this create made is undone; another create's is not.
  if (startup == S_OK) MFShutdown();
  return nullptr;
}

MuxerWMV* CreateMuxerFromBlocks(const kx_wchar* pFileName) {
  std::lock_guard<std::mutex> lock(g_legacyBlocksLock);
  return MuxerWMV::Create(pFileName, legacyAudioExtraData.data(), static_cast<int32_t>(legacyAudioExtraData.size()),
                          legacyVideoExtraData.data(), static_cast<int32_t>(legacyVideoExtraData.size()));
}

void ReplaceBlock(std::vector<uint8_t>& block, const uint8_t* data, int32_t length) {
  // A null block, or a byte count below 0, leaves the stored block.
  if (data == nullptr || length < 0) return;
  try {
    std::vector<uint8_t> copy(data, data + length);
    std::lock_guard<std::mutex> lock(g_legacyBlocksLock);
    block.swap(copy);
  } catch (...) {
    LogPrintW(KX_W("kx_Traxel.dll: out of memory for an extra-data block of %d bytes; the stored one stays."),
              length);
  }
}

int32_t LegacyWrite(MediaFileHandle handle, UINT32 MuxerWMV::*track, const uint8_t* data, int32_t bytes,
                    const MediaFrame& frame) {
  if (bytes < 1) return 0;
  auto* muxer = static_cast<MuxerWMV*>(handle);
  int status = MuxerWMV::kPacketFailed;
  try {
    (void)muxer->WritePacket(muxer->*track, data, static_cast<UINT32>(bytes), frame.pts, frame.duration, &status);
  } catch (...) {
    status = MuxerWMV::kPacketFailed;
  }
  return status == MuxerWMV::kPacketRefused ? 0 : 1;
}

}  // namespace

MediaFileHandle LegacyCreateMediaFile(const kx_wchar* pFileName, const EncodeParams* pEncParam, uint64_t /*value*/) {
  LogPrintW(KX_W("kx_Traxel.dll: Creating media file[%ls]..."), pFileName);

  const HRESULT startup = MFStartup(MF_VERSION, MFSTARTUP_FULL);
  legacyMfStartupResult.store(startup, std::memory_order_relaxed);
  if (startup != S_OK) LogPrintW(KX_W("kx_Traxel.dll: Init MFStartup Failed,hr =%d \n"), startup);

  if (pFileName == nullptr || pEncParam == nullptr) {
    LogPrintW(KX_W("kx_Traxel.dll: wrong poiter - pFileName[%d] or pEncParam[%d])."), PointerAsInt(pFileName),
              PointerAsInt(pEncParam));
    return LegacyCreateFailed(pFileName, nullptr, startup);
  }
  // Both rows lead to the same functions; the row is only checked.
  if (FindFileFormat(kx::LegacyFileFormatTable(), pEncParam->nFileFourCC) == nullptr) {
    return LegacyCreateFailed(pFileName, nullptr, startup);
  }

  MuxerWMV* muxer = CreateMuxerFromBlocks(pFileName);
  if (muxer != nullptr) {
    const EncodeParams& p = *pEncParam;
    if (p.bNoAudio == 0) {
      muxer->SetAudioParam(kLegacyAudioTrack, p.audio.nChannels, p.audio.nSampleRate, p.audio.nBitrate,
                           p.audio.nBitsPerSample, p.audio.nFourCC == kWMA9 ? 3 : 2);
    }
    if (p.bNoVideo == 0) {
      const SinkWriterEncoder::FrameRatio rate = SinkWriterEncoder::FrameRateToRatio(p.video.dFrameRate);
      muxer->SetVideoParam(kLegacyVideoTrack, p.video.nWidth, p.video.nHeight, rate.num, rate.den, p.video.nBitrate,
                           kLegacyVideoModeCode, p.video.nFourCC == kWMV3 ? 6 : 5);
    }
  }
  int configured = 0;
  try {
    configured = muxer != nullptr ? muxer->ConfigInit() : 0;
  } catch (...) {
    configured = 0;
  }
  if (configured == 1) return muxer;
  return LegacyCreateFailed(pFileName, muxer, startup);
}

int32_t LegacyWriteAudioFrame(MediaFileHandle handle, const MediaFrame* pFrame, uint64_t /*value*/,
                              uint32_t /*outStreamIndex*/) {
  if (handle == nullptr || pFrame == nullptr) return -1;
  return LegacyWrite(handle, &MuxerWMV::audiotrackidx, pFrame->audio.pData, pFrame->audio.nBytes, *pFrame);
}

int32_t LegacyWriteVideoFrame(MediaFileHandle handle, const MediaFrame* pFrame, uint32_t /*outStreamIndex*/) {
  if (handle == nullptr || pFrame == nullptr) return -1;
  return LegacyWrite(handle, &MuxerWMV::videotrackidx, pFrame->video.pPacket, pFrame->video.nPacketBytes, *pFrame);
}

void LegacyCloseMediaFile(MediaFileHandle handle) {
  try {
    // Finishes the file, then releases the muxer's objects.
    delete static_cast<MuxerWMV*>(handle);
  } catch (...) {
  }
  if (legacyMfStartupResult.load(std::memory_order_relaxed) == 0) MFShutdown();
  LogTextW(KX_W("kx_Traxel.dll: media file closed."));
}

void LegacySetAudioExtraData(MediaFileHandle /*handle*/, const uint8_t* pData, int32_t nBytes,
                             uint32_t /*outStreamIndex*/) {
  ReplaceBlock(legacyAudioExtraData, pData, nBytes);
}

void LegacySetVideoExtraData(MediaFileHandle /*handle*/, const uint8_t* pData, int32_t nBytes,
                             const uint8_t* /*pFirst*/, int32_t /*nFirstBytes*/, uint32_t /*outStreamIndex*/) {
  ReplaceBlock(legacyVideoExtraData, pData, nBytes);
}
