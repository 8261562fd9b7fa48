#include "kxrecords/encode_params.h"

#include <cstring>
#include <new>

namespace {

// The part of a StreamExtraBlock in front of its first padding: copied and
// zeroed as one run of bytes.
constexpr size_t kExtraBlockPlainBytes = offsetof(StreamExtraBlock, padding0);

void InitExtraBlock(StreamExtraBlock* block) {
  std::memset(block, 0, kExtraBlockPlainBytes);
  block->pExtraData = nullptr;
  block->nExtraDataSize = 0;
}

void ReleaseExtraData(StreamExtraBlock* block) {
  delete[] block->pExtraData;
  block->pExtraData = nullptr;
  block->nExtraDataSize = 0;
}

void CopyExtraBlock(StreamExtraBlock* dst, const StreamExtraBlock& src) {
  std::memcpy(dst, &src, kExtraBlockPlainBytes);
  // The new buffer is made before the old one goes, so that a failed
  // allocation never leaves a dangling pointer behind.
  const int32_t sizeBytes = static_cast<int32_t>(src.nExtraDataSize);
  uint8_t* copy = nullptr;
  if (sizeBytes > 0 && src.pExtraData != nullptr) {
    copy = new (std::nothrow) uint8_t[static_cast<size_t>(sizeBytes)];
    if (copy != nullptr) std::memcpy(copy, src.pExtraData, static_cast<size_t>(sizeBytes));
  }
  delete[] dst->pExtraData;
  dst->pExtraData = copy;
  dst->nExtraDataSize = copy != nullptr ? static_cast<uint32_t>(sizeBytes) : 0;
}

}  // namespace

void EncodeParamsInit(EncodeParams* p) {
  if (p == nullptr) return;

  EncodeVideoParams& video = p->video;
  video.nFourCC = 0;
  video.nWidth = 0;
  video.nHeight = 0;
  video.dFrameRate = 0.0;
  video.nHostValue24 = 1;
  video.nBitrate = 0;
  video.nHostValue32 = 0;
  video.nHostValue36 = 0;
  video.nHostValue40 = 8;
  video.nHostValue44 = 0;
  InitExtraBlock(&video.extra);

  EncodeAudioParams& audio = p->audio;
  audio.nFourCC = 0;
  audio.nSampleRate = 0;
  audio.nChannels = 0;
  audio.nBitrate = 0;
  audio.nHostValue16 = 0;
  audio.nHostValue20 = 0;
  audio.nBitsPerSample = 8;
  std::memset(audio.szLanguage, 0, sizeof audio.szLanguage);
  InitExtraBlock(&audio.extra);

  EncodeSubpictureParams& subpicture = p->subpicture;
  subpicture.nFourCC = 0;
  subpicture.nHostValue4 = 0;
  subpicture.nHostValue8 = 0;
  subpicture.nHostValue12 = 0;
  std::memset(subpicture.szLanguage, 0, sizeof subpicture.szLanguage);
  InitExtraBlock(&subpicture.extra);

  p->bNoVideo = 1;
  p->bNoAudio = 1;
  p->bNoSubpicture = 1;
  p->nFileFourCC = 0;
  std::memset(p->opaqueBlock, 0, sizeof p->opaqueBlock);
  p->xmpMetadata = _XmpMetadata{};
  p->xmpMetadata.nOptions = 0x3;
  p->nReserved = 0;
}

void EncodeParamsCopy(EncodeParams* dst, const EncodeParams& src) {
  if (dst == nullptr || dst == &src) return;

  dst->video.nFourCC = src.video.nFourCC;
  dst->video.nWidth = src.video.nWidth;
  dst->video.nHeight = src.video.nHeight;
  dst->video.dFrameRate = src.video.dFrameRate;
  dst->video.nHostValue24 = src.video.nHostValue24;
  dst->video.nBitrate = src.video.nBitrate;
  dst->video.nHostValue32 = src.video.nHostValue32;
  dst->video.nHostValue36 = src.video.nHostValue36;
  dst->video.nHostValue40 = src.video.nHostValue40;
  dst->video.nHostValue44 = src.video.nHostValue44;
  CopyExtraBlock(&dst->video.extra, src.video.extra);

  dst->audio.nFourCC = src.audio.nFourCC;
  dst->audio.nSampleRate = src.audio.nSampleRate;
  dst->audio.nChannels = src.audio.nChannels;
  dst->audio.nBitrate = src.audio.nBitrate;
  dst->audio.nHostValue16 = src.audio.nHostValue16;
  dst->audio.nHostValue20 = src.audio.nHostValue20;
  dst->audio.nBitsPerSample = src.audio.nBitsPerSample;
  std::memset(dst->audio.szLanguage, 0, sizeof dst->audio.szLanguage);
  CopyExtraBlock(&dst->audio.extra, src.audio.extra);

  dst->subpicture.nFourCC = src.subpicture.nFourCC;
  dst->subpicture.nHostValue4 = src.subpicture.nHostValue4;
  dst->subpicture.nHostValue8 = src.subpicture.nHostValue8;
  dst->subpicture.nHostValue12 = src.subpicture.nHostValue12;
  std::memset(dst->subpicture.szLanguage, 0, sizeof dst->subpicture.szLanguage);
  CopyExtraBlock(&dst->subpicture.extra, src.subpicture.extra);

  dst->bNoVideo = src.bNoVideo;
  dst->bNoAudio = src.bNoAudio;
  dst->bNoSubpicture = src.bNoSubpicture;
  dst->nFileFourCC = src.nFileFourCC;
  std::memcpy(dst->opaqueBlock, src.opaqueBlock, sizeof dst->opaqueBlock);
  dst->xmpMetadata = src.xmpMetadata;
  dst->nReserved = src.nReserved;
}

void EncodeParamsRelease(EncodeParams* p) {
  if (p == nullptr) return;
  ReleaseExtraData(&p->video.extra);
  ReleaseExtraData(&p->audio.extra);
  ReleaseExtraData(&p->subpicture.extra);
}

void StreamExtraBlockCopy(StreamExtraBlock* dst, const StreamExtraBlock& src) {
  if (dst == nullptr || dst == &src) return;
  CopyExtraBlock(dst, src);
}

const FileFormatDescriptor* FindFileFormat(const FileFormatDescriptor* table, uint32_t fourcc) {
  if (table == nullptr) return nullptr;
  for (const FileFormatDescriptor* row = table; row->fourcc != 0; ++row) {
    if (row->fourcc == fourcc) return row;
  }
  return nullptr;
}
