// Every container/codec pair the layer can write, read back with libavformat
// and decoded in full: codecs, sizes, rates, counts, time stamps, content.
#include <gtest/gtest.h>

#include <cmath>

#include "writer_helpers.h"

namespace sinkwriter_test {
namespace {

// videoSubtype: null: no video stream
// audioSubtype: null: no audio stream
// pcmBits: each PCM sample size a host can give reaches the encoder as the same sound
struct RoundTripCase { const char* name; const char* extension; const GUID* videoSubtype; AVCodecID videoCodec;
    const GUID* audioSubtype; AVCodecID audioCodec; UINT32 pcmBits = 16; };

const RoundTripCase kRoundTripCases[] = {
    {"asf_wmv1_wma_pcm8", ".wmv", &MFVideoFormat_WMV1, AV_CODEC_ID_WMV1, &MFAudioFormat_WMAudioV8, AV_CODEC_ID_WMAV2, 8},
    {"asf_wmv2_wma_pcm24", ".wmv", &MFVideoFormat_WMV2, AV_CODEC_ID_WMV2, &MFAudioFormat_WMAudioV8, AV_CODEC_ID_WMAV2,
     24},
    {"asf_h264_wma", ".wmv", &MFVideoFormat_H264, AV_CODEC_ID_H264, &MFAudioFormat_WMAudioV8, AV_CODEC_ID_WMAV2},
    {"asf_wmv1_aac_pcm8", ".asf", &MFVideoFormat_WMV1, AV_CODEC_ID_WMV1, &MFAudioFormat_AAC, AV_CODEC_ID_AAC, 8},
    {"asf_wmv2_aac_pcm24", ".asf", &MFVideoFormat_WMV2, AV_CODEC_ID_WMV2, &MFAudioFormat_AAC, AV_CODEC_ID_AAC, 24},
    {"asf_h264_aac", ".WMV", &MFVideoFormat_H264, AV_CODEC_ID_H264, &MFAudioFormat_AAC, AV_CODEC_ID_AAC},
    {"asf_wmv2_only", ".wmv", &MFVideoFormat_WMV2, AV_CODEC_ID_WMV2, nullptr, AV_CODEC_ID_NONE},
    {"asf_wma_only", ".wma", nullptr, AV_CODEC_ID_NONE, &MFAudioFormat_WMAudioV8, AV_CODEC_ID_WMAV2},
    {"mp4_h264_aac", ".mp4", &MFVideoFormat_H264, AV_CODEC_ID_H264, &MFAudioFormat_AAC, AV_CODEC_ID_AAC},
    {"mp4_hevc_aac_pcm32", ".mp4", &MFVideoFormat_HEVC, AV_CODEC_ID_HEVC, &MFAudioFormat_AAC, AV_CODEC_ID_AAC, 32},
    {"mp4_hevc_only", ".mp4", &MFVideoFormat_HEVC, AV_CODEC_ID_HEVC, nullptr, AV_CODEC_ID_NONE},
    {"mp4_h264_only", ".m4v", &MFVideoFormat_H264, AV_CODEC_ID_H264, nullptr, AV_CODEC_ID_NONE},
    {"mp4_aac_only", ".M4A", nullptr, AV_CODEC_ID_NONE, &MFAudioFormat_AAC, AV_CODEC_ID_AAC},
};

constexpr int kFrames = 64;
constexpr double kSeconds = kFrames / 25.0;
constexpr int kPcmFrames = 44100 * kFrames / 25;

class RoundTrip : public MfTest, public ::testing::WithParamInterface<RoundTripCase> {};

// 2.56 seconds: 64 pictures at 25 fps (whole milliseconds per picture, so
// no rounding hides a short last picture; in WMV 7/8, five GOPs and a part,
// encoded side by side and joined again), 112896 PCM frames; once with
// sample durations and once without. Every picture comes back in its place.
TEST_P(RoundTrip, WritesWhatWasGiven) {
  const RoundTripCase& c = GetParam();
  for (const bool durations : {true, false}) {
    SCOPED_TRACE(durations ? "with sample durations" : "without");
    VideoSpec video{.durations = durations};
    AudioSpec audio{.bitsPerSample = c.pcmBits};
    if (c.videoSubtype) video.subtype = *c.videoSubtype;
    if (c.audioSubtype) audio.subtype = *c.audioSubtype;
    Writer writer(TempPath(std::string("clip") + c.extension), c.videoSubtype ? &video : nullptr,
                  c.audioSubtype ? &audio : nullptr);
    EXPECT_TRUE(!c.videoSubtype || !c.audioSubtype || (writer.videoIndex == 0 && writer.audioIndex == 1));
    ASSERT_EQ(writer.WriteClip(kFrames, kPcmFrames), S_OK);
    const FileReport file = writer.FinishAndRead();
    ASSERT_TRUE(file.opened) << file.error;
    const bool asf = file.containerName == "asf";
    EXPECT_EQ(asf, c.name[0] == 'a') << file.containerName;
    EXPECT_EQ(file.streams.size(), size_t(c.videoSubtype ? 1 : 0) + size_t(c.audioSubtype ? 1 : 0));
    // ASF keeps times in milliseconds and its reader offsets streams by up
    // to one audio block; MPEG-4 keeps them exactly.
    const double tolerance = asf ? 0.1 : 0.002;
    EXPECT_NEAR(file.durationSeconds, kSeconds, asf ? 0.15 : 0.05);
    if (const StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO); c.videoSubtype) {
      ASSERT_NE(v, nullptr);
      EXPECT_EQ(v->codec, c.videoCodec);
      EXPECT_EQ(std::make_pair(v->width, v->height), std::make_pair(160, 120));
      EXPECT_EQ(v->packets, kFrames);
      EXPECT_EQ(v->decodedFrames, kFrames);  // the last picture too
      EXPECT_EQ(v->decodeErrors, 0);
      EXPECT_NEAR(v->firstPts, 0.0, tolerance);
      EXPECT_NEAR(v->lastPts, (kFrames - 1) / 25.0, tolerance);
      // MP4's track lasts to the end of the last picture. ASF keeps no
      // duration per stream: the play duration of a file without sound
      // shows the last picture's (only WMV's: H.264 packets carry their
      // decoding times there).
      if (!asf) {
        EXPECT_NEAR(v->durationSeconds, kSeconds, 1e-4);
      } else if (!c.audioSubtype && c.videoCodec != AV_CODEC_ID_H264) {
        EXPECT_NEAR(file.durationSeconds - v->lastPts, 1 / 25.0, 0.002);
      }
      // YV12 holds V before U: swapped planes would show here.
      EXPECT_NEAR(v->meanU, video.u, 6);
      EXPECT_NEAR(v->meanV, video.v, 6);
      ASSERT_EQ(v->lumaMeans.size(), size_t{kFrames});
      for (int i = 0; i < kFrames; ++i) EXPECT_NEAR(v->lumaMeans[i], 27.5 + 3 * i, 3) << "picture " << i;
    }
    if (const StreamReport* a = file.Find(AVMEDIA_TYPE_AUDIO); c.audioSubtype) {
      ASSERT_NE(a, nullptr);
      EXPECT_EQ(a->codec, c.audioCodec);
      EXPECT_EQ(std::make_pair(a->sampleRate, a->channels), std::make_pair(44100, 2));
      EXPECT_EQ(a->decodeErrors, 0);
      // Every PCM frame written is in the file (only the last packet may be
      // partly padding), after the AAC encoder's 1024 priming samples,
      // which MPEG-4 stamps before zero; the sound itself starts at zero.
      const int frameSize = c.audioCodec == AV_CODEC_ID_AAC ? 1024 : 2048;
      const int priming = c.audioCodec == AV_CODEC_ID_AAC ? 1024 : 0;
      EXPECT_EQ(a->packets, (kPcmFrames + priming + frameSize - 1) / frameSize);
      EXPECT_NEAR(a->firstPts + (asf ? 0.0 : priming / 44100.0), 0.0, tolerance);
      EXPECT_NEAR(a->audioRms, kSineRms, 0.05);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pairs, RoundTrip, ::testing::ValuesIn(kRoundTripCases),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

// Audio times come from sample counts: many small blocks whose 100-ns times
// are each rounded down do not shift the end of the stream. A gap in the
// audio is kept as silence, and a video stream that starts late keeps its
// start time.
TEST_F(MfTest, AudioTimesDoNotDriftAndGapsAreKept) {
  AudioSpec audio;
  Writer drift(TempPath("drift.m4a"), nullptr, &audio);
  constexpr int64_t kPcmFrames = 44100 * 4;
  ASSERT_EQ(drift.WriteClip(0, kPcmFrames, 441 + 2), S_OK);
  FileReport file = drift.FinishAndRead();
  const StreamReport* a = file.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(a, nullptr);
  // Packet k starts at k * 1024 samples, less the 1024 priming samples.
  EXPECT_NEAR(a->lastPts, (a->packets - 2) * 1024 / 44100.0, 1.0 / 44100);
  EXPECT_GE((a->packets - 1) * 1024, kPcmFrames);

  VideoSpec video;
  Writer gap(TempPath("gap.mp4"), &video, &audio);
  for (int64_t first : {int64_t{0}, int64_t{44100}}) {  // [0, 0.5 s) and [1.0 s, 1.5 s)
    for (int64_t frame = first; frame < first + 22050; frame += 2205) {
      ASSERT_EQ(gap.writer->WriteSample(gap.audioIndex, AudioSample(audio, frame, 2205).Get()), S_OK);
    }
  }
  for (int i = 13; i < 25; ++i) {  // [0.52 s, 1.0 s)
    ASSERT_EQ(gap.writer->WriteSample(gap.videoIndex, VideoSample(video, i).Get()), S_OK);
  }
  file = gap.FinishAndRead();
  a = file.Find(AVMEDIA_TYPE_AUDIO);
  const StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(a != nullptr && v != nullptr);
  // 1.5 s of sound in 1024-sample packets, after the priming packet; half of
  // it is silence: the RMS of the sine drops by the square root of 3/2.
  EXPECT_EQ(a->packets, (66150 + 1024 + 1023) / 1024);
  EXPECT_NEAR(a->audioRms, kSineRms * std::sqrt(2.0 / 3.0), 0.04);
  EXPECT_EQ(v->decodedFrames, 12);
  EXPECT_NEAR(v->firstPts, 0.52, 0.002);
  EXPECT_NEAR(v->lastPts, 24 / 25.0, 0.002);
}

}  // namespace
}  // namespace sinkwriter_test
