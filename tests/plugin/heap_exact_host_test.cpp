// A multi-stream host that frees everything it hands over as soon as the
// call returns: each EncodeParams record, its codec private data, the path,
// each extra-data block and each frame live in heap blocks of exactly their
// size. Under AddressSanitizer any read of them after the call (the adapter
// keeping a pointer instead of a copy) fails the run; the file written
// through the real tables must still decode with every frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>
#include <string>
#include <thread>

#include "host_view.h"
#include "media_probe.h"
#include "temp_dir.h"

namespace kx::test {
namespace {

// Hands a record with codec private data of `extraBytes` bytes (a block of
// its own) in the stream's extra block to `addStream`, then frees both.
template <typename Add>
int32_t AddExact(HostRecord record, size_t extraBlock, size_t extraBytes, Add addStream) {
  ExactBlock extra(extraBytes);
  for (size_t i = 0; i < extraBytes; ++i) extra.data()[i] = static_cast<uint8_t>(i + 1);
  record.Extra(extraBlock, extra.data(), static_cast<uint32_t>(extraBytes));
  return addStream(record.get());
}

struct HeapExactCase {
  const char* name;
  const char* container;
  const char* extension;
  const char* video;
  const char* audio;
};

class HeapExactHostTest : public ::testing::TestWithParam<HeapExactCase> {};

TEST_P(HeapExactHostTest, AdapterKeepsItsOwnCopies) {
  const HeapExactCase& c = GetParam();
  ASSERT_TRUE(Plugin().loaded()) << Plugin().error();
  LogCapture log{PluginLogSink()};
  ASSERT_TRUE(log.active());
  const uint8_t* row = MultiStreamRowOf(c.container);
  ASSERT_NE(row, nullptr);
  const MultiStreamRow slots = MultiStreamSlots(row);
  constexpr uint32_t kWidth = 96, kHeight = 64, kVideoIndex = 0, kAudioIndex = 1;
  constexpr int kFrames = 12;
  constexpr int64_t kFrameDuration = 400000;

  void* file = slots.create();
  ASSERT_NE(file, nullptr);
  const auto add = [&](uint32_t type, uint32_t index) {
    return [=](const EncodeParams* record) { return slots.addStream(file, type, 1, index, index, record); };
  };
  ASSERT_EQ(AddExact(std::move(HostRecord().Video(c.video, kWidth, kHeight, 25.0)), host::kVideoExtra, 41,
                     add(KX_STREAMTYPE_VIDEO, kVideoIndex)), 1);
  ASSERT_EQ(AddExact(std::move(HostRecord().Audio(c.audio, 48000, 2)), host::kAudioExtra, 2,
                     add(KX_STREAMTYPE_AUDIO, kAudioIndex)), 1);
  // A subpicture stream with private data of its own: kept, never written.
  ASSERT_EQ(AddExact(HostRecord(), host::kSubpictureExtra, 7, add(KX_STREAMTYPE_SUBPICTURE, 2)), 1);
  TempDir dir;
  const std::string path = (dir / (std::string(c.name) + c.extension)).string();
  {
    const auto wide = Wide(path);
    ExactBlock pathBlock((wide.size() + 1) * sizeof(kx_wchar));
    std::memcpy(pathBlock.data(), wide.c_str(), pathBlock.size());
    ASSERT_EQ(slots.init(file, FourCC(c.container), reinterpret_cast<const kx_wchar*>(pathBlock.data()), 1000), 1);
  }
  for (uint32_t index : {kVideoIndex, kAudioIndex}) {
    // len1, 5 bytes, len2, 3 bytes.
    const uint8_t bytes[] = {5, 0, 0, 0, 1, 2, 3, 4, 5, 3, 0, 0, 0, 6, 7, 8};
    ExactBlock block(sizeof bytes);
    std::memcpy(block.data(), bytes, sizeof bytes);
    slots.writeExtraData(file, index, block.data(), static_cast<int32_t>(sizeof bytes));
  }
  for (int i = 0; i < kFrames; ++i) {
    {
      HostPicture picture(kWidth, kHeight, i);
      picture.record().Times(i * kFrameDuration);
      ASSERT_EQ(slots.writeFrame(file, kVideoIndex, picture.frame(), 0), 1) << "picture " << i;
    }
    HostPcm sound(1920, 2, 48000, uint64_t(i) * 1920);
    sound.record().Times(i * kFrameDuration);
    ASSERT_EQ(slots.writeFrame(file, kAudioIndex, sound.frame(), 0), 1) << "sound " << i;
  }
  slots.close(file);

  // The encoder's callback says "release" once the close thread let the
  // finished writer go.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  const auto released = [&] {
    const auto records = log.Records();
    return std::find(records.begin(), records.end(), "release \n") != records.end();
  };
  while (!released()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the close never finished the file";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const FileReport report = ReadMediaFile(path);
  ASSERT_TRUE(report.opened);
  const StreamReport* video = report.Find(AVMEDIA_TYPE_VIDEO);
  const StreamReport* audio = report.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(video, nullptr);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(video->width, static_cast<int>(kWidth));
  EXPECT_EQ(video->decodedFrames, kFrames);
  EXPECT_EQ(video->decodeErrors, 0);
  EXPECT_GT(audio->decodedSamples, 0);
  EXPECT_EQ(audio->decodeErrors, 0);
}

INSTANTIATE_TEST_SUITE_P(Files, HeapExactHostTest,
                         ::testing::Values(HeapExactCase{"h264_aac", "WMP4", ".mp4", "W264", "WAAC"},
                                           HeapExactCase{"wmv2_wma8", "WWMV", ".wmv", "WMV2", "WMA8"}),
                         [](const ::testing::TestParamInfo<HeapExactCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kx::test
