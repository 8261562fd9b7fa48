// Media types of the two streams: the frame-rate ratio, the attributes of
// the video output and input types, the choice of the audio output type from
// an encoder family's list, and the PCM input type.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "fakes.h"

namespace sinkwriter_test {
namespace {

// --- Frame rate ---------------------------------------------------------------

struct FrameRateCase {
  double rate;
  UINT32 num;
  UINT32 den;
};

class FrameRate : public ::testing::TestWithParam<FrameRateCase> {};

TEST_P(FrameRate, BecomesTheExpectedRatio) {
  const FrameRateCase& c = GetParam();
  const SinkWriterEncoder::FrameRatio ratio = SinkWriterEncoder::FrameRateToRatio(c.rate);
  EXPECT_EQ(ratio.num, c.num) << c.rate;
  EXPECT_EQ(ratio.den, c.den) << c.rate;
}

INSTANTIATE_TEST_SUITE_P(Table, FrameRate,
                         ::testing::Values(FrameRateCase{25.0, 25, 1}, FrameRateCase{29.97, 30000, 1001},
                                           FrameRateCase{29.97002997, 30000, 1001},
                                           FrameRateCase{23.976, 24000, 1001}, FrameRateCase{23.98, 24, 1},
                                           FrameRateCase{59.94, 60000, 1001}, FrameRateCase{30.005, 30, 1},
                                           FrameRateCase{14.985, 15, 1}, FrameRateCase{12.5, 13, 1},
                                           FrameRateCase{0.3, 0, 1},
                                           // Rates without a 32-bit ratio.
                                           FrameRateCase{std::numeric_limits<double>::quiet_NaN(), 0, 1},
                                           FrameRateCase{std::numeric_limits<double>::infinity(), 0, 1},
                                           FrameRateCase{1e12, 0, 1}));

// --- Video types --------------------------------------------------------------

UINT64 Packed(UINT32 high, UINT32 low) { return (UINT64{high} << 32) | low; }

struct VideoSubtypeCase {
  uint32_t fourcc;
  const GUID* subtype;  // null: no subtype is set
};

class VideoTypes : public ::testing::TestWithParam<VideoSubtypeCase> {};

TEST_P(VideoTypes, CarryExactlyTheAttributesOfTheHostRecord) {
  const VideoSubtypeCase& c = GetParam();
  FakePlatform platform;
  LogCapture log;
  StreamSetup setup;
  setup.audio = false;
  setup.videoFourCC = c.fourcc;
  setup.width = 720;
  setup.height = 480;
  setup.frameRate = 29.97;
  setup.videoBitrate = 2500000;
  SinkWriterEncoder encoder(MakeParams(setup), platform.EntryPoints());
  ASSERT_EQ(encoder.Init(Wide("video.wmv").c_str()), 1);
  EXPECT_EQ(encoder.FrameRate().num, 30000u);
  EXPECT_EQ(encoder.FrameRate().den, 1001u);

  ASSERT_EQ(platform.writer->outputTypes.size(), 1u);
  IMFMediaType* output = platform.writer->outputTypes[0].Get();
  UINT32 count = 0;
  ASSERT_SUCCEEDED(output->GetCount(&count));
  EXPECT_EQ(count, c.subtype != nullptr ? 7u : 6u);
  GUID guid{};
  ASSERT_SUCCEEDED(output->GetGUID(MF_MT_MAJOR_TYPE, &guid));
  EXPECT_TRUE(IsEqualGUID(guid, MFMediaType_Video));
  if (c.subtype != nullptr) {
    ASSERT_SUCCEEDED(output->GetGUID(MF_MT_SUBTYPE, &guid));
    EXPECT_TRUE(IsEqualGUID(guid, *c.subtype));
  } else {
    EXPECT_FAILED(output->GetGUID(MF_MT_SUBTYPE, &guid));
  }
  UINT32 value = 0;
  UINT64 pair = 0;
  ASSERT_SUCCEEDED(output->GetUINT32(MF_MT_AVG_BITRATE, &value));
  EXPECT_EQ(value, 2500000u);
  ASSERT_SUCCEEDED(output->GetUINT32(MF_MT_INTERLACE_MODE, &value));
  EXPECT_EQ(value, 2u);
  ASSERT_SUCCEEDED(output->GetUINT64(MF_MT_FRAME_SIZE, &pair));
  EXPECT_EQ(pair, Packed(720, 480));
  ASSERT_SUCCEEDED(output->GetUINT64(MF_MT_FRAME_RATE, &pair));
  EXPECT_EQ(pair, Packed(30000, 1001));
  ASSERT_SUCCEEDED(output->GetUINT64(MF_MT_PIXEL_ASPECT_RATIO, &pair));
  EXPECT_EQ(pair, Packed(1, 1));

  IMFMediaType* input = platform.writer->inputTypes[0].Get();
  ASSERT_NE(input, nullptr);
  ASSERT_SUCCEEDED(input->GetCount(&count));
  EXPECT_EQ(count, 6u);
  ASSERT_SUCCEEDED(input->GetGUID(MF_MT_MAJOR_TYPE, &guid));
  EXPECT_TRUE(IsEqualGUID(guid, MFMediaType_Video));
  ASSERT_SUCCEEDED(input->GetGUID(MF_MT_SUBTYPE, &guid));
  EXPECT_TRUE(IsEqualGUID(guid, MFVideoFormat_YV12));
  ASSERT_SUCCEEDED(input->GetUINT32(MF_MT_INTERLACE_MODE, &value));
  EXPECT_EQ(value, 2u);
  ASSERT_SUCCEEDED(input->GetUINT64(MF_MT_FRAME_SIZE, &pair));
  EXPECT_EQ(pair, Packed(720, 480));
  ASSERT_SUCCEEDED(input->GetUINT64(MF_MT_FRAME_RATE, &pair));
  EXPECT_EQ(pair, Packed(30000, 1001));
  ASSERT_SUCCEEDED(input->GetUINT64(MF_MT_PIXEL_ASPECT_RATIO, &pair));
  EXPECT_EQ(pair, Packed(1, 1));
  EXPECT_TRUE(log.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    ByFourCC, VideoTypes,
    ::testing::Values(VideoSubtypeCase{KX_FOURCC('W', 'M', 'V', '1'), &MFVideoFormat_WMV1},
                      VideoSubtypeCase{KX_FOURCC('W', 'M', 'V', '2'), &MFVideoFormat_WMV2},
                      VideoSubtypeCase{KX_FOURCC('W', 'M', 'V', '3'), &MFVideoFormat_WMV3},
                      // The VC-1 row, not HEVC.
                      VideoSubtypeCase{KX_FOURCC('H', 'V', 'C', '1'), &MFVideoFormat_WVC1},
                      VideoSubtypeCase{KX_FOURCC('W', '2', '6', '4'), &MFVideoFormat_H264},
                      VideoSubtypeCase{KX_FOURCC('W', '2', '6', '5'), &MFVideoFormat_HEVC},
                      VideoSubtypeCase{KX_FOURCC('X', 'V', 'I', 'D'), nullptr}));

// --- Audio output type choice -----------------------------------------------

// A candidate that matches the requested 2 x 16 bit at 44100 Hz, with the
// given byte rate.
AudioCandidate Matching(UINT32 avgBytesPerSec) { return {2, 44100, 16, avgBytesPerSec}; }

struct ChoiceCase {
  const char* name;
  std::vector<AudioCandidate> candidates;
  UINT32 requestedBitrate;
  int chosen;  // index into candidates; -1: the operation fails
  const char* failureText;
};

class AudioChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(AudioChoice, FollowsTheOrderOfPreference) {
  const ChoiceCase& c = GetParam();
  FakePlatform platform;
  LogCapture log;
  for (const AudioCandidate& candidate : c.candidates) {
    platform.audioTypes.push_back(MakeAudioType(MFAudioFormat_WMAudioV8, candidate));
  }
  StreamSetup setup;
  setup.video = false;
  setup.audioBitrate = c.requestedBitrate;
  SinkWriterEncoder encoder(MakeParams(setup), platform.EntryPoints());
  if (c.chosen < 0) {
    EXPECT_EQ(encoder.Init(Wide("audio.wma").c_str()), 0);
    EXPECT_TRUE(platform.writer->outputTypes.empty()) << "no audio stream is added";
    const std::vector<std::string> lines = log.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], FailureLine("error", c.failureText, E_FAIL));
    EXPECT_EQ(lines[1], FailureLine("error", "CreateAudioMediaType()", E_FAIL));
    return;
  }
  ASSERT_EQ(encoder.Init(Wide("audio.wma").c_str()), 1);
  ASSERT_EQ(platform.writer->outputTypes.size(), 1u);
  // The platform's own type object, unchanged.
  IUnknown* chosen = platform.audioTypes[static_cast<size_t>(c.chosen)].Get();
  EXPECT_EQ(static_cast<IUnknown*>(platform.writer->outputTypes[0].Get()), chosen);
  EXPECT_TRUE(log.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rule, AudioChoice,
    ::testing::Values(
        ChoiceCase{"ExactBitrateFirstInCollectionOrder", {Matching(12000), Matching(16000), Matching(16000)}, 128000,
                   1, nullptr},
        ChoiceCase{"RoundsHalfUp15500", {Matching(12000), Matching(15500)}, 128000, 1, nullptr},
        ChoiceCase{"RoundsDown16499", {Matching(12000), Matching(16499)}, 128000, 1, nullptr},
        ChoiceCase{"RoundsUp16500", {Matching(16000), Matching(16500)}, 136000, 1, nullptr},
        ChoiceCase{"16500IsNot128000", {Matching(12000), Matching(16500)}, 128000, 0, nullptr},
        ChoiceCase{"12000Is96000", {Matching(16000), Matching(12000)}, 96000, 1, nullptr},
        ChoiceCase{"NotAMultipleOf8000TakesFirstFormatMatch", {Matching(12000), Matching(16000)}, 128001, 0, nullptr},
        ChoiceCase{"BelowAMultipleOf8000TakesFirstFormatMatch", {Matching(12000), Matching(16000)}, 127999, 0,
                   nullptr},
        ChoiceCase{"EarliestFormatMatchEvenWhenALaterOneIsCloser",
                   {{1, 44100, 16, 16000}, Matching(8000), Matching(15000)}, 128000, 1, nullptr},
        ChoiceCase{"FormatMustMatchExactly",
                   {{1, 44100, 16, 16000}, {2, 48000, 16, 16000}, {2, 44100, 24, 16000}}, 128000, -1, "E_FAIL"},
        ChoiceCase{"EmptyList", {}, 128000, -1, "(num <= 0 ? E_FAIL:S_OK)"}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.name); });

TEST(AudioChoiceList, IsAskedForTheEncoderFamilyOfTheFourCC) {
  struct Family {
    uint32_t fourcc;
    const GUID* subtype;
  };
  const Family families[] = {{KX_FOURCC('W', 'M', 'A', '8'), &MFAudioFormat_WMAudioV8},
                             {KX_FOURCC('W', 'M', 'A', '9'), &MFAudioFormat_WMAudioV9},
                             {KX_FOURCC('W', 'A', 'A', 'C'), &MFAudioFormat_AAC},
                             {KX_FOURCC('M', 'P', '3', ' '), &GUID_NULL}};
  for (const Family& family : families) {
    FakePlatform platform;
    LogCapture log;
    platform.audioTypes.push_back(MakeAudioType(MFAudioFormat_WMAudioV8, Matching(16000)));
    StreamSetup setup;
    setup.video = false;
    setup.audioFourCC = family.fourcc;
    SinkWriterEncoder encoder(MakeParams(setup), platform.EntryPoints());
    EXPECT_EQ(encoder.Init(Wide("audio.wma").c_str()), 1);
    EXPECT_EQ(platform.listCalls, 1);
    EXPECT_TRUE(IsEqualGUID(platform.listedSubtype, *family.subtype)) << std::hex << family.fourcc;
    EXPECT_EQ(platform.listedFlags, 0x3Fu);
    EXPECT_FALSE(platform.listedWithAttributes);
  }
}

TEST(AudioChoiceList, RefusedListingFailsWithItsLine) {
  FakePlatform platform;
  LogCapture log;
  platform.listResult = MF_E_TOPO_CODEC_NOT_FOUND;
  StreamSetup setup;
  setup.video = false;
  SinkWriterEncoder encoder(MakeParams(setup), platform.EntryPoints());
  EXPECT_EQ(encoder.Init(Wide("audio.wma").c_str()), 0);
  const std::vector<std::string> lines = log.Lines();
  ASSERT_GE(lines.size(), 1u);
  EXPECT_EQ(lines[0], FailureLine("error",
                                  "MFTranscodeGetAudioOutputAvailableTypes(audiooutputguid, MFT_ENUM_FLAG_ALL, NULL, "
                                  "&collction)",
                                  MF_E_TOPO_CODEC_NOT_FOUND));
}

TEST(AudioChoiceList, ElementsThatAreNoMediaTypeAreSkipped) {
  FakePlatform platform;
  LogCapture log;
  kx::ComPtr<IUnknown> stranger;
  stranger.Attach(new NotAMediaType());
  platform.audioTypes.push_back(stranger);
  platform.audioTypes.push_back(kx::ComPtr<IUnknown>());  // the collection fails to give it out
  platform.audioTypes.push_back(MakeAudioType(MFAudioFormat_WMAudioV8, Matching(16000)));
  StreamSetup setup;
  setup.video = false;
  SinkWriterEncoder encoder(MakeParams(setup), platform.EntryPoints());
  ASSERT_EQ(encoder.Init(Wide("audio.wma").c_str()), 1);
  EXPECT_EQ(static_cast<IUnknown*>(platform.writer->outputTypes[0].Get()), platform.audioTypes[2].Get());
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{
                FailureLine("info", "element->QueryInterface(IID_IMFMediaType, &outputMediatype)", E_NOINTERFACE),
                FailureLine("info", "collction->GetElement(i, &element)", E_UNEXPECTED)}));
}

TEST(AudioChoiceList, RefusedConversionEndsTheChoice) {
  FakePlatform platform;
  LogCapture log;
  platform.audioTypes.push_back(MakeAudioType(MFAudioFormat_WMAudioV8, {1, 8000, 16, 1000}));
  platform.audioTypes.push_back(MakeAudioType(MFAudioFormat_WMAudioV8, Matching(16000)));
  platform.audioTypes.push_back(MakeAudioType(MFAudioFormat_WMAudioV8, Matching(16000)));
  platform.conversionFailsAt = 1;
  StreamSetup setup;
  setup.video = false;
  SinkWriterEncoder encoder(MakeParams(setup), platform.EntryPoints());
  EXPECT_EQ(encoder.Init(Wide("audio.wma").c_str()), 0);
  EXPECT_EQ(platform.conversions, 2) << "later candidates are not tried";
  EXPECT_TRUE(platform.writer->outputTypes.empty());
  const std::vector<std::string> lines = log.Lines();
  ASSERT_GE(lines.size(), 1u);
  EXPECT_EQ(lines[0], FailureLine("error",
                                  "MFInitAMMediaTypeFromMFMediaType(outputMediatype, WMFORMAT_WaveFormatEx, "
                                  "(AM_MEDIA_TYPE*)&mtout)",
                                  MF_E_INVALIDMEDIATYPE));
}

TEST(AudioChoiceList, FormatBlocksTooShortToReadNeverMatch) {
  for (UINT32 bytes : {0u, 8u, 15u}) {
    FakePlatform platform;
    LogCapture log;
    platform.formatBlockBytes = bytes;
    platform.audioTypes.push_back(MakeAudioType(MFAudioFormat_WMAudioV8, Matching(16000)));
    StreamSetup setup;
    setup.video = false;
    SinkWriterEncoder encoder(MakeParams(setup), platform.EntryPoints());
    EXPECT_EQ(encoder.Init(Wide("audio.wma").c_str()), 0) << bytes;
    ASSERT_FALSE(log.Lines().empty());
    EXPECT_EQ(log.Lines()[0], FailureLine("error", "E_FAIL", E_FAIL)) << bytes;
  }
}

// --- Audio input type ---------------------------------------------------------

struct PcmCase {
  UINT32 channels;
  UINT32 bitsPerSample;
  UINT32 sampleRate;
  UINT32 blockAlign;
  UINT32 avgBytesPerSec;
};

class PcmInput : public ::testing::TestWithParam<PcmCase> {};

TEST_P(PcmInput, DescribesTheHostPcm) {
  const PcmCase& c = GetParam();
  FakePlatform platform;
  LogCapture log;
  platform.audioTypes.push_back(
      MakeAudioType(MFAudioFormat_WMAudioV8, {c.channels, c.sampleRate, c.bitsPerSample, 16000}));
  StreamSetup setup;
  setup.video = false;
  setup.channels = c.channels;
  setup.bitsPerSample = c.bitsPerSample;
  setup.sampleRate = c.sampleRate;
  SinkWriterEncoder encoder(MakeParams(setup), platform.EntryPoints());
  ASSERT_EQ(encoder.Init(Wide("audio.wma").c_str()), 1);
  IMFMediaType* input = platform.writer->inputTypes[0].Get();
  ASSERT_NE(input, nullptr);
  UINT32 count = 0;
  ASSERT_SUCCEEDED(input->GetCount(&count));
  EXPECT_EQ(count, 8u);
  GUID guid{};
  ASSERT_SUCCEEDED(input->GetGUID(MF_MT_MAJOR_TYPE, &guid));
  EXPECT_TRUE(IsEqualGUID(guid, MFMediaType_Audio));
  ASSERT_SUCCEEDED(input->GetGUID(MF_MT_SUBTYPE, &guid));
  EXPECT_TRUE(IsEqualGUID(guid, MFAudioFormat_PCM));
  const struct {
    const GUID* key;
    UINT32 expected;
    const char* name;
  } values[] = {{&MF_MT_AUDIO_BITS_PER_SAMPLE, c.bitsPerSample, "bits"},
                {&MF_MT_AUDIO_SAMPLES_PER_SECOND, c.sampleRate, "rate"},
                {&MF_MT_AUDIO_NUM_CHANNELS, c.channels, "channels"},
                {&MF_MT_AUDIO_BLOCK_ALIGNMENT, c.blockAlign, "block alignment"},
                {&MF_MT_AUDIO_AVG_BYTES_PER_SECOND, c.avgBytesPerSec, "byte rate"},
                {&MF_MT_ALL_SAMPLES_INDEPENDENT, 1, "independent"}};
  for (const auto& v : values) {
    UINT32 value = 0;
    ASSERT_SUCCEEDED(input->GetUINT32(*v.key, &value)) << v.name;
    EXPECT_EQ(value, v.expected) << v.name;
  }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, PcmInput,
                         ::testing::Values(PcmCase{2, 16, 44100, 4, 176400}, PcmCase{1, 8, 44100, 1, 44100},
                                           PcmCase{1, 12, 48000, 1, 48000}, PcmCase{2, 12, 48000, 3, 144000},
                                           PcmCase{2, 24, 48000, 6, 288000}));

}  // namespace
}  // namespace sinkwriter_test
