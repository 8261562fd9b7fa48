// The Media Foundation and system calls the library makes, as it makes them:
// natively against our layer, and in the Windows build against the system's
// own (under Wine), which keeps the layer honest. Checks of the layer's own
// choices run natively only.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "fake_com.h"
#include "kx_traxel/kx_types.h"

namespace {

using kx::ComPtr;
using kx::test::RefCount;
#if defined(_WIN32)
constexpr bool kOwnLayer = false;
#else
constexpr bool kOwnLayer = true;
#endif

// A picture's or a PCM block's buffer: all of it is writable (ASan) and
// aligned, and the sample holds it (the library drops its own reference).
TEST(Samples, BuffersAreWritableAlignedAndHeld) {
  for (DWORD maxLength : {0u, 1u, 1920u * 1080u * 3u / 2u}) {
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_EQ(S_OK, MFCreateMemoryBuffer(maxLength, &buffer)) << maxLength;
    BYTE* data = nullptr;
    DWORD max = 0, current = 99;
    ASSERT_EQ(S_OK, buffer->Lock(&data, &max, &current));
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(data) % 16) << "SIMD-aligned memory";
    EXPECT_EQ((std::pair{maxLength, DWORD{0}}), (std::pair{max, current}));
    if (maxLength != 0) std::memset(data, 0xAB, maxLength);
    EXPECT_EQ(S_OK, buffer->Unlock());
    EXPECT_EQ(S_OK, buffer->SetCurrentLength(maxLength));
    ComPtr<IMFSample> sample;
    ASSERT_EQ(S_OK, MFCreateSample(&sample));
    ASSERT_EQ(S_OK, sample->AddBuffer(buffer.Get()));
    EXPECT_EQ(2u, RefCount(buffer.Get()));
    sample.Reset();
    EXPECT_EQ(1u, RefCount(buffer.Get()));
  }
}

// The sink writer's finalize thread drops references while the host's
// threads take and drop theirs; every create starts the platform and every
// close shuts it down, from several threads at once. The close waits
// (INFINITE) for the finalize callback's SetEvent.
TEST(ComObjects, ReferenceCountsStartupsAndEventsUnderThreads) {
  ComPtr<IMFMediaType> type;
  ASSERT_EQ(S_OK, MFCreateMediaType(&type));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ComPtr<IMFAttributes> view;
        EXPECT_EQ(S_OK, type->QueryInterface(IID_PPV_ARGS(&view)));
        if (i % 10 == 0) {
          EXPECT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_FULL));
          EXPECT_EQ(S_OK, MFShutdown());
        }
      }
      EXPECT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_FULL));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(S_OK, MFShutdown());
  EXPECT_EQ(1u, RefCount(type.Get()));
  IMFMediaType* raw = type.Detach();  // the last Release on another thread (ASan: leak or double free)
  std::thread([raw] { EXPECT_EQ(0u, raw->Release()); }).join();
  EXPECT_TRUE(!kOwnLayer || MFShutdown() == MF_E_PLATFORM_NOT_INITIALIZED) << "one shutdown more than start-ups";

  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  std::thread signaller([event] { SetEvent(event); });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, INFINITE));
  signaller.join();
  EXPECT_TRUE(CloseHandle(event));
}

// The sink writer sizes each picture with MFCalculateImageSize (odd sizes:
// chroma of ceil(w/2) x ceil(h/2) in our layer; Media Foundation may give
// less; huge ones fail rather than wrap).
TEST(Picture, ImageSizeHoldsEveryPlane) {
  const struct { UINT32 width, height, expected; bool ownRounding; } sizes[] = {
      {1920, 1080, 1920 * 1080 * 3 / 2, false}, {0, 480, 0, false}, {641, 480, 641 * 480 + 2 * 321 * 240, true},
      {640, 481, 640 * 481 + 2 * 320 * 241, true}, {1, 1, 3, true}};
  for (const auto& c : sizes) {
    UINT32 size = 0;
    ASSERT_EQ(S_OK, MFCalculateImageSize(MFVideoFormat_YV12, c.width, c.height, &size)) << c.width;
    EXPECT_TRUE((!kOwnLayer && c.ownRounding) || c.expected == size) << c.width << "x" << c.height << ": " << size;
  }
  UINT32 size = 0;
  EXPECT_TRUE(!kOwnLayer || FAILED(MFCalculateImageSize(MFVideoFormat_YV12, 0xFFFFFFFF, 0xFFFFFFFF, &size)));
}
// Every picture's duration comes from the frame rate: the documented table
// (23.976 is not the rounded quotient 417083), else the exact quotient.
TEST(Picture, FrameDurationsFollowTheDocumentedTable) {
  const struct { UINT32 numerator, denominator; UINT64 expected; bool ownChoice; } cases[] = {
      {60000, 1001, 166833, false}, {30000, 1001, 333667, false}, {24000, 1001, 417188, false},
      {30, 1, 333333, false},       {25, 1, 400000, false},       {24, 1, 416667, false},
      {120, 1, 83333, false},       {1, 0xFFFFFFFF, 42949672950000000ull, false},
      // Table rates written with other terms; the quotient rounded.
      {48000, 2002, 417188, true},  {15, 1, 666667, true},        {0xFFFFFFFF, 1, 0, true},
  };
  for (const auto& c : cases) {
    UINT64 duration = 0;
    ASSERT_EQ(S_OK, MFFrameRateToAverageTimePerFrame(c.numerator, c.denominator, &duration)) << c.numerator;
    EXPECT_TRUE((!kOwnLayer && c.ownChoice) || c.expected == duration) << c.numerator << "/" << c.denominator << ": " << duration;
  }
  UINT64 duration = 5;
  EXPECT_TRUE(!kOwnLayer || FAILED(MFFrameRateToAverageTimePerFrame(0, 1, &duration))) << "zero frames per second";
}

}  // namespace
