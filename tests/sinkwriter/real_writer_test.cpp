// PCM handed over in blocks that split frames, written by the platform's own
// sink writer (real encoders) and decoded with libavcodec: it must decode
// to the same tone as PCM handed over in whole frames. A byte lost or
// repeated at a block boundary turns the rest of the stream into noise.
#include <gtest/gtest.h>

#include <algorithm>

#include "host_records.h"
#include "kxsinkwriter/sink_writer_encoder.h"
#include "media_probe.h"
#include "temp_dir.h"

namespace kx::test {
namespace {

struct ToneCase {
  const char *name, *fourcc, *extension;
};

class RealWriter : public ::testing::TestWithParam<ToneCase> {
 protected:
  void SetUp() override { ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK); }
  void TearDown() override { ASSERT_EQ(MFShutdown(), S_OK); }

  // Two seconds of 16-bit stereo at 44100 Hz in blocks of the given sizes,
  // repeated; each block stamped with the time of its first byte.
  StreamReport WriteTone(const std::vector<int32_t>& blocks, const std::string& name) {
    const std::filesystem::path path = dir / (name + GetParam().extension);
    const HostPcm pcm(88200, 2, 44100);
    {
      SinkWriterEncoder encoder(*HostRecord().Audio(GetParam().fourcc, 44100, 2).get());
      EXPECT_EQ(encoder.Init(WidePath(path).c_str()), 1);
      size_t offset = 0;
      for (size_t i = 0; offset < pcm.size(); ++i) {
        const auto size = std::min<size_t>(static_cast<size_t>(blocks[i % blocks.size()]), pcm.size() - offset);
        HostFrame frame;
        frame.Set(host::kPcm, pcm.bytes() + offset).Set(host::kPcmBytes, static_cast<int32_t>(size));
        frame.Times(static_cast<int64_t>(offset) * 10000000 / (44100 * 4));
        EXPECT_EQ(encoder.EncodeAudioFrame(frame.get()), 1) << "block at byte " << offset;
        offset += size;
      }
      EXPECT_EQ(encoder.Finish(), S_OK);
    }
    const FileReport report = ReadMediaFile(path.string());
    EXPECT_TRUE(report.opened) << report.error;
    const StreamReport* audio = report.Find(AVMEDIA_TYPE_AUDIO);
    return audio != nullptr ? *audio : StreamReport{};
  }

  TempDir dir;
};

TEST_P(RealWriter, PcmInBlocksThatSplitFramesDecodesToTheSameTone) {
  const StreamReport whole = WriteTone({4096}, "whole");
  ASSERT_GT(whole.decodedSamples, 88200 * 9 / 10);
  EXPECT_NEAR(whole.audioRms, 0.177, 0.02) << "a quarter-scale sine";
  for (const auto& blocks : {std::vector<int32_t>{4095}, std::vector<int32_t>{4095, 1, 2, 4093, 3}}) {
    const StreamReport split = WriteTone(blocks, "split" + std::to_string(blocks.size()));
    EXPECT_EQ(split.decodedSamples, whole.decodedSamples) << blocks.size();
    EXPECT_EQ(split.decodeErrors, 0);
    EXPECT_NEAR(split.audioRms, whole.audioRms, whole.audioRms * 0.02) << blocks.size();
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, RealWriter,
                         ::testing::Values(ToneCase{"Wma8", "WMA8", ".wma"}, ToneCase{"Aac", "WAAC", ".mp4"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kx::test
