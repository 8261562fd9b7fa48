// Image sizes, strided image copies and frame durations.
#include <cstdint>
#include <vector>

#include "test_util.h"

namespace {

struct SizeCase {
  const char* name;
  GUID subtype;
  UINT32 width;
  UINT32 height;
  UINT32 expected;
  bool ownRounding;  // the layer's rounding for odd sizes (Media Foundation may give less)
};

TEST(Picture, ImageSizeHoldsEveryPlaneForOddSizes) {
  const SizeCase cases[] = {
      {"YV12 1920x1080", MFVideoFormat_YV12, 1920, 1080, 1920 * 1080 * 3 / 2, false},
      {"I420 640x480", MFVideoFormat_I420, 640, 480, 640 * 480 * 3 / 2, false},
      {"NV12 1280x720", MFVideoFormat_NV12, 1280, 720, 1280 * 720 * 3 / 2, false},
      {"YUY2 even", MFVideoFormat_YUY2, 640, 480, 640 * 2 * 480, false},
      {"RGB32", MFVideoFormat_RGB32, 7, 3, 7 * 4 * 3, false},
      {"zero width", MFVideoFormat_NV12, 0, 480, 0, false},
      // Odd sizes: chroma planes of ceil(w/2) x ceil(h/2), so that a copy of
      // every plane fits.
      {"YV12 odd width", MFVideoFormat_YV12, 641, 480, 641 * 480 + 2 * 321 * 240, true},
      {"IYUV odd height", MFVideoFormat_IYUV, 640, 481, 640 * 481 + 2 * 320 * 241, true},
      {"NV12 odd both", MFVideoFormat_NV12, 3, 3, 9 + 2 * 2 * 2, true},
      {"I420 1x1", MFVideoFormat_I420, 1, 1, 3, true},
      {"YUY2 odd width", MFVideoFormat_YUY2, 3, 2, 8 * 2, true},
      {"RGB24 row padded to DWORD", MFVideoFormat_RGB24, 5, 2, 16 * 2, true},
  };
  for (const SizeCase& c : cases) {
    if (c.ownRounding && !kxtest::kOwnLayer) continue;
    UINT32 size = 0;
    ASSERT_EQ(S_OK, MFCalculateImageSize(c.subtype, c.width, c.height, &size)) << c.name;
    EXPECT_EQ(c.expected, size) << c.name;
  }
  UINT32 size = 77;
  EXPECT_EQ(E_INVALIDARG, MFCalculateImageSize(MFVideoFormat_H264, 640, 480, &size)) << "compressed";
  EXPECT_EQ(E_INVALIDARG, MFCalculateImageSize(GUID_NULL, 640, 480, &size));
  if (kxtest::kOwnLayer) {
    EXPECT_TRUE(FAILED(MFCalculateImageSize(MFVideoFormat_RGB32, 0xFFFFFFFF, 0xFFFFFFFF, &size)))
        << "a size beyond 32 bits is refused, not wrapped";
    EXPECT_EQ(E_POINTER, MFCalculateImageSize(MFVideoFormat_NV12, 2, 2, nullptr));
  }
}

TEST(Picture, PlanarFrameCopiedPlaneByPlaneFitsTheImageSize) {
  if (!kxtest::kOwnLayer) GTEST_SKIP() << "Media Foundation may round odd sizes down";
  // The sink writer's input path: one buffer of MFCalculateImageSize bytes,
  // then the luma plane and two chroma planes of ceil(w/2) x ceil(h/2)
  // copied one after the other.
  for (UINT32 width : {1u, 2u, 3u, 17u, 639u, 640u}) {
    for (UINT32 height : {1u, 2u, 5u, 479u, 480u}) {
      UINT32 size = 0;
      ASSERT_EQ(S_OK, MFCalculateImageSize(MFVideoFormat_YV12, width, height, &size));
      kx::ComPtr<IMFMediaBuffer> buffer;
      ASSERT_EQ(S_OK, MFCreateMemoryBuffer(size, &buffer));
      BYTE* data = nullptr;
      DWORD max = 0;
      ASSERT_EQ(S_OK, buffer->Lock(&data, &max, nullptr));
      const UINT32 chromaWidth = (width + 1) / 2;
      const UINT32 chromaHeight = (height + 1) / 2;
      std::vector<BYTE> plane(static_cast<size_t>(width) * height, 0x10);
      size_t offset = 0;
      const UINT32 widths[3] = {width, chromaWidth, chromaWidth};
      const UINT32 heights[3] = {height, chromaHeight, chromaHeight};
      for (int p = 0; p < 3; ++p) {
        const size_t bytes = static_cast<size_t>(widths[p]) * heights[p];
        ASSERT_LE(offset + bytes, max) << width << "x" << height << " plane " << p;
        ASSERT_EQ(S_OK, MFCopyImage(data + offset, static_cast<LONG>(widths[p]), plane.data(),
                                    static_cast<LONG>(widths[p]), widths[p], heights[p]));
        offset += bytes;
      }
      EXPECT_EQ(offset, size) << width << "x" << height << ": no slack either";
      buffer->Unlock();
    }
  }
}

// Fills a picture of `rows` rows whose row i starts at base + i * stride.
void FillRows(BYTE* base, LONG stride, DWORD width, DWORD rows) {
  for (DWORD r = 0; r < rows; ++r) {
    for (DWORD x = 0; x < width; ++x) base[static_cast<ptrdiff_t>(r) * stride + x] = static_cast<BYTE>(r * 16 + x);
  }
}

TEST(Picture, CopyImageKeepsPaddingAndFollowsNegativeStrides) {
  constexpr DWORD kWidth = 5;
  constexpr DWORD kRows = 3;
  constexpr LONG kSourceStride = 8;
  constexpr LONG kDestStride = 7;
  std::vector<BYTE> source(kSourceStride * kRows, 0xEE);
  FillRows(source.data(), kSourceStride, kWidth, kRows);

  struct Case {
    const char* name;
    bool destBottomUp;
    bool sourceBottomUp;
  };
  for (const Case& c : {Case{"top-down", false, false}, Case{"into bottom-up", true, false},
                        Case{"from bottom-up", false, true}, Case{"both bottom-up", true, true}}) {
    std::vector<BYTE> dest(kDestStride * kRows, 0x55);
    BYTE* destBase = c.destBottomUp ? dest.data() + (kRows - 1) * kDestStride : dest.data();
    const BYTE* sourceBase = c.sourceBottomUp ? source.data() + (kRows - 1) * kSourceStride : source.data();
    ASSERT_EQ(S_OK, MFCopyImage(destBase, c.destBottomUp ? -kDestStride : kDestStride, sourceBase,
                                c.sourceBottomUp ? -kSourceStride : kSourceStride, kWidth, kRows))
        << c.name;
    for (DWORD r = 0; r < kRows; ++r) {
      // Row r of the copy is the r-th row walked from each base.
      const DWORD sourceRow = c.sourceBottomUp ? kRows - 1 - r : r;
      const DWORD destRow = c.destBottomUp ? kRows - 1 - r : r;
      for (DWORD x = 0; x < static_cast<DWORD>(kDestStride); ++x) {
        const BYTE expected = x < kWidth ? source[sourceRow * kSourceStride + x] : 0x55;
        EXPECT_EQ(expected, dest[destRow * kDestStride + x]) << c.name << " row " << r << " byte " << x;
      }
    }
  }
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(S_OK, MFCopyImage(nullptr, 0, nullptr, 0, 0, 0)) << "nothing to copy";
    EXPECT_EQ(E_POINTER, MFCopyImage(nullptr, 8, source.data(), 8, 5, 1));
  }
}

TEST(Picture, FrameDurationsFollowTheDocumentedTable) {
  struct Case {
    UINT32 numerator;
    UINT32 denominator;
    UINT64 expected;
    bool ownChoice;  // rounding and equivalent terms are the layer's choice
  };
  const Case cases[] = {
      // The documented table (23.976 is not the rounded quotient 417083).
      {60000, 1001, 166833, false}, {30000, 1001, 333667, false}, {24000, 1001, 417188, false},
      {60, 1, 166667, false},       {30, 1, 333333, false},       {50, 1, 200000, false},
      {25, 1, 400000, false},       {24, 1, 416667, false},
      // Others: the exact quotient.
      {120, 1, 83333, false},       {1, 3, 30000000, false},      {1, 0xFFFFFFFF, 42949672950000000ull, false},
      // The same table rates written with other terms; the quotient rounded.
      {48000, 2002, 417188, true},  {50000, 1000, 200000, true},  {15, 1, 666667, true},
      {7, 1, 1428571, true},        {0xFFFFFFFF, 1, 0, true},
  };
  for (const Case& c : cases) {
    if (c.ownChoice && !kxtest::kOwnLayer) continue;
    UINT64 duration = 0;
    ASSERT_EQ(S_OK, MFFrameRateToAverageTimePerFrame(c.numerator, c.denominator, &duration))
        << c.numerator << "/" << c.denominator;
    EXPECT_EQ(c.expected, duration) << c.numerator << "/" << c.denominator;
  }
  if (kxtest::kOwnLayer) {
    UINT64 duration = 5;
    EXPECT_TRUE(FAILED(MFFrameRateToAverageTimePerFrame(0, 1, &duration))) << "zero frames per second";
  }
}

}  // namespace
