// Every container/codec pair the layer can write, read back with libavformat
// and decoded in full: codecs, sizes, rates, counts, time stamps, content.
#include <gtest/gtest.h>

#include <cmath>

#include "media_probe.h"
#include "writer_helpers.h"

using kx::ComPtr;

namespace sinkwriter_test {
namespace {

struct RoundTripCase {
  const char* name;
  const char* extension;
  const GUID* videoSubtype;  // null: no video stream
  AVCodecID videoCodec;
  const GUID* audioSubtype;  // null: no audio stream
  AVCodecID audioCodec;
};

const RoundTripCase kRoundTripCases[] = {
    {"asf_wmv1_wma", ".wmv", &MFVideoFormat_WMV1, AV_CODEC_ID_WMV1, &MFAudioFormat_WMAudioV8, AV_CODEC_ID_WMAV2},
    {"asf_wmv2_wma", ".wmv", &MFVideoFormat_WMV2, AV_CODEC_ID_WMV2, &MFAudioFormat_WMAudioV8, AV_CODEC_ID_WMAV2},
    {"asf_h264_wma", ".wmv", &MFVideoFormat_H264, AV_CODEC_ID_H264, &MFAudioFormat_WMAudioV8, AV_CODEC_ID_WMAV2},
    {"asf_wmv1_aac", ".asf", &MFVideoFormat_WMV1, AV_CODEC_ID_WMV1, &MFAudioFormat_AAC, AV_CODEC_ID_AAC},
    {"asf_wmv2_aac", ".asf", &MFVideoFormat_WMV2, AV_CODEC_ID_WMV2, &MFAudioFormat_AAC, AV_CODEC_ID_AAC},
    {"asf_h264_aac", ".WMV", &MFVideoFormat_H264, AV_CODEC_ID_H264, &MFAudioFormat_AAC, AV_CODEC_ID_AAC},
    {"asf_wmv2_only", ".wmv", &MFVideoFormat_WMV2, AV_CODEC_ID_WMV2, nullptr, AV_CODEC_ID_NONE},
    {"asf_wma_only", ".wma", nullptr, AV_CODEC_ID_NONE, &MFAudioFormat_WMAudioV8, AV_CODEC_ID_WMAV2},
    {"mp4_h264_aac", ".mp4", &MFVideoFormat_H264, AV_CODEC_ID_H264, &MFAudioFormat_AAC, AV_CODEC_ID_AAC},
    {"mp4_hevc_aac", ".mp4", &MFVideoFormat_HEVC, AV_CODEC_ID_HEVC, &MFAudioFormat_AAC, AV_CODEC_ID_AAC},
    {"mp4_h264_only", ".m4v", &MFVideoFormat_H264, AV_CODEC_ID_H264, nullptr, AV_CODEC_ID_NONE},
    {"mp4_aac_only", ".M4A", nullptr, AV_CODEC_ID_NONE, &MFAudioFormat_AAC, AV_CODEC_ID_AAC},
};

// The encoders' frame sizes and the AAC encoder's priming samples, which
// the container keeps as packets.
int AudioFrameSize(AVCodecID codec) { return codec == AV_CODEC_ID_AAC ? 1024 : 2048; }
int AudioPriming(AVCodecID codec) { return codec == AV_CODEC_ID_AAC ? 1024 : 0; }

class RoundTrip : public MfTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(RoundTrip, WritesWhatWasGiven) {
  const RoundTripCase& c = GetParam();
  const std::string path = TempPath(std::string("clip") + c.extension);
  VideoSpec video;
  AudioSpec audio;
  if (c.videoSubtype) video.subtype = *c.videoSubtype;
  if (c.audioSubtype) audio.subtype = *c.audioSubtype;
  constexpr int kFrames = 30;          // one second at 30 fps
  constexpr int64_t kPcmFrames = 44100;  // one second

  ComPtr<IMFSinkWriter> writer;
  DWORD videoIndex = 0, audioIndex = 0;
  ASSERT_EQ(OpenWriter(path, c.videoSubtype ? &video : nullptr, c.audioSubtype ? &audio : nullptr, nullptr, &writer,
                       &videoIndex, &audioIndex),
            S_OK)
      << c.name;
  if (c.videoSubtype && c.audioSubtype) {
    EXPECT_EQ(videoIndex, 0u) << c.name;
    EXPECT_EQ(audioIndex, 1u) << c.name;
  }
  ASSERT_EQ(WriteClip(writer.Get(), videoIndex, video, kFrames, audioIndex, audio, kPcmFrames), S_OK) << c.name;
  ASSERT_EQ(writer->Finalize(), S_OK) << c.name;
  writer = nullptr;

  const kx::test::FileReport file = kx::test::ReadMediaFile(path);
  ASSERT_TRUE(file.opened) << c.name;
  const bool asf = file.containerName == "asf";
  EXPECT_EQ(asf, std::string(c.extension) != ".mp4" && std::string(c.extension) != ".m4v" &&
                     std::string(c.extension) != ".M4A")
      << c.name << ": container " << file.containerName;
  EXPECT_EQ(file.streams.size(), size_t(c.videoSubtype ? 1 : 0) + size_t(c.audioSubtype ? 1 : 0)) << c.name;
  // ASF keeps times in milliseconds and its reader offsets streams by up to
  // one audio block; MPEG-4 keeps them exactly.
  const double tolerance = asf ? 0.1 : 0.002;
  EXPECT_NEAR(file.durationSeconds, 1.0, asf ? 0.15 : 0.05) << c.name;

  if (c.videoSubtype) {
    const kx::test::StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr) << c.name;
    EXPECT_EQ(v->codec, c.videoCodec) << c.name;
    EXPECT_EQ(v->width, 160) << c.name;
    EXPECT_EQ(v->height, 120) << c.name;
    EXPECT_EQ(v->packets, kFrames) << c.name;
    EXPECT_EQ(v->decodedFrames, kFrames) << c.name;
    EXPECT_EQ(v->decodeErrors, 0) << c.name;
    EXPECT_NEAR(v->firstPts, 0.0, tolerance) << c.name;
    EXPECT_NEAR(v->lastPts, (kFrames - 1) / 30.0, tolerance) << c.name;
    // YV12 holds V before U: swapped planes would show here.
    EXPECT_NEAR(v->meanU, video.u, 6) << c.name;
    EXPECT_NEAR(v->meanV, video.v, 6) << c.name;
  }
  if (c.audioSubtype) {
    const kx::test::StreamReport* a = file.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(a, nullptr) << c.name;
    EXPECT_EQ(a->codec, c.audioCodec) << c.name;
    EXPECT_EQ(a->sampleRate, 44100) << c.name;
    EXPECT_EQ(a->channels, 2) << c.name;
    EXPECT_EQ(a->decodeErrors, 0) << c.name;
    // Every PCM frame written is in the file: the last packet is the only
    // one that may be partly padding.
    const int frameSize = AudioFrameSize(c.audioCodec);
    const int64_t expectedPackets = (kPcmFrames + AudioPriming(c.audioCodec) + frameSize - 1) / frameSize;
    EXPECT_EQ(a->packets, expectedPackets) << c.name;
    // MPEG-4 keeps the encoder's priming samples in a first packet stamped
    // before zero, which players skip; the sound itself starts at zero.
    const double priming = asf ? 0.0 : AudioPriming(c.audioCodec) / 44100.0;
    EXPECT_NEAR(a->firstPts + priming, 0.0, tolerance) << c.name;
    // A 440 Hz sine at half scale: RMS 0.354.
    EXPECT_NEAR(a->audioRms, 0.5 / std::sqrt(2.0), 0.05) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Pairs, RoundTrip, ::testing::ValuesIn(kRoundTripCases),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

// Each PCM layout reaches the encoder as the same sound.
struct PcmCase {
  const char* name;
  const GUID* subtype;
  UINT32 bits;
  const char* extension;
  const GUID* encoder;
};
const PcmCase kPcmCases[] = {
    {"u8_aac", &MFAudioFormat_PCM, 8, ".m4a", &MFAudioFormat_AAC},
    {"s16_aac", &MFAudioFormat_PCM, 16, ".m4a", &MFAudioFormat_AAC},
    {"s24_aac", &MFAudioFormat_PCM, 24, ".m4a", &MFAudioFormat_AAC},
    {"s32_aac", &MFAudioFormat_PCM, 32, ".m4a", &MFAudioFormat_AAC},
    {"float_aac", &MFAudioFormat_Float, 32, ".m4a", &MFAudioFormat_AAC},
    {"s24_wma", &MFAudioFormat_PCM, 24, ".wma", &MFAudioFormat_WMAudioV8},
    {"u8_wma", &MFAudioFormat_PCM, 8, ".wma", &MFAudioFormat_WMAudioV8},
};

class PcmInput : public MfTest, public ::testing::WithParamInterface<PcmCase> {};

TEST_P(PcmInput, ArrivesAsTheSameSound) {
  const PcmCase& c = GetParam();
  const std::string path = TempPath(std::string("pcm") + c.extension);
  AudioSpec audio;
  audio.subtype = *c.encoder;
  audio.inputSubtype = *c.subtype;
  audio.bitsPerSample = c.bits;
  ComPtr<IMFSinkWriter> writer;
  DWORD videoIndex = 0, audioIndex = 0;
  ASSERT_EQ(OpenWriter(path, nullptr, &audio, nullptr, &writer, &videoIndex, &audioIndex), S_OK) << c.name;
  ASSERT_EQ(WriteClip(writer.Get(), kNoStream, VideoSpec(), 0, audioIndex, audio, 22050, 1000), S_OK) << c.name;
  ASSERT_EQ(writer->Finalize(), S_OK) << c.name;
  writer = nullptr;
  const kx::test::FileReport file = kx::test::ReadMediaFile(path);
  ASSERT_TRUE(file.opened) << c.name;
  const kx::test::StreamReport* a = file.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(a, nullptr) << c.name;
  EXPECT_EQ(a->decodeErrors, 0) << c.name;
  EXPECT_NEAR(a->audioRms, 0.5 / std::sqrt(2.0), 0.05) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Layouts, PcmInput, ::testing::ValuesIn(kPcmCases),
                         [](const ::testing::TestParamInfo<PcmCase>& info) { return info.param.name; });

// Each picture layout reaches the encoder with its planes in place.
struct PictureCase {
  const char* name;
  const GUID* subtype;
};
const PictureCase kPictureCases[] = {
    {"yv12", &MFVideoFormat_YV12},
    {"i420", &MFVideoFormat_I420},
    {"iyuv", &MFVideoFormat_IYUV},
    {"nv12", &MFVideoFormat_NV12},
};

class PictureInput : public MfTest, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(PictureInput, KeepsItsColours) {
  const PictureCase& c = GetParam();
  const std::string path = TempPath("picture.mp4");
  VideoSpec video;
  video.inputSubtype = *c.subtype;
  video.u = 90;
  video.v = 170;
  ComPtr<IMFSinkWriter> writer;
  DWORD videoIndex = 0, audioIndex = 0;
  ASSERT_EQ(OpenWriter(path, &video, nullptr, nullptr, &writer, &videoIndex, &audioIndex), S_OK) << c.name;
  ASSERT_EQ(WriteClip(writer.Get(), videoIndex, video, 5, kNoStream, AudioSpec(), 0), S_OK) << c.name;
  ASSERT_EQ(writer->Finalize(), S_OK) << c.name;
  writer = nullptr;
  const kx::test::FileReport file = kx::test::ReadMediaFile(path);
  const kx::test::StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr) << c.name;
  EXPECT_EQ(v->decodedFrames, 5) << c.name;
  EXPECT_NEAR(v->meanU, 90, 6) << c.name;
  EXPECT_NEAR(v->meanV, 170, 6) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Layouts, PictureInput, ::testing::ValuesIn(kPictureCases),
                         [](const ::testing::TestParamInfo<PictureCase>& info) { return info.param.name; });

// Audio time stamps come from sample counts: many small blocks whose 100-ns
// times are each rounded down do not shift the end of the stream.
TEST_F(MfTest, AudioTimesDoNotDrift) {
  const std::string path = TempPath("drift.m4a");
  AudioSpec audio;
  ComPtr<IMFSinkWriter> writer;
  DWORD videoIndex = 0, audioIndex = 0;
  ASSERT_EQ(OpenWriter(path, nullptr, &audio, nullptr, &writer, &videoIndex, &audioIndex), S_OK);
  constexpr int64_t kPcmFrames = 44100 * 4;
  ASSERT_EQ(WriteClip(writer.Get(), kNoStream, VideoSpec(), 0, audioIndex, audio, kPcmFrames, 441 + 2), S_OK);
  ASSERT_EQ(writer->Finalize(), S_OK);
  writer = nullptr;
  const kx::test::FileReport file = kx::test::ReadMediaFile(path);
  const kx::test::StreamReport* a = file.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(a, nullptr);
  // Packet k starts at k * 1024 samples, less the 1024 priming samples.
  EXPECT_NEAR(a->lastPts, (a->packets - 2) * 1024 / 44100.0, 1.0 / 44100);
  EXPECT_GE((a->packets - 1) * 1024, kPcmFrames);
}

// WMV 7/8 GOPs are encoded side by side and joined again: every picture
// comes back in its place.
class GopJoin : public MfTest, public ::testing::WithParamInterface<const GUID*> {};

TEST_P(GopJoin, KeepsEveryPictureInPlace) {
  const std::string path = TempPath("gops.wmv");
  VideoSpec video;
  video.subtype = *GetParam();
  video.rampLuma = true;
  video.bitrate = 400000;
  constexpr int kFrames = 64;  // five GOPs and a part
  ComPtr<IMFSinkWriter> writer;
  DWORD videoIndex = 0, audioIndex = 0;
  ASSERT_EQ(OpenWriter(path, &video, nullptr, nullptr, &writer, &videoIndex, &audioIndex), S_OK);
  ASSERT_EQ(WriteClip(writer.Get(), videoIndex, video, kFrames, kNoStream, AudioSpec(), 0), S_OK);
  ASSERT_EQ(writer->Finalize(), S_OK);
  writer = nullptr;
  const kx::test::FileReport file = kx::test::ReadMediaFile(path);
  const kx::test::StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->decodeErrors, 0);
  ASSERT_EQ(v->lumaMeans.size(), size_t{kFrames});
  for (int i = 0; i < kFrames; ++i) EXPECT_NEAR(v->lumaMeans[i], RampedLuma(i), 3) << "picture " << i;
  EXPECT_NEAR(v->lastPts, (kFrames - 1) / 30.0, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Wmv, GopJoin, ::testing::Values(&MFVideoFormat_WMV1, &MFVideoFormat_WMV2),
                         [](const ::testing::TestParamInfo<const GUID*>& info) {
                           return *info.param == MFVideoFormat_WMV1 ? std::string("wmv1") : std::string("wmv2");
                         });

// A gap in the audio times is kept as silence: what follows stays in time.
TEST_F(MfTest, AudioGapIsFilledWithSilence) {
  const std::string path = TempPath("gap.m4a");
  AudioSpec audio;
  ComPtr<IMFSinkWriter> writer;
  DWORD videoIndex = 0, audioIndex = 0;
  ASSERT_EQ(OpenWriter(path, nullptr, &audio, nullptr, &writer, &videoIndex, &audioIndex), S_OK);
  for (int64_t first : {int64_t{0}, int64_t{44100}}) {  // [0, 0.5 s) and [1.0 s, 1.5 s)
    for (int64_t frame = first; frame < first + 22050; frame += 2205) {
      ComPtr<IMFSample> sample;
      ASSERT_EQ(MakeAudioSample(audio, frame, 2205, &sample), S_OK);
      ASSERT_EQ(writer->WriteSample(audioIndex, sample.Get()), S_OK);
    }
  }
  ASSERT_EQ(writer->Finalize(), S_OK);
  writer = nullptr;
  const kx::test::FileReport file = kx::test::ReadMediaFile(path);
  const kx::test::StreamReport* a = file.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(a, nullptr);
  // 1.5 s of sound in 1024-sample packets, after the priming packet.
  EXPECT_EQ(a->packets, (66150 + 1024 + 1023) / 1024);
  // Half of it is silence: the RMS of the sine drops by the square root of 3/2.
  EXPECT_NEAR(a->audioRms, 0.5 / std::sqrt(2.0) * std::sqrt(2.0 / 3.0), 0.04);
}

// A stream that starts late keeps its start time.
TEST_F(MfTest, VideoKeepsItsStartTime) {
  const std::string path = TempPath("late.mp4");
  VideoSpec video;
  ComPtr<IMFSinkWriter> writer;
  DWORD videoIndex = 0, audioIndex = 0;
  ASSERT_EQ(OpenWriter(path, &video, nullptr, nullptr, &writer, &videoIndex, &audioIndex), S_OK);
  for (int i = 15; i < 30; ++i) {
    ComPtr<IMFSample> sample;
    ASSERT_EQ(MakeVideoSample(video, i, &sample), S_OK);
    ASSERT_EQ(writer->WriteSample(videoIndex, sample.Get()), S_OK);
  }
  ASSERT_EQ(writer->Finalize(), S_OK);
  writer = nullptr;
  const kx::test::FileReport file = kx::test::ReadMediaFile(path);
  const kx::test::StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->decodedFrames, 15);
  EXPECT_NEAR(v->firstPts, 0.5, 0.002);
  EXPECT_NEAR(v->lastPts, 29 / 30.0, 0.002);
}

}  // namespace
}  // namespace sinkwriter_test
