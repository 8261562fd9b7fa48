// The audio output types of the layer's encoders, and their conversion into a
// wave format block: MFTranscodeGetAudioOutputAvailableTypes,
// MFInitAMMediaTypeFromMFMediaType, MoFreeMediaType.
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "hresult_av.h"
#include "kxplatform/mf.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

using kx::ComPtr;

namespace {

// One complete output type, before it becomes a media type.
struct AudioOutputType {
  const GUID* subtype;
  UINT32 sampleRate;
  UINT32 channels;
  UINT32 avgBytesPerSecond;
  UINT32 blockAlign;
  std::vector<uint8_t> userData;
  bool aac;
};

// AAC-LC as the platform documents its AAC encoder: 44.1 and 48 kHz; mono,
// stereo and 5.1; 12000 to 24000 bytes per second (times 6 for 5.1). Each
// format lists 12000 first, the encoder's default rate.
std::vector<AudioOutputType> AacTypes() {
  std::vector<AudioOutputType> types;
  constexpr UINT32 kRates[] = {44100, 48000};
  constexpr UINT32 kChannels[] = {1, 2, 6};
  constexpr UINT32 kBytesPerSecond[] = {12000, 16000, 20000, 24000};
  for (UINT32 rate : kRates) {
    for (UINT32 channels : kChannels) {
      // The user data is the HEAACWAVEINFO tail after the WAVEFORMATEX
      // (payload type 0 = raw blocks, profile-level 0x29, the rest zero),
      // then the AudioSpecificConfig: object type 2 (LC), frequency index,
      // channel configuration.
      const uint8_t frequencyIndex = rate == 48000 ? 3 : 4;
      const uint16_t config = static_cast<uint16_t>((2u << 11) | (frequencyIndex << 7) | (channels << 3));
      std::vector<uint8_t> userData = {0x00, 0x00, 0x29, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       static_cast<uint8_t>(config >> 8), static_cast<uint8_t>(config & 0xFF)};
      for (UINT32 bytes : kBytesPerSecond) {
        types.push_back({&MFAudioFormat_AAC, rate, channels, channels == 6 ? bytes * 6 : bytes, 1, userData, true});
      }
    }
  }
  return types;
}

// Constant-bitrate types of the wmav2 encoder (the WMA 8 bitstream), in
// kbit/s, highest first within each format. The encoder refuses less than
// 24 kbit/s; the upper ends stop where more bits no longer help the format.
struct WmaFormat {
  UINT32 sampleRate;
  UINT32 channels;
  std::vector<UINT32> kbits;
};
const std::vector<WmaFormat>& WmaFormats() {
  static const std::vector<WmaFormat> formats = {
      {48000, 2, {320, 256, 192, 160, 128, 96, 80, 64, 48}}, {48000, 1, {160, 128, 96, 80, 64, 48, 40, 32}},
      {44100, 2, {320, 256, 192, 160, 128, 96, 80, 64, 48}}, {44100, 1, {160, 128, 96, 80, 64, 48, 40, 32}},
      {32000, 2, {128, 96, 80, 64, 48, 40, 32}},             {32000, 1, {80, 64, 48, 40, 32, 24}},
      {22050, 2, {64, 48, 40, 32, 24}},                      {22050, 1, {48, 40, 32, 24}},
      {16000, 2, {48, 40, 32, 24}},                          {16000, 1, {32, 24}},
      {11025, 2, {32, 24}},                                  {11025, 1, {24}},
      {8000, 2, {24}},                                       {8000, 1, {24}},
  };
  return formats;
}

// Asks the encoder itself for the packet size and codec private data of one
// type, so that the listed types are exactly what it produces.
bool ProbeWmaType(UINT32 sampleRate, UINT32 channels, UINT32 kbits, AudioOutputType* type) {
  const AVCodec* encoder = avcodec_find_encoder_by_name("wmav2");
  if (!encoder) return false;
  AVCodecContext* codec = avcodec_alloc_context3(encoder);
  if (!codec) return false;
  codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
  codec->sample_rate = static_cast<int>(sampleRate);
  av_channel_layout_default(&codec->ch_layout, static_cast<int>(channels));
  codec->bit_rate = int64_t{kbits} * 1000;
  const bool opened = avcodec_open2(codec, encoder, nullptr) >= 0;
  if (opened) {
    *type = {&MFAudioFormat_WMAudioV8, sampleRate, channels, kbits * 1000 / 8,
             static_cast<UINT32>(codec->block_align),
             std::vector<uint8_t>(codec->extradata, codec->extradata + codec->extradata_size), false};
  }
  avcodec_free_context(&codec);
  return opened;
}

// The types of every other format, from `first` on, each format's apart.
void ProbeWmaFormats(size_t first, std::vector<std::vector<AudioOutputType>>* perFormat) {
  const std::vector<WmaFormat>& formats = WmaFormats();
  for (size_t i = first; i < formats.size(); i += 2) {
    for (UINT32 kbits : formats[i].kbits) {
      AudioOutputType type;
      if (ProbeWmaType(formats[i].sampleRate, formats[i].channels, kbits, &type)) {
        (*perFormat)[i].push_back(std::move(type));
      }
    }
  }
}

const std::vector<AudioOutputType>& WmaTypes() {
  static std::vector<AudioOutputType> types;
  static std::once_flag once;
  // Built apart and then kept: memory running out half-way leaves nothing
  // behind, and the next call probes again.
  std::call_once(once, [] {
    // Each probe opens an encoder, and the host waits for the list before
    // its first picture: a second thread probes every other format (without
    // a thread, or without memory there, this one probes them all).
    std::vector<std::vector<AudioOutputType>> perFormat(WmaFormats().size());
    bool helped = false;
    std::thread helper;
    try {
      helper = std::thread([&] {
        try {
          ProbeWmaFormats(1, &perFormat);
          helped = true;
        } catch (const std::bad_alloc&) {
        }
      });
    } catch (const std::system_error&) {
    }
    try {
      ProbeWmaFormats(0, &perFormat);
    } catch (...) {
      if (helper.joinable()) helper.join();
      throw;
    }
    if (helper.joinable()) helper.join();
    if (!helped) {
      for (size_t i = 1; i < perFormat.size(); i += 2) perFormat[i].clear();
      ProbeWmaFormats(1, &perFormat);
    }
    std::vector<AudioOutputType> probed;
    for (auto& format : perFormat) std::move(format.begin(), format.end(), std::back_inserter(probed));
    types = std::move(probed);
  });
  return types;
}

HRESULT MakeMediaType(const AudioOutputType& type, IMFMediaType** out) {
  ComPtr<IMFMediaType> mediaType;
  HRESULT hr = MFCreateMediaType(&mediaType);
  if (SUCCEEDED(hr)) hr = mediaType->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  if (SUCCEEDED(hr)) hr = mediaType->SetGUID(MF_MT_SUBTYPE, *type.subtype);
  if (SUCCEEDED(hr)) hr = mediaType->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, type.sampleRate);
  if (SUCCEEDED(hr)) hr = mediaType->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, type.channels);
  if (SUCCEEDED(hr)) hr = mediaType->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  if (SUCCEEDED(hr)) hr = mediaType->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, type.avgBytesPerSecond);
  if (SUCCEEDED(hr)) hr = mediaType->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, type.blockAlign);
  if (SUCCEEDED(hr) && !type.userData.empty()) {
    hr = mediaType->SetBlob(MF_MT_USER_DATA, type.userData.data(), static_cast<UINT32>(type.userData.size()));
  }
  if (SUCCEEDED(hr) && type.aac) hr = mediaType->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);
  if (SUCCEEDED(hr) && type.aac) hr = mediaType->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, 0x29);
  if (FAILED(hr)) return hr;
  *out = mediaType.Detach();
  return S_OK;
}

// Subtypes built from a wave format tag: {tag-0000-0010-8000-00AA00389B71}.
bool WaveFormatTagOf(const GUID& subtype, WORD* tag) {
  GUID base = MFAudioFormat_PCM;
  base.Data1 = subtype.Data1;
  if (subtype != base || subtype.Data1 > 0xFFFF) return false;
  *tag = static_cast<WORD>(subtype.Data1);
  return true;
}

}  // namespace

extern "C" {

HRESULT MFTranscodeGetAudioOutputAvailableTypes(REFGUID guidSubType, DWORD dwMFTFlags, IMFAttributes* pCodecConfig,
                                                IMFCollection** ppAvailableTypes) {
  if (!ppAvailableTypes) return E_POINTER;
  *ppAvailableTypes = nullptr;
  return kx::av::ComBoundary([&]() -> HRESULT {
    ComPtr<IMFCollection> collection;
    HRESULT hr = MFCreateCollection(&collection);
    if (FAILED(hr)) return hr;
    // Only the encoders this layer has: any other subtype (WMA 9 included)
    // gives an empty list.
    std::vector<AudioOutputType> aac;
    const std::vector<AudioOutputType>* types = nullptr;
    if (guidSubType == MFAudioFormat_AAC) {
      aac = AacTypes();
      types = &aac;
    } else if (guidSubType == MFAudioFormat_WMAudioV8) {
      types = &WmaTypes();
    }
    if (types) {
      for (const AudioOutputType& type : *types) {
        ComPtr<IMFMediaType> mediaType;
        hr = MakeMediaType(type, &mediaType);
        if (SUCCEEDED(hr)) hr = collection->AddElement(mediaType.Get());
        if (FAILED(hr)) return hr;
      }
    }
    *ppAvailableTypes = collection.Detach();
    return S_OK;
  });
}

HRESULT MFInitAMMediaTypeFromMFMediaType(IMFMediaType* pMFType, GUID guidFormatBlockType, AM_MEDIA_TYPE* pAMType) {
  if (!pMFType || !pAMType) return E_POINTER;
  if (guidFormatBlockType != FORMAT_WaveFormatEx && guidFormatBlockType != GUID_NULL) return E_INVALIDARG;
  GUID major = GUID_NULL, subtype = GUID_NULL;
  if (FAILED(pMFType->GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != MFMediaType_Audio ||
      FAILED(pMFType->GetGUID(MF_MT_SUBTYPE, &subtype))) {
    return MF_E_INVALIDMEDIATYPE;
  }
  WAVEFORMATEX format{};
  if (!WaveFormatTagOf(subtype, &format.wFormatTag)) return MF_E_INVALIDMEDIATYPE;
  const UINT32 channels = MFGetAttributeUINT32(pMFType, MF_MT_AUDIO_NUM_CHANNELS, 0);
  const UINT32 bits = MFGetAttributeUINT32(pMFType, MF_MT_AUDIO_BITS_PER_SAMPLE, 0);
  const UINT32 blockAlign = MFGetAttributeUINT32(pMFType, MF_MT_AUDIO_BLOCK_ALIGNMENT, 0);
  if (channels > 0xFFFF || bits > 0xFFFF || blockAlign > 0xFFFF) return MF_E_INVALIDMEDIATYPE;
  format.nChannels = static_cast<WORD>(channels);
  format.nSamplesPerSec = MFGetAttributeUINT32(pMFType, MF_MT_AUDIO_SAMPLES_PER_SECOND, 0);
  format.nAvgBytesPerSec = MFGetAttributeUINT32(pMFType, MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0);
  format.nBlockAlign = static_cast<WORD>(blockAlign);
  format.wBitsPerSample = static_cast<WORD>(bits);

  UINT32 userDataSize = 0;
  if (FAILED(pMFType->GetBlobSize(MF_MT_USER_DATA, &userDataSize))) userDataSize = 0;
  if (userDataSize > 0xFFFF - sizeof(WAVEFORMATEX)) return MF_E_INVALIDMEDIATYPE;
  format.cbSize = static_cast<WORD>(userDataSize);
  const ULONG formatSize = static_cast<ULONG>(sizeof(WAVEFORMATEX) + userDataSize);
  BYTE* block = static_cast<BYTE*>(CoTaskMemAlloc(formatSize));
  if (!block) return E_OUTOFMEMORY;
  std::memcpy(block, &format, sizeof(format));
  if (userDataSize > 0) {
    const HRESULT hr = pMFType->GetBlob(MF_MT_USER_DATA, block + sizeof(WAVEFORMATEX), userDataSize, nullptr);
    if (FAILED(hr)) {
      CoTaskMemFree(block);
      return hr;
    }
  }
  const bool uncompressed = format.wFormatTag == WAVE_FORMAT_PCM || format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
  AM_MEDIA_TYPE result{};
  result.majortype = major;
  result.subtype = subtype;
  result.bFixedSizeSamples = uncompressed ? TRUE : FALSE;
  result.bTemporalCompression = FALSE;
  result.lSampleSize = uncompressed ? format.nBlockAlign : 0;
  result.formattype = FORMAT_WaveFormatEx;
  result.pUnk = nullptr;
  result.cbFormat = formatSize;
  result.pbFormat = block;
  *pAMType = result;
  return S_OK;
}

HRESULT MoFreeMediaType(DMO_MEDIA_TYPE* pmt) {
  if (!pmt) return E_POINTER;
  if (pmt->cbFormat != 0 || pmt->pbFormat) CoTaskMemFree(pmt->pbFormat);
  pmt->pbFormat = nullptr;
  pmt->cbFormat = 0;
  if (pmt->pUnk) {
    pmt->pUnk->Release();
    pmt->pUnk = nullptr;
  }
  return S_OK;
}

}  // extern "C"
