// Start-up, events, text conversion, picture sizes and copies, frame
// durations, GUID text and variants: the calls the library makes, natively
// against our layer and in the Windows build against the system (Wine).
// Checks of the layer's own choices run natively only.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fake_com.h"
#include "kx_traxel/kx_types.h"

namespace {

#if defined(_WIN32)
constexpr bool kOwnLayer = false;
#else
constexpr bool kOwnLayer = true;
#endif
using WString = std::basic_string<WCHAR>;

// Every create starts the platform and every close shuts it down, from
// several threads at once.
TEST(Startup, CountedAcrossThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_FULL));
        EXPECT_EQ(S_OK, MFShutdown());
      }
      EXPECT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_FULL));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(S_OK, MFShutdown());
  if (kOwnLayer) {
    EXPECT_EQ(MF_E_BAD_STARTUP_VERSION, MFStartup(MF_VERSION + 1, MFSTARTUP_FULL));
    EXPECT_EQ(MF_E_PLATFORM_NOT_INITIALIZED, MFShutdown()) << "one shutdown more than start-ups";
    EXPECT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_FULL)) << "the count did not go below zero";
    EXPECT_EQ(S_OK, MFShutdown());
  }
}

// The close waits (INFINITE) for the finalize callback's SetEvent.
TEST(Events, WaitEndsOnSignalAndClosedHandlesFail) {
  for (BOOL manual : {FALSE, TRUE}) {
    HANDLE event = CreateEventW(nullptr, manual, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    std::thread signaller([event] { SetEvent(event); });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, INFINITE));
    signaller.join();
    EXPECT_EQ(manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "manual reset " << manual;
    EXPECT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(event, INFINITE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(SetEvent(event));
    EXPECT_FALSE(CloseHandle(event));
  }
}

// The sink writer sizes each picture with MFCalculateImageSize and copies
// the host's planes (padded or bottom-up) with MFCopyImage.
TEST(Picture, ImageSizeHoldsEveryPlane) {
  struct Case {
    const char* name;
    GUID subtype;
    UINT32 width, height, expected;
    bool ownRounding;  // odd sizes: chroma of ceil(w/2) x ceil(h/2) (Media Foundation may give less)
  };
  const Case cases[] = {
      {"YV12 1920x1080", MFVideoFormat_YV12, 1920, 1080, 1920 * 1080 * 3 / 2, false},
      {"NV12 1280x720", MFVideoFormat_NV12, 1280, 720, 1280 * 720 * 3 / 2, false},
      {"zero width", MFVideoFormat_YV12, 0, 480, 0, false},
      {"YV12 odd width", MFVideoFormat_YV12, 641, 480, 641 * 480 + 2 * 321 * 240, true},
      {"YV12 odd height", MFVideoFormat_YV12, 640, 481, 640 * 481 + 2 * 320 * 241, true},
      {"YV12 1x1", MFVideoFormat_YV12, 1, 1, 3, true},
  };
  for (const Case& c : cases) {
    if (c.ownRounding && !kOwnLayer) continue;
    UINT32 size = 0;
    ASSERT_EQ(S_OK, MFCalculateImageSize(c.subtype, c.width, c.height, &size)) << c.name;
    EXPECT_EQ(c.expected, size) << c.name;
  }
  UINT32 size = 0;
  EXPECT_EQ(E_INVALIDARG, MFCalculateImageSize(MFVideoFormat_H264, 640, 480, &size)) << "compressed";
  if (kOwnLayer) {
    EXPECT_TRUE(FAILED(MFCalculateImageSize(MFVideoFormat_YV12, 0xFFFFFFFF, 0xFFFFFFFF, &size)))
        << "a size beyond 32 bits is refused, not wrapped";
  }
}

TEST(Picture, CopyImageKeepsPaddingAndFollowsNegativeStrides) {
  constexpr DWORD kWidth = 5, kRows = 3;
  constexpr LONG kSourceStride = 8, kDestStride = 7;
  std::vector<BYTE> source(kSourceStride * kRows, 0xEE);
  for (DWORD r = 0; r < kRows; ++r) {
    for (DWORD x = 0; x < kWidth; ++x) source[r * kSourceStride + x] = static_cast<BYTE>(r * 16 + x);
  }
  for (bool destUp : {false, true}) {
    for (bool sourceUp : {false, true}) {
      std::vector<BYTE> dest(kDestStride * kRows, 0x55);
      ASSERT_EQ(S_OK, MFCopyImage(dest.data() + (destUp ? (kRows - 1) * kDestStride : 0),
                                  destUp ? -kDestStride : kDestStride,
                                  source.data() + (sourceUp ? (kRows - 1) * kSourceStride : 0),
                                  sourceUp ? -kSourceStride : kSourceStride, kWidth, kRows));
      for (DWORD r = 0; r < kRows; ++r) {  // row r of the copy is the r-th row walked from each base
        const DWORD sourceRow = sourceUp ? kRows - 1 - r : r, destRow = destUp ? kRows - 1 - r : r;
        for (DWORD x = 0; x < static_cast<DWORD>(kDestStride); ++x) {
          EXPECT_EQ(x < kWidth ? source[sourceRow * kSourceStride + x] : 0x55, dest[destRow * kDestStride + x])
              << "dest bottom-up " << destUp << ", source bottom-up " << sourceUp << ", row " << r << " byte " << x;
        }
      }
    }
  }
}

// Every picture's duration comes from the frame rate.
TEST(Picture, FrameDurationsFollowTheDocumentedTable) {
  struct Case {
    UINT32 numerator, denominator;
    UINT64 expected;
    bool ownChoice;  // rounding and equivalent terms are the layer's choice
  };
  const Case cases[] = {
      // The documented table (23.976 is not the rounded quotient 417083).
      {60000, 1001, 166833, false}, {30000, 1001, 333667, false}, {24000, 1001, 417188, false},
      {30, 1, 333333, false}, {25, 1, 400000, false}, {24, 1, 416667, false},
      // Others: the exact quotient.
      {120, 1, 83333, false}, {1, 0xFFFFFFFF, 42949672950000000ull, false},
      // Table rates written with other terms; the quotient rounded.
      {48000, 2002, 417188, true}, {15, 1, 666667, true}, {0xFFFFFFFF, 1, 0, true},
  };
  for (const Case& c : cases) {
    if (c.ownChoice && !kOwnLayer) continue;
    UINT64 duration = 0;
    ASSERT_EQ(S_OK, MFFrameRateToAverageTimePerFrame(c.numerator, c.denominator, &duration))
        << c.numerator << "/" << c.denominator;
    EXPECT_EQ(c.expected, duration) << c.numerator << "/" << c.denominator;
  }
  UINT64 duration = 5;
  if (kOwnLayer) {
    EXPECT_TRUE(FAILED(MFFrameRateToAverageTimePerFrame(0, 1, &duration))) << "zero frames per second";
  }
}

// The media type dump names unknown keys in registry form and clears the
// variants it was handed.
TEST(ComBasics, GuidTextAndVariantClear) {
  LPOLESTR text = nullptr;
  ASSERT_EQ(S_OK, StringFromCLSID(MFVideoFormat_NV12, &text));
  EXPECT_EQ(WString(KX_W("{3231564E-0000-0010-8000-00AA00389B71}")), WString(text));
  CoTaskMemFree(text);

  bool destroyed = false;
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_UNKNOWN;
  value.punkVal = new kx::test::CountedObject(&destroyed);
  EXPECT_EQ(S_OK, PropVariantClear(&value));
  EXPECT_EQ(VT_EMPTY, value.vt);
  EXPECT_TRUE(destroyed);
  value.vt = VT_VECTOR | VT_UI1;  // task memory (ASan checks the free)
  value.caub.cElems = 3;
  value.caub.pElems = static_cast<UCHAR*>(CoTaskMemAlloc(3));
  EXPECT_EQ(S_OK, PropVariantClear(&value));
  EXPECT_EQ(nullptr, value.caub.pElems);
}

}  // namespace
