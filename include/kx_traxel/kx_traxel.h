/* kx_Traxel host interface: the records, descriptor tables, slot signatures
 * and exports that a separately compiled host sees.
 *
 * Every offset and size below is part of the binary interface and is pinned
 * by a static assertion. All integers are little-endian, pointers are 8
 * bytes (Windows x64 / Linux x86_64). Valid C (C11) and C++. */
#ifndef KX_TRAXEL_KX_TRAXEL_H
#define KX_TRAXEL_KX_TRAXEL_H

#include <stddef.h>
#include <stdint.h>

#include "kx_types.h"

#ifdef KX_TRAXEL_BUILDING
#define KX_TRAXEL_API KX_EXPORT
#else
#define KX_TRAXEL_API KX_IMPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

KX_STATIC_ASSERT(sizeof(void*) == 8, "the host interface is 64-bit only");

/* FourCC: four ASCII characters in reading order, compared as one
 * little-endian 32-bit integer ("WWMV" is 0x564D5757). */
#define KX_FOURCC(a, b, c, d) \
  ((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | ((uint32_t)(uint8_t)(c) << 16) | ((uint32_t)(uint8_t)(d) << 24))

/* ---------------------------------------------------------------------------
 * EncodeParams (70944 bytes) and its parts
 * ------------------------------------------------------------------------- */

/* Codec-private data and host settings of one section; 12352 bytes. */
typedef struct StreamExtraBlock {
  uint32_t nHostValue0;          /*     0: not interpreted */
  uint32_t nHostValue1;          /*     4: not interpreted */
  uint8_t hostBytes0[8216];      /*     8: not interpreted */
  uint8_t hostBytes1[2056];      /*  8224: not interpreted */
  uint8_t hostBytes2[2052];      /* 10280: not interpreted */
  uint32_t padding0;             /* 12332: not copied */
  uint8_t* pExtraData;           /* 12336: codec private data, null if none */
  uint32_t nExtraDataSize;       /* 12344: byte count of pExtraData */
  uint32_t padding1;             /* 12348 */
} StreamExtraBlock;

/* The host's XMP metadata record, as the XMP serialiser of ZQ_Log takes it. */
typedef struct _XmpMetadata {
  uint32_t nOptions;       /*  0: option bits; bits 0 and 1 set by default (see zq_log.h) */
  uint32_t nReserved;      /*  4: default 0 */
  uint64_t nDuration;      /*  8: duration, in units of nTimeScaleDen / nTimeScaleNum seconds */
  uint32_t nTimeScaleNum;  /* 16: 1 when written by the plug-in */
  uint32_t nTimeScaleDen;  /* 20: 10,000,000 when written by the plug-in */
} _XmpMetadata;

typedef struct EncodeVideoParams {
  uint32_t nFourCC;        /*  0: video encoder FourCC */
  uint32_t nWidth;         /*  4 */
  uint32_t nHeight;        /*  8 */
  uint32_t padding;        /* 12: never read or written */
  double dFrameRate;       /* 16: frames per second */
  uint32_t nHostValue24;   /* 24: not interpreted; default 1 */
  uint32_t nBitrate;       /* 28: bits per second */
  uint32_t nHostValue32;   /* 32: not interpreted; default 0 */
  uint32_t nHostValue36;   /* 36: not interpreted; default 0 */
  uint32_t nHostValue40;   /* 40: not interpreted; default 8 */
  uint32_t nHostValue44;   /* 44: not interpreted; default 0 */
  StreamExtraBlock extra;  /* 48 */
} EncodeVideoParams;

typedef struct EncodeAudioParams {
  uint32_t nFourCC;        /*  0: audio encoder FourCC */
  uint32_t nSampleRate;    /*  4: Hz */
  uint32_t nChannels;      /*  8 */
  uint32_t nBitrate;       /* 12: bits per second */
  uint32_t nHostValue16;   /* 16: not interpreted */
  uint32_t nHostValue20;   /* 20: not interpreted */
  uint32_t nBitsPerSample; /* 24: default 8 */
  kx_wchar szLanguage[10]; /* 28: only logged; cleared in copies */
  StreamExtraBlock extra;  /* 48 */
} EncodeAudioParams;

typedef struct EncodeSubpictureParams {
  uint32_t nFourCC;        /*  0: only logged and copied */
  uint32_t nHostValue4;    /*  4: not interpreted */
  uint32_t nHostValue8;    /*  8: not interpreted */
  uint32_t nHostValue12;   /* 12: not interpreted */
  kx_wchar szLanguage[10]; /* 16: only logged; cleared in copies */
  uint8_t reserved[2052];  /* 36: never initialised, copied or read */
  StreamExtraBlock extra;  /* 2088 */
} EncodeSubpictureParams;

#define KX_OPAQUE_BLOCK_SIZE 31656

typedef struct EncodeParams {
  EncodeVideoParams video;           /*     0 */
  EncodeAudioParams audio;           /* 12400 */
  EncodeSubpictureParams subpicture; /* 24800 */
  uint32_t bNoVideo;                 /* 39240: default 1 */
  uint32_t bNoAudio;                 /* 39244: default 1 */
  uint32_t bNoSubpicture;            /* 39248: default 1 */
  uint32_t nFileFourCC;              /* 39252: container FourCC */
  uint8_t opaqueBlock[KX_OPAQUE_BLOCK_SIZE]; /* 39256: host settings, copied verbatim */
  _XmpMetadata xmpMetadata;          /* 70912 */
  uint64_t nReserved;                /* 70936 */
} EncodeParams;

KX_STATIC_ASSERT(sizeof(StreamExtraBlock) == 12352, "StreamExtraBlock size");
KX_STATIC_ASSERT(offsetof(StreamExtraBlock, hostBytes1) == 8224, "StreamExtraBlock layout");
KX_STATIC_ASSERT(offsetof(StreamExtraBlock, hostBytes2) == 10280, "StreamExtraBlock layout");
KX_STATIC_ASSERT(offsetof(StreamExtraBlock, padding0) == 12332, "StreamExtraBlock layout");
KX_STATIC_ASSERT(offsetof(StreamExtraBlock, pExtraData) == 12336, "StreamExtraBlock layout");
KX_STATIC_ASSERT(offsetof(StreamExtraBlock, nExtraDataSize) == 12344, "StreamExtraBlock layout");
KX_STATIC_ASSERT(sizeof(_XmpMetadata) == 24, "_XmpMetadata size");
KX_STATIC_ASSERT(offsetof(_XmpMetadata, nDuration) == 8, "_XmpMetadata layout");
KX_STATIC_ASSERT(offsetof(_XmpMetadata, nTimeScaleNum) == 16, "_XmpMetadata layout");
KX_STATIC_ASSERT(offsetof(_XmpMetadata, nTimeScaleDen) == 20, "_XmpMetadata layout");

KX_STATIC_ASSERT(sizeof(EncodeParams) == 70944, "EncodeParams size");
KX_STATIC_ASSERT(KX_ALIGNOF(EncodeParams) == 8, "EncodeParams alignment");
KX_STATIC_ASSERT(offsetof(EncodeParams, video.nFourCC) == 0, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, video.nWidth) == 4, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, video.nHeight) == 8, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, video.dFrameRate) == 16, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, video.nHostValue24) == 24, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, video.nBitrate) == 28, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, video.nHostValue40) == 40, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, video.extra) == 48, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, video.extra.pExtraData) == 48 + 12336, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, audio.nFourCC) == 12400, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, audio.nSampleRate) == 12404, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, audio.nChannels) == 12408, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, audio.nBitrate) == 12412, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, audio.nBitsPerSample) == 12424, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, audio.szLanguage) == 12428, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, audio.extra) == 12448, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, subpicture.nFourCC) == 24800, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, subpicture.szLanguage) == 24816, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, subpicture.reserved) == 24836, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, subpicture.extra) == 26888, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, bNoVideo) == 39240, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, bNoAudio) == 39244, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, bNoSubpicture) == 39248, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, nFileFourCC) == 39252, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, opaqueBlock) == 39256, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, xmpMetadata) == 70912, "EncodeParams layout");
KX_STATIC_ASSERT(offsetof(EncodeParams, nReserved) == 70936, "EncodeParams layout");

/* ---------------------------------------------------------------------------
 * MediaFrame: one unit of audio or video handed to a write slot. The host's
 * record must be at least 128 bytes; bytes 16..103 are read differently for
 * raw video, compressed video and audio.
 * ------------------------------------------------------------------------- */

typedef struct MediaFrameVideo {
  const uint8_t* pPacket;          /* 16: compressed video: packet bytes */
  union {
    const uint8_t* pData[3];       /* 24, 32, 40: raw video planes Y, U (Cb), V (Cr) */
    int32_t nPacketBytes;          /* 24: compressed video: packet byte count */
  };
  uint8_t reserved48[16];          /* 48: not read */
  int32_t nStride[3];              /* 64, 68, 72: bytes per row of each plane (signed) */
  uint8_t reserved76[28];          /* 76: not read */
} MediaFrameVideo;

typedef struct MediaFrameAudio {
  uint8_t reserved16[8];           /* 16: not read */
  const uint8_t* pData;            /* 24: PCM (sink-writer path) or a compressed packet */
  int32_t nBytes;                  /* 32: byte count of pData */
  uint8_t reserved36[68];          /* 36: not read */
} MediaFrameAudio;

typedef struct MediaFrame {
  uint8_t reserved0[16];           /*   0: not read */
  union {
    MediaFrameVideo video;         /*  16 */
    MediaFrameAudio audio;         /*  16 */
  };
  int64_t pts;                     /* 104: presentation time, 100-ns units */
  uint8_t reserved112[8];          /* 112: not read */
  int64_t duration;                /* 120: 100-ns units; -101 on a video frame asks the encoder to finish */
} MediaFrame;

/* The duration value of a video frame that asks the encoder to finish the file. */
#define KX_FINISH_REQUEST_DURATION (-101)

KX_STATIC_ASSERT(sizeof(MediaFrame) == 128, "MediaFrame size");
KX_STATIC_ASSERT(offsetof(MediaFrame, video.pPacket) == 16, "MediaFrame layout");
KX_STATIC_ASSERT(offsetof(MediaFrame, video.pData) == 24, "MediaFrame layout");
KX_STATIC_ASSERT(offsetof(MediaFrame, video.nPacketBytes) == 24, "MediaFrame layout");
KX_STATIC_ASSERT(offsetof(MediaFrame, video.nStride) == 64, "MediaFrame layout");
KX_STATIC_ASSERT(offsetof(MediaFrame, audio.pData) == 24, "MediaFrame layout");
KX_STATIC_ASSERT(offsetof(MediaFrame, audio.nBytes) == 32, "MediaFrame layout");
KX_STATIC_ASSERT(offsetof(MediaFrame, pts) == 104, "MediaFrame layout");
KX_STATIC_ASSERT(offsetof(MediaFrame, duration) == 120, "MediaFrame layout");

/* ---------------------------------------------------------------------------
 * Descriptor tables
 * ------------------------------------------------------------------------- */

typedef struct CodecListEntry {
  uint32_t fourcc;   /* 0 ends the list */
  uint32_t enabled;
} CodecListEntry;

typedef struct EncoderDescriptor {
  uint32_t fourcc;              /*   0: 0 marks the terminator row */
  kx_wchar shortName[64];       /*   4 */
  kx_wchar description[128];    /* 132 */
  uint32_t isVideo;             /* 388 */
  uint8_t reserved[88];         /* 392: zero */
} EncoderDescriptor;

/* Opaque handle of an output file. */
typedef void* MediaFileHandle;

/* Slots of a FileFormatDescriptor. */
typedef MediaFileHandle (*CreateMediaFileFn)(const kx_wchar* pFileName, const EncodeParams* pEncParam,
                                              uint64_t value);
typedef int32_t (*WriteAudioFrameFn)(MediaFileHandle handle, const MediaFrame* pFrame, uint64_t value,
                                     uint32_t outStreamIndex);
typedef int32_t (*WriteVideoFrameFn)(MediaFileHandle handle, const MediaFrame* pFrame, uint32_t outStreamIndex);
typedef void (*CloseMediaFileFn)(MediaFileHandle handle);
typedef void (*SetAudioExtraDataFn)(MediaFileHandle handle, const uint8_t* pData, int32_t nBytes,
                                    uint32_t outStreamIndex);
typedef void (*SetVideoExtraDataFn)(MediaFileHandle handle, const uint8_t* pSecond, int32_t nSecondBytes,
                                    const uint8_t* pFirst, int32_t nFirstBytes, uint32_t outStreamIndex);

typedef struct FileFormatDescriptor {
  uint32_t fourcc;                        /*   0: 0 marks the terminator row */
  kx_wchar extension[10];                 /*   4: including the dot */
  kx_wchar shortName[64];                 /*  24 */
  kx_wchar description[128];              /* 152 */
  CodecListEntry* audioCodecs;            /* 408: null when no audio */
  CodecListEntry* videoCodecs;            /* 416: null when no video */
  CreateMediaFileFn CreateMediaFile;      /* 424 */
  WriteAudioFrameFn WriteAudioFrame;      /* 432 */
  WriteVideoFrameFn WriteVideoFrame;      /* 440: null when no video */
  CloseMediaFileFn CloseMediaFile;        /* 448 */
  SetAudioExtraDataFn SetAudioExtraData;  /* 456 */
  SetVideoExtraDataFn SetVideoExtraData;  /* 464 */
  uint8_t reserved[8];                    /* 472: zero */
} FileFormatDescriptor;

/* Opaque handle of a multi-stream file. */
typedef void* MultiStreamFileHandle;

/* Stream types of AddStreamInfoMultiStream. */
#define KX_STREAMTYPE_VIDEO 2u
#define KX_STREAMTYPE_AUDIO 3u
#define KX_STREAMTYPE_SUBPICTURE 4u
#define KX_STREAMTYPE_SUBPIC_INTERNAL 5u
#define KX_STREAMTYPE_SUBPIC_EXTERNAL 6u

/* Slots of a MultiStreamFormatDescriptor. */
typedef MultiStreamFileHandle (*CreateMediaFileMultiStreamFn)(void);
typedef int32_t (*AddStreamInfoMultiStreamFn)(MultiStreamFileHandle handle, uint32_t streamtype, uint32_t programid,
                                              uint32_t InStreamindex, uint32_t OutStreamIndex,
                                              const EncodeParams* pEncParam);
typedef int32_t (*InitMediaFileMultiStreamFn)(MultiStreamFileHandle handle, uint32_t fourcc,
                                              const kx_wchar* pFileName, uint64_t value);
typedef int32_t (*WriteFrameMultiStreamFn)(MultiStreamFileHandle handle, uint32_t OutStreamIndex,
                                           const MediaFrame* pFrame, uint64_t value);
typedef void (*CloseMediaFileMultiStreamFn)(MultiStreamFileHandle handle);
typedef void (*WriteExtraDataMultiStreamFn)(MultiStreamFileHandle handle, uint32_t OutStreamIndex,
                                            const uint8_t* pData, int32_t nSize);

typedef struct MultiStreamFormatDescriptor {
  uint32_t fourcc;                                        /*   0: 0 marks the terminator row */
  kx_wchar extension[10];                                 /*   4 */
  kx_wchar shortName[64];                                 /*  24 */
  kx_wchar description[128];                              /* 152 */
  CodecListEntry* audioCodecs;                            /* 408 */
  CodecListEntry* videoCodecs;                            /* 416 */
  void* reserved424;                                      /* 424: null */
  CreateMediaFileMultiStreamFn CreateMediaFileMultiStream; /* 432 */
  AddStreamInfoMultiStreamFn AddStreamInfoMultiStream;     /* 440 */
  InitMediaFileMultiStreamFn InitMediaFileMultiStream;     /* 448 */
  WriteFrameMultiStreamFn WriteFrameMultiStream;           /* 456 */
  CloseMediaFileMultiStreamFn CloseMediaFileMultiStream;   /* 464 */
  WriteExtraDataMultiStreamFn WriteExtraDataMultiStream;   /* 472 */
  uint32_t multiStreamFlag;                               /* 480: 1 */
  uint8_t reserved484[4];                                 /* 484: zero */
} MultiStreamFormatDescriptor;

KX_STATIC_ASSERT(sizeof(CodecListEntry) == 8, "CodecListEntry size");
KX_STATIC_ASSERT(offsetof(CodecListEntry, enabled) == 4, "CodecListEntry layout");
KX_STATIC_ASSERT(sizeof(EncoderDescriptor) == 480, "EncoderDescriptor row size");
KX_STATIC_ASSERT(offsetof(EncoderDescriptor, shortName) == 4, "EncoderDescriptor layout");
KX_STATIC_ASSERT(offsetof(EncoderDescriptor, description) == 132, "EncoderDescriptor layout");
KX_STATIC_ASSERT(offsetof(EncoderDescriptor, isVideo) == 388, "EncoderDescriptor layout");
KX_STATIC_ASSERT(offsetof(EncoderDescriptor, reserved) == 392, "EncoderDescriptor layout");
KX_STATIC_ASSERT(sizeof(FileFormatDescriptor) == 480, "FileFormatDescriptor row size");
KX_STATIC_ASSERT(offsetof(FileFormatDescriptor, extension) == 4, "FileFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(FileFormatDescriptor, shortName) == 24, "FileFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(FileFormatDescriptor, description) == 152, "FileFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(FileFormatDescriptor, audioCodecs) == 408, "FileFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(FileFormatDescriptor, videoCodecs) == 416, "FileFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(FileFormatDescriptor, CreateMediaFile) == 424, "FileFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(FileFormatDescriptor, WriteAudioFrame) == 432, "FileFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(FileFormatDescriptor, WriteVideoFrame) == 440, "FileFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(FileFormatDescriptor, CloseMediaFile) == 448, "FileFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(FileFormatDescriptor, SetAudioExtraData) == 456, "FileFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(FileFormatDescriptor, SetVideoExtraData) == 464, "FileFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(FileFormatDescriptor, reserved) == 472, "FileFormatDescriptor layout");
KX_STATIC_ASSERT(sizeof(MultiStreamFormatDescriptor) == 488, "MultiStreamFormatDescriptor row size");
KX_STATIC_ASSERT(offsetof(MultiStreamFormatDescriptor, audioCodecs) == 408, "MultiStreamFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(MultiStreamFormatDescriptor, reserved424) == 424, "MultiStreamFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(MultiStreamFormatDescriptor, CreateMediaFileMultiStream) == 432,
                 "MultiStreamFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(MultiStreamFormatDescriptor, AddStreamInfoMultiStream) == 440,
                 "MultiStreamFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(MultiStreamFormatDescriptor, InitMediaFileMultiStream) == 448,
                 "MultiStreamFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(MultiStreamFormatDescriptor, WriteFrameMultiStream) == 456,
                 "MultiStreamFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(MultiStreamFormatDescriptor, CloseMediaFileMultiStream) == 464,
                 "MultiStreamFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(MultiStreamFormatDescriptor, WriteExtraDataMultiStream) == 472,
                 "MultiStreamFormatDescriptor layout");
KX_STATIC_ASSERT(offsetof(MultiStreamFormatDescriptor, multiStreamFlag) == 480, "MultiStreamFormatDescriptor layout");

/* ---------------------------------------------------------------------------
 * Direct ASF muxer
 * ------------------------------------------------------------------------- */

typedef struct MFWMVMuxerPacket {
  const uint8_t* pData;   /*  0: the compressed packet */
  uint32_t nLength;       /*  8: bytes at pData */
  uint8_t reserved12[4];  /* 12: not read */
  int64_t nPts;           /* 16: presentation time, 100-ns units */
  uint8_t reserved24[8];  /* 24: not read */
  int64_t nDuration;      /* 32: duration, 100-ns units */
} MFWMVMuxerPacket;

KX_STATIC_ASSERT(sizeof(MFWMVMuxerPacket) == 40, "MFWMVMuxerPacket size");
KX_STATIC_ASSERT(offsetof(MFWMVMuxerPacket, nLength) == 8, "MFWMVMuxerPacket layout");
KX_STATIC_ASSERT(offsetof(MFWMVMuxerPacket, nPts) == 16, "MFWMVMuxerPacket layout");
KX_STATIC_ASSERT(offsetof(MFWMVMuxerPacket, nDuration) == 32, "MFWMVMuxerPacket layout");

typedef void* MFWMVMuxerHandle;

/* Extra-data block of one track (MFWMVMuxer_Create, and the legacy rows'
 * SetAudioExtraData / SetVideoExtraData): at least 10 bytes, of which the
 * last 8 hold, in native byte order, a pointer to the track's ready
 * IMFMediaType. The caller keeps that media type alive until
 * MFWMVMuxer_ConfigInit (or the legacy CreateMediaFile) has returned. */
#define KX_MIN_EXTRA_DATA_BYTES 10

/* ---------------------------------------------------------------------------
 * Exports
 * ------------------------------------------------------------------------- */

/* Discovery: each returns the first row of a static table ended by an
 * all-zero row. The tables belong to the library; never free them. */
KX_TRAXEL_API EncoderDescriptor* GetEncoders(void);
KX_TRAXEL_API FileFormatDescriptor* GetFileFormats(void);
KX_TRAXEL_API MultiStreamFormatDescriptor* GetFileMultiStreamFormats(void);

/* The direct ASF muxer: compressed packets into an ASF file, no encoding.
 * Media Foundation must have been started (MFStartup) before ConfigInit.
 * Order: Create; SetAudioParam / SetVideoParam for the tracks the file has;
 * ConfigInit; the writes in any interleaving; Destroy, which finishes the
 * file. A null handle is answered with 0 (or nothing). */
KX_TRAXEL_API MFWMVMuxerHandle MFWMVMuxer_Create(const kx_wchar* pFileName, const uint8_t* pAudioExtraData,
                                                 int32_t nAudioExtraDataBytes, const uint8_t* pVideoExtraData,
                                                 int32_t nVideoExtraDataBytes);
KX_TRAXEL_API int32_t MFWMVMuxer_SetAudioParam(MFWMVMuxerHandle handle, uint32_t audiotrackidx, uint32_t nChannels,
                                               uint32_t nSampleRate, uint32_t nBitrate, uint32_t nBitsPerSample,
                                               uint32_t nCodecCode);
KX_TRAXEL_API int32_t MFWMVMuxer_SetVideoParam(MFWMVMuxerHandle handle, uint32_t videotrackidx, uint32_t nWidth,
                                               uint32_t nHeight, uint32_t nFrameRateNum, uint32_t nFrameRateDen,
                                               uint32_t nBitrate, uint32_t nModeCode, uint32_t nCodecCode);
KX_TRAXEL_API int32_t MFWMVMuxer_ConfigInit(MFWMVMuxerHandle handle);
KX_TRAXEL_API int32_t MFWMVMuxer_WriteAudioPacket(MFWMVMuxerHandle handle, const MFWMVMuxerPacket* pPacket);
KX_TRAXEL_API int32_t MFWMVMuxer_WriteVideoPacket(MFWMVMuxerHandle handle, const MFWMVMuxerPacket* pPacket);
KX_TRAXEL_API void MFWMVMuxer_Destroy(MFWMVMuxerHandle handle);

typedef MFWMVMuxerHandle (*MFWMVMuxer_CreateFn)(const kx_wchar*, const uint8_t*, int32_t, const uint8_t*, int32_t);
typedef int32_t (*MFWMVMuxer_SetAudioParamFn)(MFWMVMuxerHandle, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                              uint32_t);
typedef int32_t (*MFWMVMuxer_SetVideoParamFn)(MFWMVMuxerHandle, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                              uint32_t, uint32_t, uint32_t);
typedef int32_t (*MFWMVMuxer_ConfigInitFn)(MFWMVMuxerHandle);
typedef int32_t (*MFWMVMuxer_WritePacketFn)(MFWMVMuxerHandle, const MFWMVMuxerPacket*);
typedef void (*MFWMVMuxer_DestroyFn)(MFWMVMuxerHandle);

typedef EncoderDescriptor* (*GetEncodersFn)(void);
typedef FileFormatDescriptor* (*GetFileFormatsFn)(void);
typedef MultiStreamFormatDescriptor* (*GetFileMultiStreamFormatsFn)(void);

#ifdef __cplusplus
}
#endif

#endif /* KX_TRAXEL_KX_TRAXEL_H */
