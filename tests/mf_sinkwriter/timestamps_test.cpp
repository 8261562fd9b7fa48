// What the host stamps is what the file holds, and a time the container
// cannot hold is refused at WriteSample without moving anything already
// written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

#include "writer_helpers.h"

namespace sinkwriter_test {
namespace {

// Time stamps from the edges. Times are in frames of 1/30 s unless huge:
// pictures `first` to 9 on schedule, then `inserted`, then pictures `resume`
// to 19 on schedule, moved by `shift`; each says whether the writer takes it.
constexpr LONGLONG kHour = 36000000000;
constexpr LONGLONG kFrame = 10000000 / 30;
struct Stamp { LONGLONG time; bool accepted; };
// onlyIn: an extension: the case is for that container alone
struct EdgeCase { const char* name; int first = 0; std::vector<Stamp> inserted = {}; int resume = 10;
    LONGLONG shift = 0; bool resumeAccepted = true; const char* onlyIn = nullptr; };

const EdgeCase kEdges[] = {
    {"spike_then_on_schedule", 0, {{10 * kFrame + kHour, true}}, 11, 0, false, ".wmv"},
    // MP4 keeps a picture's distance from its decoding time below 2^28
    // ticks (about 50 minutes), and a picture after a gap can be encoded
    // ahead of those before it: an hour is refused, twenty minutes held.
    {"spike_then_on_schedule", 0, {{10 * kFrame + kHour, false}}, 11, 0, true, ".mp4"},
    {"gap_of_twenty_minutes", 0, {}, 10, kHour / 3},
    {"backwards", 0, {{5 * kFrame, false}}},
    {"repeated", 0, {{9 * kFrame, false}}},
    {"int64_max", 0, {{INT64_MAX, false}, {INT64_MAX - kFrame, false}}},
    {"int64_min", 0, {{INT64_MIN, false}}},
    {"negative_first_times", -10},
};

// A refused time returns MF_E_INVALID_TIMESTAMP; every accepted picture is
// in the file at its time (one shift of the whole time line in MP4 when
// times start below zero), decoded, and the sound keeps its place.
TEST_F(MfTest, TimeStampsReachTheFileAsGivenOrAreRefused) {
  for (size_t run = 0; run < 2 * std::size(kEdges); ++run) {  // each edge in ASF, then in MP4
    const EdgeCase& c = kEdges[run % std::size(kEdges)];
    const char* extension = run < std::size(kEdges) ? ".wmv" : ".mp4";
    if (c.onlyIn && std::string(c.onlyIn) != extension) continue;
    SCOPED_TRACE(std::string(c.name) + extension);
    VideoSpec video{.subtype = extension[1] == 'w' ? MFVideoFormat_WMV2 : MFVideoFormat_H264, .fpsNum = 30};
    AudioSpec audio{.subtype = extension[1] == 'w' ? MFAudioFormat_WMAudioV8 : MFAudioFormat_AAC};
    Writer writer(TempPath(std::string("edges") + extension), &video, &audio);
    std::vector<Stamp> stamps;
    for (int i = c.first; i <= 9; ++i) stamps.push_back({i * kFrame, true});
    stamps.insert(stamps.end(), c.inserted.begin(), c.inserted.end());
    for (int i = c.resume; i <= 19; ++i) stamps.push_back({i * kFrame + c.shift, c.resumeAccepted});
    std::vector<double> expected;  // seconds
    for (size_t i = 0; i < stamps.size(); ++i) {
      ComPtr<IMFSample> sample = VideoSample(video, int64_t(i));
      Check(sample->SetSampleTime(stamps[i].time), "SetSampleTime");
      const HRESULT hr = writer.writer->WriteSample(writer.videoIndex, sample.Get());
      EXPECT_EQ(hr, stamps[i].accepted ? S_OK : MF_E_INVALID_TIMESTAMP) << "picture " << i;
      if (hr == S_OK) expected.push_back(stamps[i].time / 1e7);
    }
    // The sound starts with the first picture and lasts as long as the
    // pictures on schedule.
    const int64_t firstPcm = stamps[0].time * 44100 / 10000000;
    for (int64_t pcm = firstPcm; pcm < firstPcm + 44100; pcm += 2205) {
      ASSERT_EQ(writer.writer->WriteSample(writer.audioIndex, AudioSample(audio, pcm, 2205).Get()), S_OK);
    }
    const FileReport file = writer.FinishAndRead();
    const StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
    const StreamReport* a = file.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && a);
    EXPECT_EQ(v->decodeErrors, 0);
    EXPECT_EQ(v->decodedFrames, int64_t(expected.size()));
    ASSERT_EQ(v->packetPts.size(), expected.size());
    // One shift of the whole time line: to zero when it starts before, and
    // in ASF by the audio encoder's delay (2048 samples), which MP4 keeps
    // before zero, hidden.
    const bool asf = file.containerName == "asf";
    const double priming = (asf ? 2048 : 1024) / 44100.0;
    const double shift = -std::min(0.0, expected[0]) + (asf ? priming : 0);
    std::vector<double> pts = v->packetPts;  // in decoding order
    std::sort(pts.begin(), pts.end());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_NEAR(pts[i], expected[i] + shift, asf ? 0.001 : 1e-4) << "accepted picture " << i;
    }
    EXPECT_NEAR(a->firstPts + priming, pts[0], 0.002);
    EXPECT_EQ(a->decodeErrors, 0);
  }
}

// Audio times are counted in samples; a block that does not start after the
// previous one, or whose time has no place in the file, is refused.
TEST_F(MfTest, AudioTimesGoForwardOrAreRefused) {
  for (const char* extension : {".wma", ".m4a"}) {
    SCOPED_TRACE(extension);
    const AudioSpec audio{.subtype = extension[1] == 'w' ? MFAudioFormat_WMAudioV8 : MFAudioFormat_AAC};
    Writer writer(TempPath(std::string("audio_edges") + extension), nullptr, &audio);
    const struct { int64_t firstPcm; HRESULT expected; } blocks[] = {{0, S_OK}, {4410, S_OK},
        {2205, MF_E_INVALID_TIMESTAMP}, {4410, MF_E_INVALID_TIMESTAMP}, {8820, S_OK}, {-1, MF_E_INVALID_TIMESTAMP},
        {13230, S_OK}};
    for (const auto& block : blocks) {
      ComPtr<IMFSample> sample = AudioSample(audio, std::max<int64_t>(block.firstPcm, 0), 4410);
      if (block.firstPcm < 0) Check(sample->SetSampleTime(INT64_MAX), "SetSampleTime");  // -1: INT64_MAX
      EXPECT_EQ(writer.writer->WriteSample(writer.audioIndex, sample.Get()), block.expected) << block.firstPcm;
    }
    const FileReport file = writer.FinishAndRead();
    const StreamReport* a = file.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->decodeErrors, 0);
    // Four blocks of 0.1 s, one after the other.
    EXPECT_NEAR(file.durationSeconds, 0.4, 0.06);
  }
}

// The bare video stream taken out of an MP4 file declares the media type's
// frame rate in its own header, and every picture in the file has its
// duration, as a player that reads either needs.
TEST_F(MfTest, StreamHeaderDeclaresTheFrameRateAndPacketsHaveDurations) {
  const struct { GUID subtype; UINT32 num, den; const char *bareExtension, *declared, *duration; } cases[] = {
      {MFVideoFormat_H264, 25, 1, ".h264", "25/1", "3600"},  // durations in 1/90000 ticks
      {MFVideoFormat_H264, 30000, 1001, ".h264", "30000/1001", "3003"},
      {MFVideoFormat_HEVC, 25, 1, ".hevc", "25/1", "3600"},
      {MFVideoFormat_HEVC, 30000, 1001, ".hevc", "30000/1001", "3003"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.bareExtension) + " " + c.declared);
    VideoSpec video{.subtype = c.subtype, .fpsNum = c.num, .fpsDen = c.den};
    Writer writer(TempPath("rate.mp4"), &video, nullptr);
    ASSERT_EQ(writer.WriteClip(12, 0), S_OK);
    ASSERT_EQ(writer.FinishAndRead().DecodedFrames(AVMEDIA_TYPE_VIDEO), 12);
    const std::string bare = TempPath(std::string("rate") + c.bareExtension);
    kx::test::RunCommand("ffmpeg -nostdin -v error -y -i '" + writer.path + "' -c copy '" + bare + "'");
    EXPECT_EQ(kx::test::RunCommand("ffprobe -v error -show_entries stream=r_frame_rate -of csv=p=0 '" + bare + "'"),
              std::string(c.declared) + "\n");
    std::string durations = kx::test::RunCommand(
        "ffprobe -v error -show_entries packet=duration -of csv=p=0 '" + writer.path + "' | sort | uniq -c");
    durations.erase(0, durations.find_first_not_of(' '));
    EXPECT_EQ(durations, std::string("12 ") + c.duration + "\n");
  }
}

// A host whose clock runs 100 ppm slower or faster than its sound card, for
// an hour: the sound in the file ends where the host's times say, within an
// encoder frame (and its padding), instead of running ahead or behind.
TEST_F(MfTest, AudioKeepsToTheHostsClockThroughAnHourOfDrift) {
  for (const double ppm : {-100.0, 100.0}) {
    SCOPED_TRACE(ppm);
    const AudioSpec audio{.subtype = MFAudioFormat_WMAudioV8, .sampleRate = 8000, .channels = 1, .outputBytesPerSecond = 3000};
    Writer writer(TempPath("drift.wma"), nullptr, &audio);
    constexpr int kBlocks = 1800, kBlockFrames = 16000;  // an hour in blocks of 2 s
    const double hostSecondsPerBlock = 2.0 * (1 + ppm * 1e-6);
    for (int i = 0; i < kBlocks; ++i) {
      const ComPtr<IMFSample> sample = AudioSample(audio, int64_t{i} * kBlockFrames, kBlockFrames);
      Check(sample->SetSampleTime(std::llround(i * hostSecondsPerBlock * 1e7)), "SetSampleTime");
      ASSERT_EQ(writer.writer->WriteSample(writer.audioIndex, sample.Get()), S_OK) << i;
    }
    const FileReport file = writer.FinishAndRead();
    const StreamReport* sound = file.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(sound, nullptr);
    EXPECT_NEAR(double(sound->decodedSamples) / audio.sampleRate, (kBlocks - 1) * hostSecondsPerBlock + 2.0, 0.1);
  }
}

}  // namespace
}  // namespace sinkwriter_test
