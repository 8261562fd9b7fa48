// The functions behind the slots of the descriptor tables. The host reaches
// them only through the tables; their types are the slot types of the host
// header.
#pragma once

#include <kx_traxel/kx_traxel.h>

// Single-stream rows (GetFileFormats): a SinkWriterEncoder behind each handle.
MediaFileHandle CreateMediaFile(const kx_wchar* pFileName, const EncodeParams* pEncParam, uint64_t value);
int32_t WriteAudioFrame(MediaFileHandle handle, const MediaFrame* pFrame, uint64_t value, uint32_t outStreamIndex);
int32_t WriteVideoFrame(MediaFileHandle handle, const MediaFrame* pFrame, uint32_t outStreamIndex);
void CloseMediaFile(MediaFileHandle handle);

// Legacy rows (reached only through the legacy table): a MuxerWMV behind
// each handle, fed with packets that are already compressed.
MediaFileHandle LegacyCreateMediaFile(const kx_wchar* pFileName, const EncodeParams* pEncParam, uint64_t value);
int32_t LegacyWriteAudioFrame(MediaFileHandle handle, const MediaFrame* pFrame, uint64_t value,
                              uint32_t outStreamIndex);
int32_t LegacyWriteVideoFrame(MediaFileHandle handle, const MediaFrame* pFrame, uint32_t outStreamIndex);
void LegacyCloseMediaFile(MediaFileHandle handle);
void LegacySetAudioExtraData(MediaFileHandle handle, const uint8_t* pData, int32_t nBytes, uint32_t outStreamIndex);
void LegacySetVideoExtraData(MediaFileHandle handle, const uint8_t* pData, int32_t nBytes, const uint8_t* pFirst,
                             int32_t nFirstBytes, uint32_t outStreamIndex);

// Multi-stream rows (GetFileMultiStreamFormats): a MultiStreamFile behind
// each handle, forwarding to the single-stream row the host names at open.
MultiStreamFileHandle CreateMediaFileMultiStream(void);
int32_t AddStreamInfoMultiStream(MultiStreamFileHandle handle, uint32_t streamtype, uint32_t programid,
                                 uint32_t InStreamindex, uint32_t OutStreamIndex, const EncodeParams* pEncParam);
int32_t InitMediaFileMultiStream(MultiStreamFileHandle handle, uint32_t fourcc, const kx_wchar* pFileName,
                                 uint64_t value);
int32_t WriteFrameMultiStream(MultiStreamFileHandle handle, uint32_t OutStreamIndex, const MediaFrame* pFrame,
                              uint64_t value);
void CloseMediaFileMultiStream(MultiStreamFileHandle handle);
void WriteExtraDataMultiStream(MultiStreamFileHandle handle, uint32_t OutStreamIndex, const uint8_t* pData,
                               int32_t nSize);

// The tag of the multi-stream entries' log lines ("kx_%ls").
inline constexpr const kx_wchar* kMultiStreamTag = KX_W("WMVEX-MF");
