// The Media Foundation and system calls the library makes, as it makes them:
// natively against our layer, and in the Windows build against the system's
// own (under Wine), which keeps the layer honest. Checks of the layer's own
// choices run natively only.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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

constexpr GUID Key(uint8_t n) { return {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, n}}; }

// The media type dump walks items in store order (an overwrite keeps its
// place) and clears the copies GetItemByIndex hands out; the sink writer's
// callback is held by the creation attributes until they go; frame size and
// rate are packed high word first.
TEST(AttributeStore, OrderCopiesHeldObjectsAndPackedPairs) {
  bool destroyed = false;
  {
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(S_OK, MFCreateMediaType(&type));
    for (uint8_t n : {1, 2, 3}) ASSERT_EQ(S_OK, type->SetUINT32(Key(n), n));
    ASSERT_EQ(S_OK, type->SetString(Key(1), KX_W("again")));
    auto* object = new kx::test::CountedObject(&destroyed);
    ASSERT_EQ(S_OK, type->SetUnknown(Key(4), object));
    object->Release();
    ASSERT_EQ(S_OK, MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 1920, 1080));
    ASSERT_EQ(S_OK, MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30000, 1001));
    const GUID keys[] = {Key(1), Key(2), Key(3), Key(4), MF_MT_FRAME_SIZE, MF_MT_FRAME_RATE};
    UINT32 count = 0;
    ASSERT_EQ(S_OK, type->GetCount(&count));
    ASSERT_EQ(6u, count);
    for (UINT32 i = 0; i < count; ++i) {
      GUID key{};
      PROPVARIANT value;
      PropVariantInit(&value);
      ASSERT_EQ(S_OK, type->GetItemByIndex(i, &key, &value));
      EXPECT_TRUE(IsEqualGUID(key, keys[i])) << i;
      const VARTYPE expected[] = {VT_LPWSTR, VT_UI4, VT_UI4, VT_UNKNOWN, VT_UI8, VT_UI8};
      EXPECT_EQ(expected[i], value.vt) << i;
      if (i == 0) value.pwszVal[0] = 'X';  // the copy, not the stored text (ASan checks the free)
      EXPECT_TRUE(i < 4 || value.uhVal.QuadPart == (i == 4 ? (UINT64{1920} << 32 | 1080) : (UINT64{30000} << 32 | 1001)));
      EXPECT_EQ(S_OK, PropVariantClear(&value));
    }
    GUID key{};
    EXPECT_EQ(E_INVALIDARG, type->GetItemByIndex(6, &key, nullptr));
    EXPECT_EQ(0u, MFGetAttributeUINT32(type.Get(), Key(1), 0)) << "a string is no UINT32";
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);
}

// A picture's or a PCM block's buffer: a refused length changes nothing,
// all of it is writable (ASan), and the sample holds it and passes the
// host's time stamps unchanged, negative ones included.
TEST(Samples, BuffersAndTimes) {
  for (DWORD maxLength : {0u, 1u, 1920u * 1080u * 3u / 2u}) {
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_EQ(S_OK, MFCreateMemoryBuffer(maxLength, &buffer)) << maxLength;
    EXPECT_EQ(E_INVALIDARG, buffer->SetCurrentLength(maxLength + 1)) << maxLength;
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
    const LONGLONG time = maxLength == 0 ? -333667 : INT64_MAX - maxLength;
    LONGLONG back = 0;
    ASSERT_EQ(S_OK, sample->SetSampleTime(time));
    ASSERT_EQ(S_OK, sample->SetSampleDuration(time / 2));
    EXPECT_EQ(S_OK, sample->GetSampleTime(&back));
    EXPECT_EQ(time, back);
    EXPECT_EQ(S_OK, sample->GetSampleDuration(&back));
    EXPECT_EQ(time / 2, back);
    sample.Reset();
    EXPECT_EQ(1u, RefCount(buffer.Get()));
  }
}

// The sink writer's finalize thread drops references while the host's
// threads take and drop theirs; every create starts the platform and every
// close shuts it down, from several threads at once.
TEST(ComObjects, ReferenceCountsAndStartupsAreExactUnderThreads) {
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
  void* out = &threads;  // must be overwritten with null
  EXPECT_EQ(E_NOINTERFACE, type->QueryInterface(IID_IMFSample, &out));
  EXPECT_EQ(nullptr, out);
  IMFMediaType* raw = type.Detach();  // the last Release on another thread (ASan: leak or double free)
  std::thread([raw] { EXPECT_EQ(0u, raw->Release()); }).join();
  if (kOwnLayer) {
    EXPECT_EQ(MF_E_BAD_STARTUP_VERSION, MFStartup(MF_VERSION + 1, MFSTARTUP_FULL));
    EXPECT_EQ(MF_E_PLATFORM_NOT_INITIALIZED, MFShutdown()) << "one shutdown more than start-ups";
    EXPECT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_FULL)) << "the count did not go below zero";
    EXPECT_EQ(S_OK, MFShutdown());
  }
}

// The close waits (INFINITE) for the finalize callback's SetEvent.
TEST(Events, WaitEndsOnSignalAndClosedHandlesFail) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  std::thread signaller([event] { SetEvent(event); });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, INFINITE));
  signaller.join();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "auto reset";
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(event, INFINITE));
}

// The sink writer sizes each picture with MFCalculateImageSize (odd sizes:
// chroma of ceil(w/2) x ceil(h/2) in our layer; Media Foundation may give
// less) and copies the host's planes, padded or bottom-up, with MFCopyImage.
TEST(Picture, ImageSizeHoldsEveryPlaneAndCopiesFollowStrides) {
  const struct { UINT32 width, height, expected; bool ownRounding; } sizes[] = {
      {1920, 1080, 1920 * 1080 * 3 / 2, false}, {0, 480, 0, false}, {641, 480, 641 * 480 + 2 * 321 * 240, true},
      {640, 481, 640 * 481 + 2 * 320 * 241, true}, {1, 1, 3, true}};
  for (const auto& c : sizes) {
    UINT32 size = 0;
    ASSERT_EQ(S_OK, MFCalculateImageSize(MFVideoFormat_YV12, c.width, c.height, &size)) << c.width;
    EXPECT_TRUE((!kOwnLayer && c.ownRounding) || c.expected == size) << c.width << "x" << c.height << ": " << size;
  }
  UINT32 size = 0;
  EXPECT_EQ(E_INVALIDARG, MFCalculateImageSize(MFVideoFormat_H264, 640, 480, &size)) << "compressed";
  EXPECT_TRUE(!kOwnLayer || FAILED(MFCalculateImageSize(MFVideoFormat_YV12, 0xFFFFFFFF, 0xFFFFFFFF, &size)));

  constexpr DWORD kWidth = 5, kRows = 3;
  constexpr LONG kSourceStride = 8, kDestStride = 7;
  std::vector<BYTE> source(kSourceStride * kRows, 0xEE);
  for (DWORD i = 0; i < source.size(); ++i) source[i] = i % kSourceStride < kWidth ? static_cast<BYTE>(i) : 0xEE;
  for (bool up : {false, true}) {  // the source bottom-up, the destination top-down
    std::vector<BYTE> dest(kDestStride * kRows, 0x55);
    ASSERT_EQ(S_OK, MFCopyImage(dest.data(), kDestStride, source.data() + (up ? (kRows - 1) * kSourceStride : 0),
                                up ? -kSourceStride : kSourceStride, kWidth, kRows));
    for (DWORD r = 0; r < kRows; ++r) {
      for (DWORD x = 0; x < static_cast<DWORD>(kDestStride); ++x) {
        const DWORD sourceRow = up ? kRows - 1 - r : r;
        EXPECT_EQ(x < kWidth ? source[sourceRow * kSourceStride + x] : 0x55, dest[r * kDestStride + x])
            << "bottom-up " << up << ", row " << r << " byte " << x;
      }
    }
  }
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
