#include "asf/asf_stream_format.h"

#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace kx::asf {
namespace {

// Media Foundation's subtypes for FourCC and wave format tag formats share
// one GUID pattern: {XXXXXXXX-0000-0010-8000-00AA00389B71}.
bool TagOfSubtype(const GUID& subtype, uint32_t* tag) {
  static constexpr uint8_t kTail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  if (subtype.Data2 != 0x0000 || subtype.Data3 != 0x0010 || std::memcmp(subtype.Data4, kTail, 8) != 0) return false;
  *tag = subtype.Data1;
  return true;
}

KeyFrameRule VideoRule(AVCodecID codec) {
  switch (codec) {
    case AV_CODEC_ID_WMV1:
    case AV_CODEC_ID_MSMPEG4V2:
    case AV_CODEC_ID_MSMPEG4V3:
      return KeyFrameRule::kMsMpeg4;
    case AV_CODEC_ID_WMV2:
      return KeyFrameRule::kWmv2;
    case AV_CODEC_ID_WMV3:
      return KeyFrameRule::kWmv3;
    case AV_CODEC_ID_VC1:
      return KeyFrameRule::kVc1Advanced;
    default:
      return KeyFrameRule::kNever;
  }
}

HRESULT CopyUserData(IMFMediaType* type, AVCodecParameters* parameters) {
  UINT32 size = 0;
  if (FAILED(type->GetBlobSize(MF_MT_USER_DATA, &size)) || size == 0) return S_OK;
  kx::av::AvMemoryPtr<uint8_t> extradata(
      static_cast<uint8_t*>(av_mallocz(size_t{size} + AV_INPUT_BUFFER_PADDING_SIZE)));
  if (!extradata) return E_OUTOFMEMORY;
  const HRESULT hr = type->GetBlob(MF_MT_USER_DATA, extradata.get(), size, &size);
  if (FAILED(hr)) return hr;
  parameters->extradata = extradata.release();
  parameters->extradata_size = static_cast<int>(size);
  return S_OK;
}

}  // namespace

HRESULT StreamFormatFromType(IMFMediaType* type, StreamFormat* format) {
  GUID major = GUID_NULL;
  GUID subtype = GUID_NULL;
  uint32_t tag = 0;
  if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) ||
      !TagOfSubtype(subtype, &tag)) {
    return MF_E_INVALIDMEDIATYPE;
  }
  kx::av::CodecParametersPtr parameters(avcodec_parameters_alloc());
  if (!parameters) return E_OUTOFMEMORY;
  StreamFormat result;

  if (major == MFMediaType_Video) {
    const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
    const AVCodecID codec = av_codec_get_id(tables, tag);
    UINT32 width = 0;
    UINT32 height = 0;
    if (codec == AV_CODEC_ID_NONE || FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height)) ||
        width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) {
      return MF_E_INVALIDMEDIATYPE;
    }
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = codec;
    parameters->codec_tag = tag;
    parameters->width = static_cast<int>(width);
    parameters->height = static_cast<int>(height);
    UINT32 num = 0;
    UINT32 den = 0;
    if (SUCCEEDED(MFGetAttributeRatio(type, MF_MT_PIXEL_ASPECT_RATIO, &num, &den)) && num > 0 && den > 0 &&
        num <= INT32_MAX && den <= INT32_MAX) {
      parameters->sample_aspect_ratio = {static_cast<int>(num), static_cast<int>(den)};
    }
    parameters->bit_rate = MFGetAttributeUINT32(type, MF_MT_AVG_BITRATE, 0);
    result.keyFrames.rule = MFGetAttributeUINT32(type, MF_MT_ALL_SAMPLES_INDEPENDENT, 0) ? KeyFrameRule::kIndependent
                                                                                       : VideoRule(codec);
  } else if (major == MFMediaType_Audio) {
    const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
    const AVCodecID codec = tag <= 0xFFFF ? av_codec_get_id(tables, tag) : AV_CODEC_ID_NONE;
    const UINT32 channels = MFGetAttributeUINT32(type, MF_MT_AUDIO_NUM_CHANNELS, 0);
    const UINT32 rate = MFGetAttributeUINT32(type, MF_MT_AUDIO_SAMPLES_PER_SECOND, 0);
    // WAVEFORMATEX holds a 16-bit channel count and a 32-bit rate.
    if (codec == AV_CODEC_ID_NONE || channels == 0 || channels > 0xFFFF || rate == 0 || rate > INT32_MAX) {
      return MF_E_INVALIDMEDIATYPE;
    }
    parameters->codec_type = AVMEDIA_TYPE_AUDIO;
    parameters->codec_id = codec;
    parameters->codec_tag = tag;
    av_channel_layout_default(&parameters->ch_layout, static_cast<int>(channels));
    parameters->sample_rate = static_cast<int>(rate);
    parameters->bit_rate = int64_t{MFGetAttributeUINT32(type, MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0)} * 8;
    parameters->block_align = static_cast<int>(MFGetAttributeUINT32(type, MF_MT_AUDIO_BLOCK_ALIGNMENT, 0) & 0xFFFF);
    parameters->bits_per_coded_sample =
        static_cast<int>(MFGetAttributeUINT32(type, MF_MT_AUDIO_BITS_PER_SAMPLE, 0) & 0xFFFF);
    result.keyFrames.rule = KeyFrameRule::kAlways;
  } else {
    return MF_E_INVALIDMEDIATYPE;
  }

  const HRESULT hr = CopyUserData(type, parameters.get());
  if (FAILED(hr)) return hr;
  if (result.keyFrames.rule == KeyFrameRule::kWmv3) {
    ReadWmv3SequenceHeader(parameters->extradata, static_cast<size_t>(parameters->extradata_size),
                           &result.keyFrames);
  }
  result.parameters = std::move(parameters);
  *format = std::move(result);
  return S_OK;
}

}  // namespace kx::asf
