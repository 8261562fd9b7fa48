// Encoder output types and their conversion to a wave format block, for the
// Linux Media Foundation layer, with the Windows SDK's names, layouts and
// values (mfapi.h, mfidl.h, mmreg.h, strmif.h, mediaobj.h, dmort.h, uuids.h).
#pragma once

#include "mfobjects.h"
#include "unknwn.h"
#include "wintypes.h"

enum _MFT_ENUM_FLAG {
  MFT_ENUM_FLAG_SYNCMFT = 0x00000001,
  MFT_ENUM_FLAG_ASYNCMFT = 0x00000002,
  MFT_ENUM_FLAG_HARDWARE = 0x00000004,
  MFT_ENUM_FLAG_FIELDOFUSE = 0x00000008,
  MFT_ENUM_FLAG_LOCALMFT = 0x00000010,
  MFT_ENUM_FLAG_TRANSCODE_ONLY = 0x00000020,
  MFT_ENUM_FLAG_SORTANDFILTER = 0x00000040,
  MFT_ENUM_FLAG_SORTANDFILTER_APPROVED_ONLY = 0x000000C0,
  MFT_ENUM_FLAG_SORTANDFILTER_WEB_ONLY = 0x00000140,
  MFT_ENUM_FLAG_ALL = 0x0000003F
};

#define WAVE_FORMAT_PCM 1
#define WAVE_FORMAT_IEEE_FLOAT 0x0003
#define WAVE_FORMAT_WMAUDIO2 0x0161
#define WAVE_FORMAT_WMAUDIO3 0x0162
#define WAVE_FORMAT_MPEG_HEAAC 0x1610

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
#pragma pack(pop)
typedef WAVEFORMATEX* PWAVEFORMATEX;
typedef WAVEFORMATEX* LPWAVEFORMATEX;
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is packed to 18 bytes as in the SDK");

// The media type record of DirectShow and of DirectX Media Objects (one
// layout, two names, as in the SDK).
struct AM_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  ULONG lSampleSize;
  GUID formattype;
  IUnknown* pUnk;
  ULONG cbFormat;
  BYTE* pbFormat;
};
struct DMO_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  ULONG lSampleSize;
  GUID formattype;
  IUnknown* pUnk;
  ULONG cbFormat;
  BYTE* pbFormat;
};
static_assert(sizeof(AM_MEDIA_TYPE) == 88 && sizeof(DMO_MEDIA_TYPE) == 88, "media type records as in the SDK");

// The format block is a WAVEFORMATEX (uuids.h; the Windows Media format SDK
// names the same identifier WMFORMAT_WaveFormatEx).
KX_DEFINE_GUID(FORMAT_WaveFormatEx, 0x05589F81, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
KX_DEFINE_GUID(WMFORMAT_WaveFormatEx, 0x05589F81, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
KX_DEFINE_GUID(FORMAT_None, 0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);

// The audio output types that the encoders for guidSubType produce, as
// complete media types, in the order of preference. An empty collection when
// no encoder exists for the subtype.
STDAPI MFTranscodeGetAudioOutputAvailableTypes(REFGUID guidSubType, DWORD dwMFTFlags, IMFAttributes* pCodecConfig,
                                               IMFCollection** ppAvailableTypes);

// Fills *pAMType from an audio media type; guidFormatBlockType
// FORMAT_WaveFormatEx (or GUID_NULL) gives a WAVEFORMATEX block followed by
// the type's MF_MT_USER_DATA, in task memory that MoFreeMediaType frees.
STDAPI MFInitAMMediaTypeFromMFMediaType(IMFMediaType* pMFType, GUID guidFormatBlockType, AM_MEDIA_TYPE* pAMType);

// Frees the format block and the pUnk reference of a media type record, and
// clears them; the record itself stays.
STDAPI MoFreeMediaType(DMO_MEDIA_TYPE* pmt);
