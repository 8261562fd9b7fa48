// Picture helpers: image sizes, strided copies and frame-rate conversion.
#include <chrono>
#include <cstring>

#include "kxplatform/mf.h"

namespace {

constexpr UINT64 kUnitsPerSecond = 10000000;  // 100-ns units

struct FrameRateEntry {
  UINT32 numerator;
  UINT32 denominator;
  UINT64 timePerFrame;
};

// The durations Media Foundation documents for the common rates.
constexpr FrameRateEntry kCommonFrameRates[] = {
    {60000, 1001, 166833}, {30000, 1001, 333667}, {24000, 1001, 417188}, {60, 1, 166667},
    {30, 1, 333333},       {50, 1, 200000},       {25, 1, 400000},       {24, 1, 416667},
};

// Wide enough for any 32-bit width times 32-bit height times bytes per pixel.
using Wide = unsigned __int128;

Wide RoundUpDiv(Wide value, Wide divisor) { return (value + divisor - 1) / divisor; }
Wide AlignToDword(Wide bytes) { return (bytes + 3) & ~Wide{3}; }

// Bytes of one picture of `subtype`, or false when the format is not known.
bool ImageSize(REFGUID subtype, Wide width, Wide height, Wide* size) {
  const Wide chromaWidth = RoundUpDiv(width, 2);
  const Wide chromaHeight = RoundUpDiv(height, 2);
  // 4:2:0: a full luma plane and two chroma planes of half width and height,
  // rounded up so that odd sizes still hold their last chroma column and row.
  const Wide planar420 = width * height + 2 * chromaWidth * chromaHeight;
  if (subtype == MFVideoFormat_YV12 || subtype == MFVideoFormat_I420 || subtype == MFVideoFormat_IYUV ||
      subtype == MFVideoFormat_NV12) {
    *size = planar420;
  } else if (subtype == MFVideoFormat_P010 || subtype == MFVideoFormat_P016) {
    *size = 2 * planar420;
  } else if (subtype == MFVideoFormat_YUY2 || subtype == MFVideoFormat_UYVY || subtype == MFVideoFormat_YVYU) {
    *size = chromaWidth * 4 * height;  // two pixels in four bytes
  } else if (subtype == MFVideoFormat_NV11) {
    *size = width * height + 2 * RoundUpDiv(width, 4) * height;
  } else if (subtype == MFVideoFormat_AYUV || subtype == MFVideoFormat_RGB32 || subtype == MFVideoFormat_ARGB32) {
    *size = width * 4 * height;
  } else if (subtype == MFVideoFormat_RGB24) {
    *size = AlignToDword(width * 3) * height;
  } else if (subtype == MFVideoFormat_RGB555 || subtype == MFVideoFormat_RGB565) {
    *size = AlignToDword(width * 2) * height;
  } else if (subtype == MFVideoFormat_RGB8) {
    *size = AlignToDword(width) * height;
  } else {
    return false;
  }
  return true;
}

bool MatchesRate(const FrameRateEntry& entry, UINT64 numerator, UINT64 denominator) {
  return numerator * entry.denominator == denominator * entry.numerator;
}

}  // namespace

extern "C" {

HRESULT MFCalculateImageSize(REFGUID guidSubtype, UINT32 unWidth, UINT32 unHeight, UINT32* pcbImageSize) {
  if (pcbImageSize == nullptr) return E_POINTER;
  *pcbImageSize = 0;
  Wide size = 0;
  if (!ImageSize(guidSubtype, unWidth, unHeight, &size)) return E_INVALIDARG;
  if (size > 0xFFFFFFFFu) return INTSAFE_E_ARITHMETIC_OVERFLOW;
  *pcbImageSize = static_cast<UINT32>(size);
  return S_OK;
}

// Row i of each picture starts at base + i * stride; a negative stride walks
// a bottom-up picture.
HRESULT MFCopyImage(BYTE* pDest, LONG lDestStride, const BYTE* pSrc, LONG lSrcStride, DWORD dwWidthInBytes,
                    DWORD dwLines) {
  if (dwWidthInBytes == 0 || dwLines == 0) return S_OK;
  if (pDest == nullptr || pSrc == nullptr) return E_POINTER;
  if (lDestStride == lSrcStride && lSrcStride > 0 && static_cast<DWORD>(lSrcStride) == dwWidthInBytes) {
    std::memcpy(pDest, pSrc, static_cast<size_t>(dwWidthInBytes) * dwLines);
    return S_OK;
  }
  for (DWORD line = 0; line < dwLines; ++line) {
    std::memcpy(pDest + static_cast<ptrdiff_t>(line) * lDestStride, pSrc + static_cast<ptrdiff_t>(line) * lSrcStride,
                dwWidthInBytes);
  }
  return S_OK;
}

HRESULT MFFrameRateToAverageTimePerFrame(UINT32 unNumerator, UINT32 unDenominator, UINT64* punAverageTimePerFrame) {
  if (punAverageTimePerFrame == nullptr) return E_POINTER;
  *punAverageTimePerFrame = 0;
  if (unNumerator == 0) return E_INVALIDARG;
  for (const FrameRateEntry& entry : kCommonFrameRates) {
    if (MatchesRate(entry, unNumerator, unDenominator)) {
      *punAverageTimePerFrame = entry.timePerFrame;
      return S_OK;
    }
  }
  // At most 10^7 * (2^32 - 1) before the division: no overflow.
  *punAverageTimePerFrame = (kUnitsPerSecond * unDenominator + unNumerator / 2) / unNumerator;
  return S_OK;
}

HRESULT MFAverageTimePerFrameToFrameRate(UINT64 unAverageTimePerFrame, UINT32* punNumerator,
                                         UINT32* punDenominator) {
  if (punNumerator == nullptr || punDenominator == nullptr) return E_POINTER;
  *punNumerator = 0;
  *punDenominator = 0;
  if (unAverageTimePerFrame == 0) return E_INVALIDARG;
  for (const FrameRateEntry& entry : kCommonFrameRates) {
    if (entry.timePerFrame == unAverageTimePerFrame) {
      *punNumerator = entry.numerator;
      *punDenominator = entry.denominator;
      return S_OK;
    }
  }
  UINT64 numerator = kUnitsPerSecond;
  UINT64 denominator = unAverageTimePerFrame;
  for (UINT64 a = numerator, b = denominator; b != 0;) {  // reduce by the greatest common divisor
    const UINT64 r = a % b;
    a = b;
    b = r;
    if (b == 0) {
      numerator /= a;
      denominator /= a;
    }
  }
  while (denominator > 0xFFFFFFFFu) {  // keep the ratio within 32 bits
    numerator = (numerator + 1) / 2;
    denominator = (denominator + 1) / 2;
  }
  if (numerator == 0) numerator = 1;
  *punNumerator = static_cast<UINT32>(numerator);
  *punDenominator = static_cast<UINT32>(denominator);
  return S_OK;
}

LONGLONG MFGetSystemTime() {
  using Units = std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>;
  return std::chrono::duration_cast<Units>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // extern "C"
