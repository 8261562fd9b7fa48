// Sample writing against a fake sink writer: what each sample holds (bytes,
// time stamp, duration), the YV12 plane order, and the frames that are
// refused without writing anything.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fakes.h"

namespace sinkwriter_test {
namespace {

// An encoder opened on a fake writer; `setup` decides the streams.
class Writing : public ::testing::Test {
 protected:
  void Open(const StreamSetup& setup) {
    platform.audioTypes.push_back(MakeAudioType(
        MFAudioFormat_WMAudioV8, {setup.channels, setup.sampleRate, setup.bitsPerSample, setup.audioBitrate / 8}));
    encoder = std::make_unique<SinkWriterEncoder>(MakeParams(setup), platform.EntryPoints());
    initResult = encoder->Init(Wide("samples.wmv").c_str());
  }

  // Samples the writer received (the encoder stays open).
  const std::vector<SampleRecord>& Samples() const { return platform.writer->samples; }

  void TearDown() override { encoder.reset(); }

  FakePlatform platform;
  LogCapture log;
  std::unique_ptr<SinkWriterEncoder> encoder;
  int initResult = 0;
};

MediaFrame Pcm(const std::vector<uint8_t>& bytes, int64_t pts) {
  MediaFrame frame{};
  frame.audio.pData = bytes.data();
  frame.audio.nBytes = static_cast<int32_t>(bytes.size());
  frame.pts = pts;
  return frame;
}

// --- Audio durations ----------------------------------------------------------

struct DurationCase {
  const char* name;
  int32_t bytes;
  UINT32 channels;
  UINT32 bitsPerSample;
  UINT32 sampleRate;
  LONGLONG duration;
};

class AudioDuration : public Writing, public ::testing::WithParamInterface<DurationCase> {};

TEST_P(AudioDuration, IsComputedInSinglePrecisionFromWholeFrames) {
  const DurationCase& c = GetParam();
  StreamSetup setup;
  setup.video = false;
  setup.channels = c.channels;
  setup.bitsPerSample = c.bitsPerSample;
  setup.sampleRate = c.sampleRate;
  Open(setup);
  ASSERT_EQ(initResult, 1);
  std::vector<uint8_t> pcm(static_cast<size_t>(c.bytes));
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 7);
  const MediaFrame frame = Pcm(pcm, 123456789);
  EXPECT_EQ(encoder->EncodeAudioFrame(&frame), 1);
  ASSERT_EQ(Samples().size(), 1u);
  EXPECT_EQ(Samples()[0].duration, c.duration);
  EXPECT_EQ(Samples()[0].time, 123456789);
  EXPECT_EQ(Samples()[0].stream, encoder->AudioStreamIndex());
  const size_t frameBytes = c.channels * (c.bitsPerSample / 8);
  EXPECT_EQ(Samples()[0].bytes, std::vector<uint8_t>(pcm.begin(), pcm.end() - pcm.size() % frameBytes))
      << "whole frames only: a partial one waits for the next block";
  EXPECT_TRUE(log.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, AudioDuration,
    ::testing::Values(DurationCase{"Frames1024At44100", 4096, 2, 16, 44100, 232199},
                      DurationCase{"Frames1152At44100", 1152 * 4, 2, 16, 44100, 261224},
                      DurationCase{"Frames1024At48000", 4096, 2, 16, 48000, 213333},
                      DurationCase{"Frames480At48000", 480 * 4, 2, 16, 48000, 100000},
                      // 69160 in double precision.
                      DurationCase{"Frames305At44100", 305 * 4, 2, 16, 44100, 69161},
                      DurationCase{"PartialFrameWaitsForTheNextBlock", 4095, 2, 16, 44100, 231972},
                      DurationCase{"TwentyFourBit", 6144, 2, 24, 44100, 232199},
                      DurationCase{"Empty", 0, 2, 16, 44100, 0}),
    [](const ::testing::TestParamInfo<DurationCase>& info) { return std::string(info.param.name); });

// PCM handed over in blocks that split frames: the samples carry the same
// byte stream in whole frames, each stamped with the time of its first
// frame (the host stamps a block with the time of its first byte).
struct SplitCase {
  const char* name;
  std::vector<int32_t> blocks;
};

class SplitPcm : public Writing, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SplitPcm, ReachesTheWriterInWholeFrames) {
  constexpr int64_t kBytesPerSecond = 44100 * 4;  // 16-bit stereo
  StreamSetup setup;
  setup.video = false;
  Open(setup);
  ASSERT_EQ(initResult, 1);
  std::vector<uint8_t> stream;
  for (const int32_t size : GetParam().blocks) {
    std::vector<uint8_t> block(static_cast<size_t>(size));
    for (uint8_t& byte : block) byte = static_cast<uint8_t>(stream.size() * 13 + (&byte - block.data()) * 13);
    const MediaFrame frame = Pcm(block, static_cast<int64_t>(stream.size()) * 10000000 / kBytesPerSecond);
    EXPECT_EQ(encoder->EncodeAudioFrame(&frame), 1) << "block at byte " << stream.size();
    stream.insert(stream.end(), block.begin(), block.end());
  }
  std::vector<uint8_t> written;
  for (const SampleRecord& sample : Samples()) {
    SCOPED_TRACE("sample at byte " + std::to_string(written.size()));
    EXPECT_EQ(sample.bytes.size() % 4, 0u);
    // An empty block stays an empty sample at the host's time.
    if (sample.bytes.empty()) continue;
    EXPECT_NEAR(static_cast<double>(sample.time),
                static_cast<double>(written.size()) * 10000000.0 / kBytesPerSecond, 2.0);
    EXPECT_NEAR(static_cast<double>(sample.duration),
                static_cast<double>(sample.bytes.size()) * 10000000.0 / kBytesPerSecond, 1.0);
    written.insert(written.end(), sample.bytes.begin(), sample.bytes.end());
  }
  EXPECT_EQ(written, std::vector<uint8_t>(stream.begin(), stream.end() - stream.size() % 4));
  EXPECT_TRUE(log.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitPcm,
    ::testing::Values(SplitCase{"Blocks4095", {4095, 4095, 4095, 4095, 4095}},
                      SplitCase{"SmallerThanAFrame", {1, 1, 1, 3, 2, 4093, 3}},
                      SplitCase{"OddSizesAndEmpty", {4097, 0, 3, 4094, 0, 5, 1}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

TEST_F(Writing, PcmAfterARefusedBlockStaysAlignedToWholeFrames) {
  StreamSetup setup;
  setup.video = false;
  Open(setup);
  ASSERT_EQ(initResult, 1);
  std::vector<uint8_t> stream(3 * 4095);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i * 13 + i / 256);
  for (int block = 0; block < 3; ++block) {
    const std::vector<uint8_t> bytes(stream.begin() + block * 4095, stream.begin() + (block + 1) * 4095);
    if (block == 1) platform.writer->refuse["WriteSample"] = E_FAIL;
    const MediaFrame frame = Pcm(bytes, block * 232143);
    EXPECT_EQ(encoder->EncodeAudioFrame(&frame), block == 1 ? 0 : 1);
    platform.writer->refuse.erase("WriteSample");
  }
  // The refused sample held bytes 4092..8187; the one after it starts with
  // the refused block's last partial frame.
  ASSERT_EQ(Samples().size(), 2u);
  EXPECT_EQ(Samples()[1].bytes, std::vector<uint8_t>(stream.begin() + 8188, stream.begin() + 12284));
}

TEST_F(Writing, AudioTimeStampsAreTheHostsAndTheFrameDurationIsNotRead) {
  StreamSetup setup;
  setup.video = false;
  Open(setup);
  ASSERT_EQ(initResult, 1);
  std::vector<uint8_t> pcm(4096, 1);
  MediaFrame frame = Pcm(pcm, 1000);
  frame.duration = KX_FINISH_REQUEST_DURATION;  // ordinary PCM for audio
  EXPECT_EQ(encoder->EncodeAudioFrame(&frame), 1);
  EXPECT_EQ(encoder->EncodeAudioFrame(&frame), 1);  // same time stamp again
  frame.pts = 90000000;                              // a gap, not filled
  EXPECT_EQ(encoder->EncodeAudioFrame(&frame), 1);
  ASSERT_EQ(Samples().size(), 3u);
  EXPECT_EQ(Samples()[0].time, 1000);
  EXPECT_EQ(Samples()[1].time, 1000);
  EXPECT_EQ(Samples()[2].time, 90000000);
  EXPECT_FALSE(encoder->Finalized());
}

// --- Video --------------------------------------------------------------------

// A strided source picture: each row of each plane followed by filler bytes
// (0xEE) that must never reach the sample.
struct StridedPicture {
  StridedPicture(UINT32 w, UINT32 h, int32_t lumaStride, int32_t uStride, int32_t vStride) {
    strides[0] = lumaStride;
    strides[1] = uStride;
    strides[2] = vStride;
    const UINT32 widths[3] = {w, w >> 1, w >> 1};
    const UINT32 heights[3] = {h, h >> 1, h >> 1};
    const uint8_t base[3] = {0x10, 0x80, 0xC0};  // Y, U, V
    for (int p = 0; p < 3; ++p) {
      planes[p].assign(static_cast<size_t>(strides[p]) * (heights[p] == 0 ? 1 : heights[p]), 0xEE);
      for (UINT32 row = 0; row < heights[p]; ++row) {
        for (UINT32 col = 0; col < widths[p]; ++col) {
          const auto value = static_cast<uint8_t>(base[p] + row * 8 + col);
          planes[p][row * static_cast<size_t>(strides[p]) + col] = value;
          packed[p].push_back(value);
        }
      }
    }
  }
  MediaFrame Frame(int64_t pts) const {
    MediaFrame frame{};
    for (int p = 0; p < 3; ++p) {
      frame.video.pData[p] = planes[p].data();
      frame.video.nStride[p] = strides[p];
    }
    frame.pts = pts;
    return frame;
  }
  std::vector<uint8_t> planes[3];
  std::vector<uint8_t> packed[3];
  int32_t strides[3];
};

struct PictureCase {
  const char* name;
  UINT32 width;
  UINT32 height;
};

class PictureLayout : public Writing, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(PictureLayout, IsYThenVThenUTightlyPacked) {
  const PictureCase& c = GetParam();
  StreamSetup setup;
  setup.audio = false;
  setup.width = c.width;
  setup.height = c.height;
  Open(setup);
  ASSERT_EQ(initResult, 1);
  const StridedPicture picture(c.width, c.height, static_cast<int32_t>(c.width) + 3,
                               static_cast<int32_t>(c.width >> 1) + 5, static_cast<int32_t>(c.width >> 1) + 1);
  const MediaFrame frame = picture.Frame(5000);
  EXPECT_EQ(encoder->EncodeVideoFrame(&frame), 1);
  ASSERT_EQ(Samples().size(), 1u);

  UINT32 imageSize = 0;
  ASSERT_SUCCEEDED(MFCalculateImageSize(MFVideoFormat_YV12, c.width, c.height, &imageSize));
  std::vector<uint8_t> expected;
  for (int p : {0, 2, 1}) expected.insert(expected.end(), picture.packed[p].begin(), picture.packed[p].end());
  ASSERT_LE(expected.size(), imageSize);
  expected.resize(imageSize, 0);  // the bytes past the planes are zero
  EXPECT_EQ(Samples()[0].bytes, expected);
  EXPECT_TRUE(log.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, PictureLayout,
                         ::testing::Values(PictureCase{"Tiny4x2", 4, 2}, PictureCase{"OddWidth5x4", 5, 4},
                                           PictureCase{"OddHeight6x3", 6, 3}, PictureCase{"Odd7x5", 7, 5},
                                           PictureCase{"Qcif176x144", 176, 144}),
                         [](const ::testing::TestParamInfo<PictureCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(Writing, EveryPictureGetsTheNominalFrameDurationAndTheHostsTime) {
  StreamSetup setup;
  setup.audio = false;
  setup.width = 4;
  setup.height = 2;
  Open(setup);
  ASSERT_EQ(initResult, 1);
  const StridedPicture picture(4, 2, 4, 2, 2);
  MediaFrame frame = picture.Frame(0);
  frame.duration = -1;  // any duration but the finish request is a picture
  EXPECT_EQ(encoder->EncodeVideoFrame(&frame), 1);
  frame.duration = 0;
  EXPECT_EQ(encoder->EncodeVideoFrame(&frame), 1);
  frame.pts = 7777777;
  EXPECT_EQ(encoder->EncodeVideoFrame(&frame), 1);
  ASSERT_EQ(Samples().size(), 3u);
  EXPECT_EQ(Samples()[0].time, 0);
  EXPECT_EQ(Samples()[1].time, 0);
  EXPECT_EQ(Samples()[2].time, 7777777);
  for (const SampleRecord& sample : Samples()) {
    EXPECT_EQ(sample.duration, 400000);
    EXPECT_EQ(sample.stream, encoder->VideoStreamIndex());
  }
}

TEST_F(Writing, ARateWithoutAFrameDurationGivesDuration0) {
  // 0.3 frames per second rounds to 0/1, which has no time per frame.
  StreamSetup setup;
  setup.audio = false;
  setup.width = 4;
  setup.height = 2;
  setup.frameRate = 0.3;
  Open(setup);
  ASSERT_EQ(initResult, 1);
  const StridedPicture picture(4, 2, 4, 2, 2);
  const MediaFrame frame = picture.Frame(3000000);
  EXPECT_EQ(encoder->EncodeVideoFrame(&frame), 1);
  ASSERT_EQ(Samples().size(), 1u);
  EXPECT_EQ(Samples()[0].duration, 0);
  EXPECT_EQ(Samples()[0].time, 3000000);
}

TEST_F(Writing, RefusedWriteIsLoggedAndAnswered0) {
  StreamSetup setup;
  Open(setup);
  ASSERT_EQ(initResult, 1);
  log.Clear();
  platform.writer->refuse["WriteSample"] = MF_E_INVALIDSTREAMNUMBER;
  const StridedPicture picture(320, 240, 320, 160, 160);
  const MediaFrame video = picture.Frame(0);
  std::vector<uint8_t> pcm(4096, 0);
  const MediaFrame audio = Pcm(pcm, 0);
  EXPECT_EQ(encoder->EncodeVideoFrame(&video), 0);
  EXPECT_EQ(encoder->EncodeAudioFrame(&audio), 0);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{
                FailureLine("error", "mfsinkwriter->WriteSample(videoStreamIndex, sample)", MF_E_INVALIDSTREAMNUMBER),
                FailureLine("error", "mfsinkwriter->WriteSample(audioStreamIndex, sample)",
                            MF_E_INVALIDSTREAMNUMBER)}));
  platform.writer->refuse.clear();
}

TEST_F(Writing, StreamsAFileDoesNotHaveTakeNothing) {
  StreamSetup videoOnly;
  videoOnly.audio = false;
  Open(videoOnly);
  ASSERT_EQ(initResult, 1);
  // Nothing is read from the frame.
  EXPECT_EQ(encoder->EncodeAudioFrame(nullptr), 0);
  EXPECT_TRUE(Samples().empty());
  EXPECT_TRUE(log.Lines().empty());
}

// --- Frames refused before anything is written -------------------------------

struct RefusedCase {
  const char* name;
  StreamSetup setup;
  bool video;  // a video frame, else an audio frame
  int nullPlane;  // video: plane set to null, -1 none
  int32_t audioBytes;
  bool nullAudioData;
  const char* line;
};

StreamSetup AudioFormat(UINT32 channels, UINT32 bitsPerSample, UINT32 sampleRate) {
  StreamSetup setup;
  setup.video = false;
  setup.channels = channels;
  setup.bitsPerSample = bitsPerSample;
  setup.sampleRate = sampleRate;
  return setup;
}

class RefusedFrame : public Writing, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedFrame, WritesNothingAndSaysWhy) {
  const RefusedCase& c = GetParam();
  // Whether the platform accepts such a stream or not, the encoder has a
  // writer, and the frame must be refused before it reaches it.
  Open(c.setup);
  log.Clear();
  const size_t callsBefore = platform.writer->calls.size();
  int result = -1;
  std::vector<uint8_t> pcm(4096, 0);
  if (c.video) {
    const StridedPicture picture(c.setup.width, c.setup.height, static_cast<int32_t>(c.setup.width),
                                 static_cast<int32_t>(c.setup.width / 2), static_cast<int32_t>(c.setup.width / 2));
    MediaFrame frame = picture.Frame(0);
    if (c.nullPlane >= 0) frame.video.pData[c.nullPlane] = nullptr;
    result = encoder->EncodeVideoFrame(&frame);
  } else {
    MediaFrame frame = Pcm(pcm, 0);
    frame.audio.nBytes = c.audioBytes;
    if (c.nullAudioData) frame.audio.pData = nullptr;
    result = encoder->EncodeAudioFrame(&frame);
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(platform.writer->calls.size(), callsBefore) << "the writer is not called";
  EXPECT_EQ(log.Lines(), std::vector<std::string>{std::string("kx_Traxel error [Media Foundation ]: ") + c.line + "\n"});
}

StreamSetup VideoOnly() {
  StreamSetup setup;
  setup.audio = false;
  return setup;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedFrame,
    ::testing::Values(
        RefusedCase{"NullLuma", VideoOnly(), true, 0, 0, false,
                    "EncodeVideoFrame: plane 0 of the picture is null, nothing written"},
        RefusedCase{"NullU", VideoOnly(), true, 1, 0, false,
                    "EncodeVideoFrame: plane 1 of the picture is null, nothing written"},
        RefusedCase{"NullV", VideoOnly(), true, 2, 0, false,
                    "EncodeVideoFrame: plane 2 of the picture is null, nothing written"},
        RefusedCase{"NegativeByteCount", AudioFormat(2, 16, 44100), false, -1, -4, false,
                    "EncodeAudioFrame: negative byte count -4, nothing written"},
        RefusedCase{"NullPcm", AudioFormat(2, 16, 44100), false, -1, 4096, true,
                    "EncodeAudioFrame: no PCM data for 4096 bytes, nothing written"},
        RefusedCase{"ZeroChannels", AudioFormat(0, 16, 44100), false, -1, 4096, false,
                    "EncodeAudioFrame: no duration for 0 channels of 16 bits at 44100 Hz, nothing written"},
        RefusedCase{"FewerThan8Bits", AudioFormat(2, 7, 44100), false, -1, 4096, false,
                    "EncodeAudioFrame: no duration for 2 channels of 7 bits at 44100 Hz, nothing written"},
        RefusedCase{"ZeroSampleRate", AudioFormat(2, 16, 0), false, -1, 4096, false,
                    "EncodeAudioFrame: no duration for 2 channels of 16 bits at 0 Hz, nothing written"}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

TEST_F(Writing, NullPcmWithNoBytesIsAnEmptySample) {
  StreamSetup setup;
  setup.video = false;
  Open(setup);
  ASSERT_EQ(initResult, 1);
  MediaFrame frame{};
  frame.audio.pData = nullptr;
  frame.audio.nBytes = 0;
  EXPECT_EQ(encoder->EncodeAudioFrame(&frame), 1);
  ASSERT_EQ(Samples().size(), 1u);
  EXPECT_TRUE(Samples()[0].bytes.empty());
  EXPECT_EQ(Samples()[0].duration, 0);
}

TEST_F(Writing, FramesAfterAFailedOpenAreRefused) {
  platform.createResult = E_ACCESSDENIED;
  Open(StreamSetup{});
  ASSERT_EQ(initResult, 0);
  log.Clear();
  const StridedPicture picture(320, 240, 320, 160, 160);
  const MediaFrame video = picture.Frame(0);
  std::vector<uint8_t> pcm(16, 0);
  const MediaFrame audio = Pcm(pcm, 0);
  EXPECT_EQ(encoder->EncodeVideoFrame(&video), 0);
  EXPECT_EQ(encoder->EncodeAudioFrame(&audio), 0);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{
                "kx_Traxel error [Media Foundation ]: EncodeVideoFrame: the file is not open, nothing written\n",
                "kx_Traxel error [Media Foundation ]: EncodeAudioFrame: the file is not open, nothing written\n"}));
}

}  // namespace
}  // namespace sinkwriter_test
