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
#include <string>
#include <thread>

#include "host_records.h"
#include "host_slots.h"
#include "media_reader.h"

namespace kxtest {
namespace {

// A block of exactly `bytes` bytes, freed when the host lets go of it.
using HeapBlock = std::unique_ptr<uint8_t[]>;

HeapBlock ExactBlock(size_t bytes) { return HeapBlock(new uint8_t[bytes]); }

// A record in a block of exactly its 70944 bytes, with codec private data of
// `extraBytes` bytes (a block of its own, which `extra` receives).
HeapBlock ExactRecord(size_t extraBytes, HeapBlock* extra) {
  HeapBlock record = ExactBlock(sizeof(EncodeParams));
  WriteDefaultRecord(record.get());
  *extra = ExactBlock(extraBytes);
  for (size_t i = 0; i < extraBytes; ++i) (*extra)[i] = static_cast<uint8_t>(i + 1);
  return record;
}

void AttachExtra(uint8_t* record, size_t block, const HeapBlock& extra, uint32_t bytes) {
  WritePointer(record, block + kExtraPointerOffset, extra.get());
  WriteU32(record, block + kExtraSizeOffset, bytes);
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
  LogCapture log;
  ASSERT_TRUE(log.active());
  const uint8_t* row = FindRow(MultiStreamTableOfPlugin(), 488, c.container);
  ASSERT_NE(row, nullptr);
  const MultiStreamRow slots = MultiStreamSlots(row);
  constexpr uint32_t kWidth = 96, kHeight = 64, kVideoIndex = 0, kAudioIndex = 1;
  constexpr int kFrames = 12;
  constexpr int64_t kFrameDuration = 400000;

  void* file = slots.create();
  ASSERT_NE(file, nullptr);
  {
    HeapBlock extra;
    HeapBlock record = ExactRecord(41, &extra);
    SetVideo(record.get(), FourCC(c.video), kWidth, kHeight, 25.0);
    AttachExtra(record.get(), kVideoExtraOffset, extra, 41);
    ASSERT_EQ(slots.addStream(file, KX_STREAMTYPE_VIDEO, 1, 0, kVideoIndex,
                              reinterpret_cast<const EncodeParams*>(record.get())),
              1);
  }
  {
    HeapBlock extra;
    HeapBlock record = ExactRecord(2, &extra);
    SetAudio(record.get(), FourCC(c.audio), 48000, 2);
    AttachExtra(record.get(), kAudioExtraOffset, extra, 2);
    ASSERT_EQ(slots.addStream(file, KX_STREAMTYPE_AUDIO, 1, 1, kAudioIndex,
                              reinterpret_cast<const EncodeParams*>(record.get())),
              1);
  }
  {
    // A subpicture stream with private data of its own: kept, never written.
    HeapBlock extra;
    HeapBlock record = ExactRecord(7, &extra);
    AttachExtra(record.get(), kSubpictureExtraOffset, extra, 7);
    ASSERT_EQ(slots.addStream(file, KX_STREAMTYPE_SUBPICTURE, 1, 2, 2,
                              reinterpret_cast<const EncodeParams*>(record.get())),
              1);
  }
  const std::string folder = std::string(KX_TEST_OUTPUT_DIR) + "/heap_exact";
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/" + c.name + c.extension;
  std::filesystem::remove(path);
  {
    const auto wide = Wide(path);
    HeapBlock pathBlock = ExactBlock((wide.size() + 1) * sizeof(kx_wchar));
    std::memcpy(pathBlock.get(), wide.c_str(), (wide.size() + 1) * sizeof(kx_wchar));
    ASSERT_EQ(slots.init(file, FourCC(c.container), reinterpret_cast<const kx_wchar*>(pathBlock.get()), 1000), 1);
  }
  for (uint32_t index : {kVideoIndex, kAudioIndex}) {
    // len1, 5 bytes, len2, 3 bytes.
    const uint8_t bytes[] = {5, 0, 0, 0, 1, 2, 3, 4, 5, 3, 0, 0, 0, 6, 7, 8};
    HeapBlock block = ExactBlock(sizeof bytes);
    std::memcpy(block.get(), bytes, sizeof bytes);
    slots.writeExtraData(file, index, block.get(), static_cast<int32_t>(sizeof bytes));
  }
  for (int i = 0; i < kFrames; ++i) {
    auto picture = std::make_unique<Picture>(kWidth, kHeight, i * kFrameDuration, static_cast<uint8_t>(i * 8));
    auto frame = std::make_unique<MediaFrame>(picture->frame);
    ASSERT_EQ(slots.writeFrame(file, kVideoIndex, frame.get(), 0), 1) << "picture " << i;
    frame.reset();
    picture.reset();
    auto sound = std::make_unique<Sound>(7680, i * kFrameDuration, 48000, 2, int64_t{i} * 1920);
    frame = std::make_unique<MediaFrame>(sound->frame);
    ASSERT_EQ(slots.writeFrame(file, kAudioIndex, frame.get(), 0), 1) << "sound " << i;
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
  const sinkwriter_test::FileReport report = sinkwriter_test::ReadMediaFile(path);
  ASSERT_TRUE(report.opened);
  const sinkwriter_test::StreamReport* video = report.Find(AVMEDIA_TYPE_VIDEO);
  const sinkwriter_test::StreamReport* audio = report.Find(AVMEDIA_TYPE_AUDIO);
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
}  // namespace kxtest
