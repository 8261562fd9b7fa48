// The multi-stream adapter behind every GetFileMultiStreamFormats row: it
// collects one EncodeParams per described stream, merges them into one record
// at open time and forwards everything to the GetFileFormats row that the
// host names by FourCC.
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <kx_traxel/kx_traxel.h>
#include <kx_traxel/zq_log.h>

#include "discovery_tables.h"
#include "entry_points.h"
#include "kxrecords/encode_params.h"
#include "kxrecords/extra_data.h"

namespace {

// One described stream; owns its copy of the host's record.
struct StreamRecord {
  StreamRecord() { EncodeParamsInit(&params); }
  ~StreamRecord() { EncodeParamsRelease(&params); }
  StreamRecord(const StreamRecord&) = delete;
  StreamRecord& operator=(const StreamRecord&) = delete;

  EncodeParams params;
  uint32_t streamtype = 0;
  uint32_t programid = 0;
  uint32_t InStreamindex = 0;
  uint32_t OutStreamIndex = 0;
};

struct MultiStreamFile {
  // In the order of addition; records are found by a linear walk.
  std::vector<std::unique_ptr<StreamRecord>> streams;
  // The row every call is forwarded to: the first GetFileFormats row until
  // the open, then the row of the host's FourCC (null when there is none).
  const FileFormatDescriptor* pFileFormat = nullptr;
  MediaFileHandle hMediaFile = nullptr;
};

// The merged record of an open, released on every way out.
struct MergedParams {
  MergedParams() { EncodeParamsInit(&params); }
  ~MergedParams() { EncodeParamsRelease(&params); }
  MergedParams(const MergedParams&) = delete;
  MergedParams& operator=(const MergedParams&) = delete;
  EncodeParams params;
};

// A FourCC as four wide characters, lowest byte first ("%c%c%c%c").
struct FourCCText {
  explicit FourCCText(uint32_t fourcc) {
    for (int i = 0; i < 4; ++i) text[i] = static_cast<kx_wchar>((fourcc >> (8 * i)) & 0xFF);
    text[4] = 0;
  }
  kx_wchar text[5];
};

// A host language field (10 code units, not necessarily terminated inside
// the field) as a terminated text; "und" when it is empty.
struct LanguageText {
  explicit LanguageText(const kx_wchar (&field)[10]) {
    if (field[0] == 0) {
      const kx_wchar undefined[] = KX_W("und");
      std::memcpy(text, undefined, sizeof undefined);
      return;
    }
    std::memcpy(text, field, sizeof field);
    text[10] = 0;
  }
  kx_wchar text[11] = {};
};

int32_t AsInt(uint32_t value) { return static_cast<int32_t>(value); }

// Nothing crosses the boundary to the host: an exception that reaches an
// entry point ends the call with its failure result and this line. The
// current exception is looked at only to name it; logging itself may fail
// when memory is short, and then the line is lost, never the host.
void LogCaughtException(const kx_wchar* function) noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      LogPrintW(KX_W("kx_%ls: %ls failed: out of memory \n"), kMultiStreamTag, function);
    } catch (...) {
      LogPrintW(KX_W("kx_%ls: %ls failed: unexpected exception \n"), kMultiStreamTag, function);
    }
  } catch (...) {
  }
}

void LogStreamInfo(uint32_t streamtype, uint32_t programid, uint32_t InStreamindex, uint32_t OutStreamIndex,
                   const EncodeParams& encParam) {
  switch (streamtype) {
    case KX_STREAMTYPE_VIDEO:
      LogPrintW(KX_W("kx_%ls:AddStreamInfoMultiStream::streamtype = VIDEO,programid=%d ,InStreamindex =%d ,")
                    KX_W("OutStreamIndex=%d \n"),
                kMultiStreamTag, AsInt(programid), AsInt(InStreamindex), AsInt(OutStreamIndex));
      LogPrintW(KX_W("kx_%ls:AddStreamInfoMultiStream::streamfourcc= [%ls],width=%d ,height =%d ,framerate=%0.6f,")
                    KX_W("bitrate=%d \n"),
                kMultiStreamTag, FourCCText(encParam.video.nFourCC).text, AsInt(encParam.video.nWidth),
                AsInt(encParam.video.nHeight), encParam.video.dFrameRate, AsInt(encParam.video.nBitrate));
      break;
    case KX_STREAMTYPE_AUDIO:
      LogPrintW(KX_W("kx_%ls:AddStreamInfoMultiStream::streamtype = AUDIO,programid=%d ,InStreamindex =%d ,")
                    KX_W("OutStreamIndex=%d \n"),
                kMultiStreamTag, AsInt(programid), AsInt(InStreamindex), AsInt(OutStreamIndex));
      LogPrintW(KX_W("kx_%ls:AddStreamInfoMultiStream::streamfourcc= [%ls], channel=%d ,samplerate =%d ,")
                    KX_W("bitrate=%d ,language=%ls \n"),
                kMultiStreamTag, FourCCText(encParam.audio.nFourCC).text, AsInt(encParam.audio.nChannels),
                AsInt(encParam.audio.nSampleRate), AsInt(encParam.audio.nBitrate),
                LanguageText(encParam.audio.szLanguage).text);
      break;
    case KX_STREAMTYPE_SUBPIC_INTERNAL:
    case KX_STREAMTYPE_SUBPIC_EXTERNAL:
      if (streamtype == KX_STREAMTYPE_SUBPIC_INTERNAL) {
        LogPrintW(KX_W("kx_%ls:AddStreamInfoMultiStream::streamtype = SUBPIC_Internal,programid=%d ,")
                      KX_W("InStreamindex =%d ,OutStreamIndex=%d \n"),
                  kMultiStreamTag, AsInt(programid), AsInt(InStreamindex), AsInt(OutStreamIndex));
      } else {
        LogPrintW(KX_W("kx_%ls:AddStreamInfoMultiStream::streamtype = SUBPIC_External,programid=%d ,")
                      KX_W("InStreamindex =%d ,OutStreamIndex=%d \n"),
                  kMultiStreamTag, AsInt(programid), AsInt(InStreamindex), AsInt(OutStreamIndex));
      }
      LogPrintW(KX_W("kx_%ls:AddStreamInfoMultiStream::streamfourcc = [%ls] , language=%ls \n"), kMultiStreamTag,
                FourCCText(encParam.subpicture.nFourCC).text, LanguageText(encParam.subpicture.szLanguage).text);
      break;
    default:
      break;
  }
}

// Merges one described stream into the record of the file; a later record of
// a type replaces what an earlier one of the same type gave.
void MergeStream(const StreamRecord& stream, EncodeParams* merged) {
  const EncodeParams& from = stream.params;
  switch (stream.streamtype) {
    case KX_STREAMTYPE_VIDEO:
      merged->video.nFourCC = from.video.nFourCC;
      merged->video.nWidth = from.video.nWidth;
      merged->video.nHeight = from.video.nHeight;
      merged->video.dFrameRate = from.video.dFrameRate;
      merged->video.nHostValue24 = from.video.nHostValue24;
      merged->video.nBitrate = from.video.nBitrate;
      merged->video.nHostValue32 = from.video.nHostValue32;
      merged->video.nHostValue36 = from.video.nHostValue36;
      merged->video.nHostValue40 = from.video.nHostValue40;
      merged->video.nHostValue44 = from.video.nHostValue44;
      StreamExtraBlockCopy(&merged->video.extra, from.video.extra);
      merged->bNoVideo = from.bNoVideo;
      break;
    case KX_STREAMTYPE_AUDIO:
      merged->audio.nFourCC = from.audio.nFourCC;
      merged->audio.nSampleRate = from.audio.nSampleRate;
      merged->audio.nChannels = from.audio.nChannels;
      merged->audio.nBitrate = from.audio.nBitrate;
      merged->audio.nHostValue16 = from.audio.nHostValue16;
      merged->audio.nHostValue20 = from.audio.nHostValue20;
      merged->audio.nBitsPerSample = from.audio.nBitsPerSample;
      StreamExtraBlockCopy(&merged->audio.extra, from.audio.extra);
      merged->bNoAudio = from.bNoAudio;
      // The host's further settings and its XMP metadata ride with the audio
      // stream.
      std::memcpy(merged->opaqueBlock, from.opaqueBlock, sizeof merged->opaqueBlock);
      merged->xmpMetadata = from.xmpMetadata;
      break;
    case KX_STREAMTYPE_SUBPICTURE:
      merged->subpicture.nFourCC = from.subpicture.nFourCC;
      merged->subpicture.nHostValue4 = from.subpicture.nHostValue4;
      merged->subpicture.nHostValue8 = from.subpicture.nHostValue8;
      merged->subpicture.nHostValue12 = from.subpicture.nHostValue12;
      StreamExtraBlockCopy(&merged->subpicture.extra, from.subpicture.extra);
      merged->bNoSubpicture = from.bNoSubpicture;
      break;
    default:
      break;
  }
}

MultiStreamFileHandle CreateMediaFileBody() {
  LogPrintW(KX_W("kx_%ls: CreateMediaFileMultiStream \n"), kMultiStreamTag);
  auto* file = new (std::nothrow) MultiStreamFile;
  if (file == nullptr) return nullptr;
  LogPrintW(KX_W("kx_Traxel.dll: Return file formatsEX..."));
  file->pFileFormat = kx::FileFormatTable();
  return file;
}

int32_t AddStreamInfoBody(MultiStreamFileHandle handle, uint32_t streamtype, uint32_t programid,
                          uint32_t InStreamindex, uint32_t OutStreamIndex, const EncodeParams* pEncParam) {
  if (handle == nullptr) return 1;
  if (pEncParam == nullptr) {
    LogPrintW(KX_W("kx_%ls:AddStreamInfoMultiStream::pEncParam is null, stream not added \n"), kMultiStreamTag);
    return 0;
  }
  auto* file = static_cast<MultiStreamFile*>(handle);
  LogStreamInfo(streamtype, programid, InStreamindex, OutStreamIndex, *pEncParam);

  std::unique_ptr<StreamRecord> record(new (std::nothrow) StreamRecord);
  if (record == nullptr) {
    LogPrintW(KX_W("kx_%ls:AddStreamInfoMultiStream::out of memory, stream not added \n"), kMultiStreamTag);
    return 0;
  }
  EncodeParamsCopy(&record->params, *pEncParam);
  record->streamtype = streamtype;
  record->programid = programid;
  record->InStreamindex = InStreamindex;
  record->OutStreamIndex = OutStreamIndex;
  try {
    file->streams.push_back(std::move(record));
  } catch (const std::bad_alloc&) {
    LogPrintW(KX_W("kx_%ls:AddStreamInfoMultiStream::out of memory, stream not added \n"), kMultiStreamTag);
    return 0;
  }
  return 1;
}

int32_t InitMediaFileBody(MultiStreamFileHandle handle, uint32_t fourcc, const kx_wchar* pFileName,
                          uint64_t value) {
  if (handle == nullptr) {
    LogPrintW(KX_W("kx_%ls: InitMediaFileMultiStream Failed, null handle \n"), kMultiStreamTag);
    return 0;
  }
  auto* file = static_cast<MultiStreamFile*>(handle);
  if (file->hMediaFile != nullptr) {
    // A second open would lose the first file; the open one stays as it is.
    LogPrintW(KX_W("kx_%ls: InitMediaFileMultiStream Failed, file already open,file fourcc =[%ls] ,filename =[%ls]"),
              kMultiStreamTag, FourCCText(fourcc).text, pFileName);
    return 0;
  }

  LogPrintW(KX_W("kx_Traxel.dll: Return file formatsEX..."));
  file->pFileFormat = FindFileFormat(kx::FileFormatTable(), fourcc);

  if (file->pFileFormat != nullptr && !file->streams.empty() && file->pFileFormat->CreateMediaFile != nullptr) {
    std::unique_ptr<MergedParams> merged(new (std::nothrow) MergedParams);
    if (merged != nullptr) {
      for (const auto& stream : file->streams) MergeStream(*stream, &merged->params);
      merged->params.nFileFourCC = fourcc;
      file->hMediaFile = file->pFileFormat->CreateMediaFile(pFileName, &merged->params, value);
    }
  }

  if (file->hMediaFile == nullptr) {
    LogPrintW(KX_W("kx_%ls: InitMediaFileMultiStream Failed,file fourcc =[%ls] ,filename =[%ls]"), kMultiStreamTag,
              FourCCText(fourcc).text, pFileName);
    return 0;
  }
  LogPrintW(KX_W("kx_%ls: InitMediaFileMultiStream Success,file fourcc =[%ls] ,filename =[%ls]"), kMultiStreamTag,
            FourCCText(fourcc).text, pFileName);
  return 1;
}

int32_t WriteFrameBody(MultiStreamFileHandle handle, uint32_t OutStreamIndex, const MediaFrame* pFrame,
                       uint64_t value) {
  if (handle == nullptr || pFrame == nullptr) return 0;
  auto* file = static_cast<MultiStreamFile*>(handle);
  const FileFormatDescriptor* row = file->pFileFormat;
  if (row == nullptr) return 0;
  for (const auto& stream : file->streams) {
    if (stream->OutStreamIndex != OutStreamIndex) continue;
    if (stream->streamtype == KX_STREAMTYPE_AUDIO && row->WriteAudioFrame != nullptr) {
      return row->WriteAudioFrame(file->hMediaFile, pFrame, value, stream->OutStreamIndex);
    }
    if (stream->streamtype == KX_STREAMTYPE_VIDEO && row->WriteVideoFrame != nullptr) {
      return row->WriteVideoFrame(file->hMediaFile, pFrame, stream->OutStreamIndex);
    }
  }
  return 0;
}

// The single-stream close of an open file; the object goes in any case.
void CloseBody(MultiStreamFileHandle handle) {
  if (handle != nullptr) {
    std::unique_ptr<MultiStreamFile> file(static_cast<MultiStreamFile*>(handle));
    if (file->pFileFormat != nullptr && file->pFileFormat->CloseMediaFile != nullptr) {
      file->pFileFormat->CloseMediaFile(file->hMediaFile);
    }
  }
  LogPrintW(KX_W("kx_%ls: CloseMediaFileMultiStream \n"), kMultiStreamTag);
}

void WriteExtraDataBody(MultiStreamFileHandle handle, uint32_t OutStreamIndex, const uint8_t* pData, int32_t nSize) {
  LogPrintW(KX_W("kx_%ls: WriteExtraDataMultiStream,streamidx =[%d] \n"), kMultiStreamTag, AsInt(OutStreamIndex));
  if (handle == nullptr) return;
  auto* file = static_cast<MultiStreamFile*>(handle);
  const FileFormatDescriptor* row = file->pFileFormat;
  if (row == nullptr) return;
  for (const auto& stream : file->streams) {
    if (stream->OutStreamIndex != OutStreamIndex) continue;
    if (stream->streamtype == KX_STREAMTYPE_AUDIO) {
      const ExtraDataBlocks blocks = SplitExtraData(pData, nSize);
      if (row->SetAudioExtraData != nullptr) {
        row->SetAudioExtraData(file->hMediaFile, blocks.first, blocks.firstBytes, stream->OutStreamIndex);
        return;
      }
    } else if (stream->streamtype == KX_STREAMTYPE_VIDEO) {
      const ExtraDataBlocks blocks = SplitExtraData(pData, nSize);
      if (row->SetVideoExtraData != nullptr) {
        row->SetVideoExtraData(file->hMediaFile, blocks.second, blocks.secondBytes, blocks.first, blocks.firstBytes,
                               stream->OutStreamIndex);
        return;
      }
    }
  }
}

}  // namespace

MultiStreamFileHandle CreateMediaFileMultiStream(void) {
  try {
    return CreateMediaFileBody();
  } catch (...) {
    LogCaughtException(KX_W("CreateMediaFileMultiStream"));
    return nullptr;
  }
}

int32_t AddStreamInfoMultiStream(MultiStreamFileHandle handle, uint32_t streamtype, uint32_t programid,
                                 uint32_t InStreamindex, uint32_t OutStreamIndex, const EncodeParams* pEncParam) {
  try {
    return AddStreamInfoBody(handle, streamtype, programid, InStreamindex, OutStreamIndex, pEncParam);
  } catch (...) {
    LogCaughtException(KX_W("AddStreamInfoMultiStream"));
    return 0;
  }
}

int32_t InitMediaFileMultiStream(MultiStreamFileHandle handle, uint32_t fourcc, const kx_wchar* pFileName,
                                 uint64_t value) {
  try {
    return InitMediaFileBody(handle, fourcc, pFileName, value);
  } catch (...) {
    LogCaughtException(KX_W("InitMediaFileMultiStream"));
    return 0;
  }
}

int32_t WriteFrameMultiStream(MultiStreamFileHandle handle, uint32_t OutStreamIndex, const MediaFrame* pFrame,
                              uint64_t value) {
  try {
    return WriteFrameBody(handle, OutStreamIndex, pFrame, value);
  } catch (...) {
    LogCaughtException(KX_W("WriteFrameMultiStream"));
    return 0;
  }
}

void CloseMediaFileMultiStream(MultiStreamFileHandle handle) {
  try {
    CloseBody(handle);
  } catch (...) {
    LogCaughtException(KX_W("CloseMediaFileMultiStream"));
  }
}

void WriteExtraDataMultiStream(MultiStreamFileHandle handle, uint32_t OutStreamIndex, const uint8_t* pData,
                               int32_t nSize) {
  try {
    WriteExtraDataBody(handle, OutStreamIndex, pData, nSize);
  } catch (...) {
    LogCaughtException(KX_W("WriteExtraDataMultiStream"));
  }
}
