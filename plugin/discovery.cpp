// Discovery: the static tables a host reads and the three exports that hand
// them out. The tables stay in writable static storage for the life of the
// library; nothing changes them after load.
#include <kx_traxel/kx_traxel.h>
#include <kx_traxel/zq_log.h>

#include "discovery_tables.h"
#include "entry_points.h"

namespace {

constexpr uint32_t kWMA8 = KX_FOURCC('W', 'M', 'A', '8');
constexpr uint32_t kWMA9 = KX_FOURCC('W', 'M', 'A', '9');
constexpr uint32_t kWMV1 = KX_FOURCC('W', 'M', 'V', '1');
constexpr uint32_t kWMV2 = KX_FOURCC('W', 'M', 'V', '2');
constexpr uint32_t kWMV3 = KX_FOURCC('W', 'M', 'V', '3');
constexpr uint32_t kHVC1 = KX_FOURCC('H', 'V', 'C', '1');
constexpr uint32_t kW264 = KX_FOURCC('W', '2', '6', '4');
constexpr uint32_t kW265 = KX_FOURCC('W', '2', '6', '5');
constexpr uint32_t kWAAC = KX_FOURCC('W', 'A', 'A', 'C');
constexpr uint32_t kWWMV = KX_FOURCC('W', 'W', 'M', 'V');
constexpr uint32_t kWWMA = KX_FOURCC('W', 'W', 'M', 'A');
constexpr uint32_t kWMP4 = KX_FOURCC('W', 'M', 'P', '4');

EncoderDescriptor g_encoders[] = {
    {kWMA8, KX_W("WMA8"), KX_W("Windows media audio 8"), 0, {}},
    {kWMA9, KX_W("WMA9"), KX_W("Windows media audio 9"), 0, {}},
    {kWMV1, KX_W("WMV1"), KX_W("Windows video 7"), 1, {}},
    {kWMV2, KX_W("WMV2"), KX_W("Windows video 8"), 1, {}},
    {kWMV3, KX_W("WMV3"), KX_W("Windows video 9 "), 1, {}},
    {kHVC1, KX_W("WVC1"), KX_W("Windows video 9 HD"), 1, {}},
    {kW264, KX_W("H264"), KX_W("Windows System H264"), 1, {}},
    {kW265, KX_W("H265"), KX_W("Windows System H264"), 1, {}},
    {kWAAC, KX_W("WAAC"), KX_W("Windows System AAC"), 0, {}},
    {},
};

// Codec lists of the GetFileFormats rows.
CodecListEntry g_wmvAudioCodecs[] = {{kWMA8, 1}, {kWMA9, 1}, {0, 0}};
CodecListEntry g_wmvVideoCodecs[] = {{kWMV1, 1}, {kWMV2, 1}, {kWMV3, 1}, {kHVC1, 1}, {0, 0}};
CodecListEntry g_wmaAudioCodecs[] = {{kWMA8, 1}, {kWMA9, 1}, {0, 0}};
CodecListEntry g_mp4AudioCodecs[] = {{kWAAC, 1}, {0, 0}};
CodecListEntry g_mp4VideoCodecs[] = {{kW264, 1}, {kW265, 1}, {0, 0}};

FileFormatDescriptor g_fileFormats[] = {
    {kWWMV, KX_W(".wmv"), KX_W("WMV"), KX_W("Windows Media Video"), g_wmvAudioCodecs, g_wmvVideoCodecs,
     CreateMediaFile, WriteAudioFrame, WriteVideoFrame, CloseMediaFile, nullptr, nullptr, {}},
    {kWWMA, KX_W(".wma"), KX_W("WMA"), KX_W("Windows Media Audio"), g_wmaAudioCodecs, nullptr,
     CreateMediaFile, WriteAudioFrame, nullptr, CloseMediaFile, nullptr, nullptr, {}},
    {kWMP4, KX_W(".mp4"), KX_W("mp4"), KX_W("Windows MP4 Video"), g_mp4AudioCodecs, g_mp4VideoCodecs,
     CreateMediaFile, WriteAudioFrame, WriteVideoFrame, CloseMediaFile, nullptr, nullptr, {}},
    {},
};

// The multi-stream rows have their own copies of the lists.
CodecListEntry g_msWmvAudioCodecs[] = {{kWMA8, 1}, {kWMA9, 1}, {0, 0}};
CodecListEntry g_msWmvVideoCodecs[] = {{kWMV1, 1}, {kWMV2, 1}, {kWMV3, 1}, {kHVC1, 1}, {0, 0}};
CodecListEntry g_msWmaAudioCodecs[] = {{kWMA8, 1}, {kWMA9, 1}, {0, 0}};
CodecListEntry g_msMp4AudioCodecs[] = {{kWAAC, 1}, {0, 0}};
CodecListEntry g_msMp4VideoCodecs[] = {{kW264, 1}, {kW265, 1}, {0, 0}};

MultiStreamFormatDescriptor g_multiStreamFormats[] = {
    {kWWMV, KX_W(".wmv"), KX_W("WMV"), KX_W("Windows Media Video"), g_msWmvAudioCodecs, g_msWmvVideoCodecs,
     nullptr, CreateMediaFileMultiStream, AddStreamInfoMultiStream, InitMediaFileMultiStream,
     WriteFrameMultiStream, CloseMediaFileMultiStream, WriteExtraDataMultiStream, 1, {}},
    {kWWMA, KX_W(".wma"), KX_W("WMA"), KX_W("Windows Media Audio"), g_msWmaAudioCodecs, nullptr,
     nullptr, CreateMediaFileMultiStream, AddStreamInfoMultiStream, InitMediaFileMultiStream,
     WriteFrameMultiStream, CloseMediaFileMultiStream, WriteExtraDataMultiStream, 1, {}},
    {kWMP4, KX_W(".mp4"), KX_W("mp4"), KX_W("Windows MP4 Video"), g_msMp4AudioCodecs, g_msMp4VideoCodecs,
     nullptr, CreateMediaFileMultiStream, AddStreamInfoMultiStream, InitMediaFileMultiStream,
     WriteFrameMultiStream, CloseMediaFileMultiStream, WriteExtraDataMultiStream, 1, {}},
    {},
};

// The legacy rows: one audio list for both, every entry disabled. Their six
// slots belong to the legacy entry points and stay null until those exist.
CodecListEntry g_legacyAudioCodecs[] = {{kWMA8, 0}, {kWMA9, 0}, {0, 0}};
CodecListEntry g_legacyVideoCodecs[] = {{kWMV2, 0}, {kWMV3, 0}, {0, 0}};

FileFormatDescriptor g_legacyFileFormats[] = {
    {kWWMV, KX_W(".wmv"), KX_W("WMV"), KX_W("Windows Media Video"), g_legacyAudioCodecs, g_legacyVideoCodecs,
     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, {}},
    {kWWMA, KX_W(".wma"), KX_W("WMA"), KX_W("Windows Media Audio"), g_legacyAudioCodecs, nullptr,
     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, {}},
    {},
};

}  // namespace

namespace kx {

FileFormatDescriptor* FileFormatTable() { return g_fileFormats; }

FileFormatDescriptor* LegacyFileFormatTable() { return g_legacyFileFormats; }

}  // namespace kx

extern "C" {

// The exports only log and hand out static tables, which cannot fail; the
// log line is all that an exception (from the log library, when memory is
// short) can take, never the table or the host.
KX_TRAXEL_API EncoderDescriptor* GetEncoders(void) {
  try {
    LogTextW(KX_W("kx_Traxel.dll: Return encodersEX..."));
  } catch (...) {
  }
  return g_encoders;
}

KX_TRAXEL_API FileFormatDescriptor* GetFileFormats(void) {
  try {
    LogPrintW(KX_W("kx_Traxel.dll: Return file formatsEX..."));
  } catch (...) {
  }
  return g_fileFormats;
}

KX_TRAXEL_API MultiStreamFormatDescriptor* GetFileMultiStreamFormats(void) {
  try {
    LogPrintW(KX_W("kx_%ls: GetFileMultiStreamFormats... \n"), kMultiStreamTag);
  } catch (...) {
  }
  return g_multiStreamFormats;
}

}  // extern "C"
