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

// Every row names every field: a null slot reads as one, and a field out of
// the header's order does not compile.
EncoderDescriptor g_encoders[] = {
    {.fourcc = kWMA8, .shortName = KX_W("WMA8"), .description = KX_W("Windows media audio 8"), .isVideo = 0, .reserved = {}},
    {.fourcc = kWMA9, .shortName = KX_W("WMA9"), .description = KX_W("Windows media audio 9"), .isVideo = 0, .reserved = {}},
    {.fourcc = kWMV1, .shortName = KX_W("WMV1"), .description = KX_W("Windows video 7"), .isVideo = 1, .reserved = {}},
    {.fourcc = kWMV2, .shortName = KX_W("WMV2"), .description = KX_W("Windows video 8"), .isVideo = 1, .reserved = {}},
    {.fourcc = kWMV3, .shortName = KX_W("WMV3"), .description = KX_W("Windows video 9 "), .isVideo = 1, .reserved = {}},
    {.fourcc = kHVC1, .shortName = KX_W("WVC1"), .description = KX_W("Windows video 9 HD"), .isVideo = 1, .reserved = {}},
    {.fourcc = kW264, .shortName = KX_W("H264"), .description = KX_W("Windows System H264"), .isVideo = 1, .reserved = {}},
    {.fourcc = kW265, .shortName = KX_W("H265"), .description = KX_W("Windows System H264"), .isVideo = 1, .reserved = {}},
    {.fourcc = kWAAC, .shortName = KX_W("WAAC"), .description = KX_W("Windows System AAC"), .isVideo = 0, .reserved = {}},
    {},  // the terminator row: all zero
};

constexpr CodecListEntry Enabled(uint32_t fourcc) { return {.fourcc = fourcc, .enabled = 1}; }
constexpr CodecListEntry Disabled(uint32_t fourcc) { return {.fourcc = fourcc, .enabled = 0}; }
constexpr CodecListEntry kEndOfList = {.fourcc = 0, .enabled = 0};

// Codec lists of the GetFileFormats rows.
CodecListEntry g_wmvAudioCodecs[] = {Enabled(kWMA8), Enabled(kWMA9), kEndOfList};
CodecListEntry g_wmvVideoCodecs[] = {Enabled(kWMV1), Enabled(kWMV2), Enabled(kWMV3), Enabled(kHVC1), kEndOfList};
CodecListEntry g_wmaAudioCodecs[] = {Enabled(kWMA8), Enabled(kWMA9), kEndOfList};
CodecListEntry g_mp4AudioCodecs[] = {Enabled(kWAAC), kEndOfList};
CodecListEntry g_mp4VideoCodecs[] = {Enabled(kW264), Enabled(kW265), kEndOfList};

FileFormatDescriptor g_fileFormats[] = {
    {.fourcc = kWWMV,
     .extension = KX_W(".wmv"),
     .shortName = KX_W("WMV"),
     .description = KX_W("Windows Media Video"),
     .audioCodecs = g_wmvAudioCodecs,
     .videoCodecs = g_wmvVideoCodecs,
     .CreateMediaFile = CreateMediaFile,
     .WriteAudioFrame = WriteAudioFrame,
     .WriteVideoFrame = WriteVideoFrame,
     .CloseMediaFile = CloseMediaFile,
     .SetAudioExtraData = nullptr,
     .SetVideoExtraData = nullptr,
     .reserved = {}},
    {.fourcc = kWWMA,
     .extension = KX_W(".wma"),
     .shortName = KX_W("WMA"),
     .description = KX_W("Windows Media Audio"),
     .audioCodecs = g_wmaAudioCodecs,
     .videoCodecs = nullptr,
     .CreateMediaFile = CreateMediaFile,
     .WriteAudioFrame = WriteAudioFrame,
     .WriteVideoFrame = nullptr,
     .CloseMediaFile = CloseMediaFile,
     .SetAudioExtraData = nullptr,
     .SetVideoExtraData = nullptr,
     .reserved = {}},
    {.fourcc = kWMP4,
     .extension = KX_W(".mp4"),
     .shortName = KX_W("mp4"),
     .description = KX_W("Windows MP4 Video"),
     .audioCodecs = g_mp4AudioCodecs,
     .videoCodecs = g_mp4VideoCodecs,
     .CreateMediaFile = CreateMediaFile,
     .WriteAudioFrame = WriteAudioFrame,
     .WriteVideoFrame = WriteVideoFrame,
     .CloseMediaFile = CloseMediaFile,
     .SetAudioExtraData = nullptr,
     .SetVideoExtraData = nullptr,
     .reserved = {}},
    {},  // the terminator row: all zero
};

// The multi-stream rows have their own copies of the lists.
CodecListEntry g_msWmvAudioCodecs[] = {Enabled(kWMA8), Enabled(kWMA9), kEndOfList};
CodecListEntry g_msWmvVideoCodecs[] = {Enabled(kWMV1), Enabled(kWMV2), Enabled(kWMV3), Enabled(kHVC1), kEndOfList};
CodecListEntry g_msWmaAudioCodecs[] = {Enabled(kWMA8), Enabled(kWMA9), kEndOfList};
CodecListEntry g_msMp4AudioCodecs[] = {Enabled(kWAAC), kEndOfList};
CodecListEntry g_msMp4VideoCodecs[] = {Enabled(kW264), Enabled(kW265), kEndOfList};

MultiStreamFormatDescriptor g_multiStreamFormats[] = {
    {.fourcc = kWWMV,
     .extension = KX_W(".wmv"),
     .shortName = KX_W("WMV"),
     .description = KX_W("Windows Media Video"),
     .audioCodecs = g_msWmvAudioCodecs,
     .videoCodecs = g_msWmvVideoCodecs,
     .reserved424 = nullptr,
     .CreateMediaFileMultiStream = CreateMediaFileMultiStream,
     .AddStreamInfoMultiStream = AddStreamInfoMultiStream,
     .InitMediaFileMultiStream = InitMediaFileMultiStream,
     .WriteFrameMultiStream = WriteFrameMultiStream,
     .CloseMediaFileMultiStream = CloseMediaFileMultiStream,
     .WriteExtraDataMultiStream = WriteExtraDataMultiStream,
     .multiStreamFlag = 1,
     .reserved484 = {}},
    {.fourcc = kWWMA,
     .extension = KX_W(".wma"),
     .shortName = KX_W("WMA"),
     .description = KX_W("Windows Media Audio"),
     .audioCodecs = g_msWmaAudioCodecs,
     .videoCodecs = nullptr,
     .reserved424 = nullptr,
     .CreateMediaFileMultiStream = CreateMediaFileMultiStream,
     .AddStreamInfoMultiStream = AddStreamInfoMultiStream,
     .InitMediaFileMultiStream = InitMediaFileMultiStream,
     .WriteFrameMultiStream = WriteFrameMultiStream,
     .CloseMediaFileMultiStream = CloseMediaFileMultiStream,
     .WriteExtraDataMultiStream = WriteExtraDataMultiStream,
     .multiStreamFlag = 1,
     .reserved484 = {}},
    {.fourcc = kWMP4,
     .extension = KX_W(".mp4"),
     .shortName = KX_W("mp4"),
     .description = KX_W("Windows MP4 Video"),
     .audioCodecs = g_msMp4AudioCodecs,
     .videoCodecs = g_msMp4VideoCodecs,
     .reserved424 = nullptr,
     .CreateMediaFileMultiStream = CreateMediaFileMultiStream,
     .AddStreamInfoMultiStream = AddStreamInfoMultiStream,
     .InitMediaFileMultiStream = InitMediaFileMultiStream,
     .WriteFrameMultiStream = WriteFrameMultiStream,
     .CloseMediaFileMultiStream = CloseMediaFileMultiStream,
     .WriteExtraDataMultiStream = WriteExtraDataMultiStream,
     .multiStreamFlag = 1,
     .reserved484 = {}},
    {},  // the terminator row: all zero
};

// The legacy rows: one audio list for both, every entry disabled; the six
// legacy entry points in both rows (no video writer for .wma).
CodecListEntry g_legacyAudioCodecs[] = {Disabled(kWMA8), Disabled(kWMA9), kEndOfList};
CodecListEntry g_legacyVideoCodecs[] = {Disabled(kWMV2), Disabled(kWMV3), kEndOfList};

FileFormatDescriptor g_legacyFileFormats[] = {
    {.fourcc = kWWMV,
     .extension = KX_W(".wmv"),
     .shortName = KX_W("WMV"),
     .description = KX_W("Windows Media Video"),
     .audioCodecs = g_legacyAudioCodecs,
     .videoCodecs = g_legacyVideoCodecs,
     .CreateMediaFile = LegacyCreateMediaFile,
     .WriteAudioFrame = LegacyWriteAudioFrame,
     .WriteVideoFrame = LegacyWriteVideoFrame,
     .CloseMediaFile = LegacyCloseMediaFile,
     .SetAudioExtraData = LegacySetAudioExtraData,
     .SetVideoExtraData = LegacySetVideoExtraData,
     .reserved = {}},
    {.fourcc = kWWMA,
     .extension = KX_W(".wma"),
     .shortName = KX_W("WMA"),
     .description = KX_W("Windows Media Audio"),
     .audioCodecs = g_legacyAudioCodecs,
     .videoCodecs = nullptr,
     .CreateMediaFile = LegacyCreateMediaFile,
     .WriteAudioFrame = LegacyWriteAudioFrame,
     .WriteVideoFrame = nullptr,
     .CloseMediaFile = LegacyCloseMediaFile,
     .SetAudioExtraData = LegacySetAudioExtraData,
     .SetVideoExtraData = LegacySetVideoExtraData,
     .reserved = {}},
    {},  // the terminator row: all zero
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
