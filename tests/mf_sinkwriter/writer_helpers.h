// Driving the sink writer the way the library does (YV12 pictures, integer
// PCM): media types, samples
// with known content, a clip written interleaved by time. A step that fails
// while building throws, which fails the test with its HRESULT; the writer's
// own answers are what the tests compare.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kxplatform/mf.h"
#include "media_probe.h"

namespace sinkwriter_test {

using kx::ComPtr;
using kx::test::FileReport;
using kx::test::StreamReport;

// Throws when `hr` is a failure.
void Check(HRESULT hr, const char* what);

// A fresh path in the test's temporary folder, and its UTF-16 spelling.
std::string TempPath(const std::string& fileName);
std::u16string Wide(const std::string& text);

struct VideoSpec {
  GUID subtype = MFVideoFormat_H264;
  UINT32 width = 160, height = 120, fpsNum = 25, fpsDen = 1, bitrate = 300000;
  // Constant chroma of every picture, to see the plane order in the output.
  uint8_t u = 64, v = 192;
  // False: samples carry a zero duration, and the writer takes the frame rate's.
  bool durations = true;
  // Light noise (0 to 3) over the luma, different in every picture.
  bool noise = false;
};

struct AudioSpec {
  GUID subtype = MFAudioFormat_AAC;
  // The output's bytes per second are preferred; else the first type of the format is taken.
  UINT32 sampleRate = 44100, channels = 2, outputBytesPerSecond = 16000, bitsPerSample = 16;
};

ComPtr<IMFMediaType> VideoOutputType(const VideoSpec& spec);
ComPtr<IMFMediaType> VideoInputType(const VideoSpec& spec);
// The platform's list of output types for an audio subtype, and the one of
// them that fits `spec`.
std::vector<ComPtr<IMFMediaType>> AudioOutputTypes(const GUID& subtype);
ComPtr<IMFMediaType> AudioOutputType(const AudioSpec& spec);
ComPtr<IMFMediaType> AudioInputType(const AudioSpec& spec);

// Time of video frame i, in 100-ns units, as a host computes it.
LONGLONG VideoFrameTime(const VideoSpec& spec, int64_t frameIndex);
// A picture whose luma brightens from picture to picture (mean
// 27.5 + 3 * (i % 64)), to see every picture in its place.
ComPtr<IMFSample> VideoSample(const VideoSpec& spec, int64_t frameIndex);
// A 440 Hz sine at half of full scale, PCM frames [firstFrame, firstFrame + frames).
ComPtr<IMFSample> AudioSample(const AudioSpec& spec, int64_t firstFrame, int frames);
constexpr double kSineRms = 0.5 / 1.41421356237;

constexpr DWORD kNoStream = MF_SINK_WRITER_INVALID_STREAM_INDEX;

// A writer for a path with the given streams (null: none), video first,
// writing begun.
struct Writer {
  Writer(const std::string& path, const VideoSpec* video, const AudioSpec* audio, IMFAttributes* attributes = nullptr);
  // `videoFrames` pictures and `audioFrames` PCM frames, in chunks of
  // `audioChunk` frames, interleaved by time.
  HRESULT WriteClip(int videoFrames, int64_t audioFrames, int audioChunk = 1470) const;
  // Finalize, release, and read the file back.
  FileReport FinishAndRead();

  std::string path;
  VideoSpec video;
  AudioSpec audio;
  ComPtr<IMFSinkWriter> writer;
  DWORD videoIndex = kNoStream, audioIndex = kNoStream;
};

// Starts and stops the layer around each test.
class MfTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK); }
  void TearDown() override { MFShutdown(); }
};

}  // namespace sinkwriter_test
