#include "kxdiag/media_type_dump.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "kxdiag/log.h"
#include "kxformat/format.h"

namespace {

// The longest line DumpLogLine writes, without its terminator.
constexpr int kMaxDumpLine = 259;

#define KX_GUID_NAME(name) \
  MediaGuidEntry { &name, KX_W(#name) }

// Built from the SDK's named constants, so each build takes its platform's
// values. Lookup walks it in this order and takes the first match.
const MediaGuidEntry kMediaGuidNames[] = {
    // Media type attribute keys.
    KX_GUID_NAME(MF_MT_MAJOR_TYPE),
    KX_GUID_NAME(MF_MT_SUBTYPE),
    KX_GUID_NAME(MF_MT_ALL_SAMPLES_INDEPENDENT),
    KX_GUID_NAME(MF_MT_FIXED_SIZE_SAMPLES),
    KX_GUID_NAME(MF_MT_COMPRESSED),
    KX_GUID_NAME(MF_MT_SAMPLE_SIZE),
    KX_GUID_NAME(MF_MT_WRAPPED_TYPE),
    KX_GUID_NAME(MF_MT_AUDIO_NUM_CHANNELS),
    KX_GUID_NAME(MF_MT_AUDIO_SAMPLES_PER_SECOND),
    KX_GUID_NAME(MF_MT_AUDIO_FLOAT_SAMPLES_PER_SECOND),
    KX_GUID_NAME(MF_MT_AUDIO_AVG_BYTES_PER_SECOND),
    KX_GUID_NAME(MF_MT_AUDIO_BLOCK_ALIGNMENT),
    KX_GUID_NAME(MF_MT_AUDIO_BITS_PER_SAMPLE),
    KX_GUID_NAME(MF_MT_AUDIO_VALID_BITS_PER_SAMPLE),
    KX_GUID_NAME(MF_MT_AUDIO_SAMPLES_PER_BLOCK),
    KX_GUID_NAME(MF_MT_AUDIO_CHANNEL_MASK),
    KX_GUID_NAME(MF_MT_AUDIO_FOLDDOWN_MATRIX),
    KX_GUID_NAME(MF_MT_AUDIO_WMADRC_PEAKREF),
    KX_GUID_NAME(MF_MT_AUDIO_WMADRC_PEAKTARGET),
    KX_GUID_NAME(MF_MT_AUDIO_WMADRC_AVGREF),
    KX_GUID_NAME(MF_MT_AUDIO_WMADRC_AVGTARGET),
    KX_GUID_NAME(MF_MT_AUDIO_PREFER_WAVEFORMATEX),
    KX_GUID_NAME(MF_MT_AAC_PAYLOAD_TYPE),
    KX_GUID_NAME(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION),
    KX_GUID_NAME(MF_MT_FRAME_SIZE),
    KX_GUID_NAME(MF_MT_FRAME_RATE),
    KX_GUID_NAME(MF_MT_FRAME_RATE_RANGE_MAX),
    KX_GUID_NAME(MF_MT_FRAME_RATE_RANGE_MIN),
    KX_GUID_NAME(MF_MT_PIXEL_ASPECT_RATIO),
    KX_GUID_NAME(MF_MT_DRM_FLAGS),
    KX_GUID_NAME(MF_MT_PAD_CONTROL_FLAGS),
    KX_GUID_NAME(MF_MT_SOURCE_CONTENT_HINT),
    KX_GUID_NAME(MF_MT_VIDEO_CHROMA_SITING),
    KX_GUID_NAME(MF_MT_INTERLACE_MODE),
    KX_GUID_NAME(MF_MT_TRANSFER_FUNCTION),
    KX_GUID_NAME(MF_MT_VIDEO_PRIMARIES),
    KX_GUID_NAME(MF_MT_CUSTOM_VIDEO_PRIMARIES),
    KX_GUID_NAME(MF_MT_YUV_MATRIX),
    KX_GUID_NAME(MF_MT_VIDEO_LIGHTING),
    KX_GUID_NAME(MF_MT_VIDEO_NOMINAL_RANGE),
    KX_GUID_NAME(MF_MT_GEOMETRIC_APERTURE),
    KX_GUID_NAME(MF_MT_MINIMUM_DISPLAY_APERTURE),
    KX_GUID_NAME(MF_MT_PAN_SCAN_APERTURE),
    KX_GUID_NAME(MF_MT_PAN_SCAN_ENABLED),
    KX_GUID_NAME(MF_MT_AVG_BITRATE),
    KX_GUID_NAME(MF_MT_AVG_BIT_ERROR_RATE),
    KX_GUID_NAME(MF_MT_MAX_KEYFRAME_SPACING),
    KX_GUID_NAME(MF_MT_DEFAULT_STRIDE),
    KX_GUID_NAME(MF_MT_PALETTE),
    KX_GUID_NAME(MF_MT_USER_DATA),
    KX_GUID_NAME(MF_MT_AM_FORMAT_TYPE),
    KX_GUID_NAME(MF_MT_MPEG_START_TIME_CODE),
    KX_GUID_NAME(MF_MT_MPEG2_PROFILE),
    KX_GUID_NAME(MF_MT_MPEG2_LEVEL),
    KX_GUID_NAME(MF_MT_MPEG2_FLAGS),
    KX_GUID_NAME(MF_MT_MPEG_SEQUENCE_HEADER),
    KX_GUID_NAME(MF_MT_DV_AAUX_SRC_PACK_0),
    KX_GUID_NAME(MF_MT_DV_AAUX_CTRL_PACK_0),
    KX_GUID_NAME(MF_MT_DV_AAUX_SRC_PACK_1),
    KX_GUID_NAME(MF_MT_DV_AAUX_CTRL_PACK_1),
    KX_GUID_NAME(MF_MT_DV_VAUX_SRC_PACK),
    KX_GUID_NAME(MF_MT_DV_VAUX_CTRL_PACK),
    KX_GUID_NAME(MF_MT_ARBITRARY_HEADER),
    KX_GUID_NAME(MF_MT_ARBITRARY_FORMAT),
    KX_GUID_NAME(MF_MT_IMAGE_LOSS_TOLERANT),
    KX_GUID_NAME(MF_MT_MPEG4_SAMPLE_DESCRIPTION),
    KX_GUID_NAME(MF_MT_MPEG4_CURRENT_SAMPLE_ENTRY),
    KX_GUID_NAME(MF_MT_ORIGINAL_4CC),
    KX_GUID_NAME(MF_MT_ORIGINAL_WAVE_FORMAT_TAG),
    // Major types.
    KX_GUID_NAME(MFMediaType_Audio),
    KX_GUID_NAME(MFMediaType_Video),
    KX_GUID_NAME(MFMediaType_Protected),
    KX_GUID_NAME(MFMediaType_SAMI),
    KX_GUID_NAME(MFMediaType_Script),
    KX_GUID_NAME(MFMediaType_Image),
    KX_GUID_NAME(MFMediaType_HTML),
    KX_GUID_NAME(MFMediaType_Binary),
    KX_GUID_NAME(MFMediaType_FileTransfer),
    // Video subtypes.
    KX_GUID_NAME(MFVideoFormat_AI44),
    KX_GUID_NAME(MFVideoFormat_ARGB32),
    KX_GUID_NAME(MFVideoFormat_AYUV),
    KX_GUID_NAME(MFVideoFormat_DV25),
    KX_GUID_NAME(MFVideoFormat_DV50),
    KX_GUID_NAME(MFVideoFormat_DVH1),
    KX_GUID_NAME(MFVideoFormat_DVSD),
    KX_GUID_NAME(MFVideoFormat_DVSL),
    KX_GUID_NAME(MFVideoFormat_H264),
    KX_GUID_NAME(MFVideoFormat_I420),
    KX_GUID_NAME(MFVideoFormat_IYUV),
    KX_GUID_NAME(MFVideoFormat_M4S2),
    KX_GUID_NAME(MFVideoFormat_MJPG),
    KX_GUID_NAME(MFVideoFormat_MP43),
    KX_GUID_NAME(MFVideoFormat_MP4S),
    KX_GUID_NAME(MFVideoFormat_MP4V),
    KX_GUID_NAME(MFVideoFormat_MPG1),
    KX_GUID_NAME(MFVideoFormat_MSS1),
    KX_GUID_NAME(MFVideoFormat_MSS2),
    KX_GUID_NAME(MFVideoFormat_NV11),
    KX_GUID_NAME(MFVideoFormat_NV12),
    KX_GUID_NAME(MFVideoFormat_P010),
    KX_GUID_NAME(MFVideoFormat_P016),
    KX_GUID_NAME(MFVideoFormat_P210),
    KX_GUID_NAME(MFVideoFormat_P216),
    KX_GUID_NAME(MFVideoFormat_RGB24),
    KX_GUID_NAME(MFVideoFormat_RGB32),
    KX_GUID_NAME(MFVideoFormat_RGB555),
    KX_GUID_NAME(MFVideoFormat_RGB565),
    KX_GUID_NAME(MFVideoFormat_RGB8),
    KX_GUID_NAME(MFVideoFormat_UYVY),
    KX_GUID_NAME(MFVideoFormat_v210),
    KX_GUID_NAME(MFVideoFormat_v410),
    KX_GUID_NAME(MFVideoFormat_WMV1),
    KX_GUID_NAME(MFVideoFormat_WMV2),
    KX_GUID_NAME(MFVideoFormat_WMV3),
    KX_GUID_NAME(MFVideoFormat_WVC1),
    KX_GUID_NAME(MFVideoFormat_Y210),
    KX_GUID_NAME(MFVideoFormat_Y216),
    KX_GUID_NAME(MFVideoFormat_Y410),
    KX_GUID_NAME(MFVideoFormat_Y416),
    KX_GUID_NAME(MFVideoFormat_Y41P),
    KX_GUID_NAME(MFVideoFormat_Y41T),
    KX_GUID_NAME(MFVideoFormat_YUY2),
    KX_GUID_NAME(MFVideoFormat_YV12),
    KX_GUID_NAME(MFVideoFormat_YVYU),
    // Audio subtypes.
    KX_GUID_NAME(MFAudioFormat_PCM),
    KX_GUID_NAME(MFAudioFormat_Float),
    KX_GUID_NAME(MFAudioFormat_DTS),
    KX_GUID_NAME(MFAudioFormat_Dolby_AC3_SPDIF),
    KX_GUID_NAME(MFAudioFormat_DRM),
    KX_GUID_NAME(MFAudioFormat_WMAudioV8),
    KX_GUID_NAME(MFAudioFormat_WMAudioV9),
    KX_GUID_NAME(MFAudioFormat_WMAudio_Lossless),
    KX_GUID_NAME(MFAudioFormat_WMASPDIF),
    KX_GUID_NAME(MFAudioFormat_MSP1),
    KX_GUID_NAME(MFAudioFormat_MP3),
    KX_GUID_NAME(MFAudioFormat_MPEG),
    KX_GUID_NAME(MFAudioFormat_AAC),
    KX_GUID_NAME(MFAudioFormat_ADTS),
};

#undef KX_GUID_NAME

static_assert(sizeof kMediaGuidNames / sizeof kMediaGuidNames[0] == 138, "the name table has 138 entries");

using WideText = std::basic_string<WCHAR>;

// Frees what it holds when the attribute is done.
class ValueGuard {
 public:
  ValueGuard() { PropVariantInit(&value_); }
  ~ValueGuard() { PropVariantClear(&value_); }
  ValueGuard(const ValueGuard&) = delete;
  ValueGuard& operator=(const ValueGuard&) = delete;
  PROPVARIANT* get() { return &value_; }
  const PROPVARIANT& operator*() const { return value_; }

 private:
  PROPVARIANT value_;
};

// Appends the table name of `guid`, else its registry form with braces.
HRESULT AppendGuidName(WideText& line, REFGUID guid) {
  if (const WCHAR* name = MediaGuidName(guid)) {
    line += name;
    return S_OK;
  }
  LPOLESTR text = nullptr;
  const HRESULT hr = StringFromCLSID(guid, &text);
  if (FAILED(hr)) return hr;
  if (text == nullptr) return E_OUTOFMEMORY;
  line += text;
  CoTaskMemFree(text);
  return S_OK;
}

template <typename... Args>
void AppendFormatted(WideText& line, const WCHAR* format, Args... args) {
  WCHAR text[128];
  const int length = kx::fmt::FormatWide(text, sizeof text / sizeof text[0], format, args...);
  if (length > 0) line.append(text, static_cast<size_t>(length) < 127 ? static_cast<size_t>(length) : 127);
}

bool IsPackedPairKey(REFGUID key) {
  return IsEqualGUID(key, MF_MT_FRAME_SIZE) || IsEqualGUID(key, MF_MT_FRAME_RATE) ||
         IsEqualGUID(key, MF_MT_FRAME_RATE_RANGE_MAX) || IsEqualGUID(key, MF_MT_FRAME_RATE_RANGE_MIN) ||
         IsEqualGUID(key, MF_MT_PIXEL_ASPECT_RATIO);
}

bool IsApertureKey(REFGUID key) {
  return IsEqualGUID(key, MF_MT_GEOMETRIC_APERTURE) || IsEqualGUID(key, MF_MT_MINIMUM_DISPLAY_APERTURE) ||
         IsEqualGUID(key, MF_MT_PAN_SCAN_APERTURE);
}

// Appends the readable value; a failure leaves the line unlogged unless the
// caller decides otherwise.
HRESULT AppendValue(WideText& line, REFGUID key, const PROPVARIANT& value, bool* logWithoutValue) {
  if (IsPackedPairKey(key)) {
    // Two numbers packed high << 32 | low, whatever the value type says.
    const uint64_t packed = value.uhVal.QuadPart;
    AppendFormatted(line, KX_W("%u x %u"), static_cast<uint32_t>(packed >> 32),
                    static_cast<uint32_t>(packed & 0xFFFFFFFFu));
    return S_OK;
  }
  if (IsApertureKey(key)) {
    // An MFVideoArea in a byte array; anything else is not read.
    if (value.vt != (VT_VECTOR | VT_UI1)) return MF_E_INVALIDTYPE;
    if (value.caub.cElems < sizeof(MFVideoArea) || value.caub.pElems == nullptr) return MF_E_BUFFERTOOSMALL;
    MFVideoArea area;
    std::memcpy(&area, value.caub.pElems, sizeof area);
    const float x = static_cast<float>(area.OffsetX.value) + static_cast<float>(area.OffsetX.fract) / 65536.0f;
    const float y = static_cast<float>(area.OffsetY.value) + static_cast<float>(area.OffsetY.fract) / 65536.0f;
    AppendFormatted(line, KX_W("(%f,%f) (%d,%d)"), static_cast<double>(x), static_cast<double>(y),
                    static_cast<int32_t>(area.Area.cx), static_cast<int32_t>(area.Area.cy));
    return S_OK;
  }
  switch (value.vt) {
    case VT_UI4:
      AppendFormatted(line, KX_W("%u"), static_cast<uint32_t>(value.ulVal));
      return S_OK;
    case VT_UI8:
      AppendFormatted(line, KX_W("%I64u"), static_cast<unsigned long long>(value.uhVal.QuadPart));
      return S_OK;
    case VT_R8:
      AppendFormatted(line, KX_W("%f"), static_cast<double>(value.dblVal));
      return S_OK;
    case VT_CLSID: {
      const HRESULT hr = value.puuid != nullptr ? AppendGuidName(line, *value.puuid) : E_POINTER;
      if (FAILED(hr)) *logWithoutValue = true;
      return hr;
    }
    case VT_LPWSTR:
      line += value.pwszVal != nullptr ? value.pwszVal : KX_W("(null)");
      return S_OK;
    case VT_VECTOR | VT_UI1:
      line += KX_W("<<byte array>>");
      return S_OK;
    case VT_UNKNOWN:
      line += KX_W("IUnknown");
      return S_OK;
    default:
      AppendFormatted(line, KX_W("Unexpected attribute type (vt = %d)"), static_cast<int>(value.vt));
      return S_OK;
  }
}

HRESULT DumpAttribute(IMFAttributes* type, UINT32 index) {
  GUID key;
  ValueGuard value;
  HRESULT hr = type->GetItemByIndex(index, &key, value.get());
  if (FAILED(hr)) return hr;
  try {
    WideText line(4, WCHAR(' '));
    hr = AppendGuidName(line, key);
    if (FAILED(hr)) return hr;
    line += KX_W(": ");
    bool logWithoutValue = false;
    hr = AppendValue(line, key, *value, &logWithoutValue);
    if (SUCCEEDED(hr) || logWithoutValue) DumpLogLine(KX_W("%s"), line.c_str());
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

size_t MediaGuidNameCount() { return sizeof kMediaGuidNames / sizeof kMediaGuidNames[0]; }

const MediaGuidEntry& MediaGuidNameAt(size_t index) { return kMediaGuidNames[index]; }

const WCHAR* MediaGuidName(REFGUID guid) {
  for (const MediaGuidEntry& entry : kMediaGuidNames) {
    if (IsEqualGUID(*entry.guid, guid)) return entry.name;
  }
  return nullptr;
}

void DumpLogLine(const WCHAR* format, ...) {
  WCHAR wide[kMaxDumpLine + 1];
  va_list args;
  va_start(args, format);
  const int length = kx::fmt::FormatWideV(wide, sizeof wide / sizeof wide[0], format, args);
  va_end(args);
  if (length < 0 || length > kMaxDumpLine) return;  // too long: dropped

  // Room for the longest conversion of 259 UTF-16 units (3 bytes each).
  char narrow[kMaxDumpLine * 3 + 1];
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr) == 0) return;
  LogAtLevel(kLogInfo, "[Media Foundation ]: %s", narrow);
}

bool DumpMediaType(IMFAttributes* type) {
  if (type == nullptr) return false;
  UINT32 count = 0;
  if (FAILED(type->GetCount(&count))) return false;
  if (count == 0) {
    DumpLogLine(KX_W("Empty media type."));
    return true;
  }
  for (UINT32 index = 0; index < count; ++index) {
    if (FAILED(DumpAttribute(type, index))) return false;
  }
  return true;
}
