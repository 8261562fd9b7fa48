// Building blocks for driving the sink writer the way an SDK program does:
// media types, samples with known content, a clip written interleaved by
// time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kxplatform/mf.h"

namespace sinkwriter_test {

std::u16string Wide(const std::string& text);
// A fresh path in the test's temporary folder.
std::string TempPath(const std::string& fileName);

struct VideoSpec {
  GUID subtype = MFVideoFormat_H264;
  UINT32 width = 160;
  UINT32 height = 120;
  UINT32 fpsNum = 30;
  UINT32 fpsDen = 1;
  UINT32 bitrate = 300000;
  GUID inputSubtype = MFVideoFormat_YV12;
  // Constant chroma of every picture, to see the plane order in the output.
  uint8_t u = 64;
  uint8_t v = 192;
  // Luma that brightens from picture to picture (mean RampedLuma(i)), to
  // see every picture in its place.
  bool rampLuma = false;
};

double RampedLuma(int64_t frameIndex);

struct AudioSpec {
  GUID subtype = MFAudioFormat_AAC;
  UINT32 sampleRate = 44100;
  UINT32 channels = 2;
  UINT32 outputBytesPerSecond = 16000;  // preferred; else the first type of the format
  GUID inputSubtype = MFAudioFormat_PCM;
  UINT32 bitsPerSample = 16;
};

HRESULT MakeVideoOutputType(const VideoSpec& spec, IMFMediaType** out);
HRESULT MakeVideoInputType(const VideoSpec& spec, IMFMediaType** out);
HRESULT FindAudioOutputType(const AudioSpec& spec, IMFMediaType** out);
HRESULT MakeAudioInputType(const AudioSpec& spec, IMFMediaType** out);

// Time of video frame i, in 100-ns units, as a host computes it.
LONGLONG VideoFrameTime(const VideoSpec& spec, int64_t frameIndex);
HRESULT MakeVideoSample(const VideoSpec& spec, int64_t frameIndex, IMFSample** out);
// A 440 Hz sine at half of full scale, PCM frames [firstFrame, firstFrame + frames).
HRESULT MakeAudioSample(const AudioSpec& spec, int64_t firstFrame, int frames, IMFSample** out);

constexpr DWORD kNoStream = MF_SINK_WRITER_INVALID_STREAM_INDEX;

// Creates a writer for `path` with the given streams (null: none), video
// first, and begins writing.
HRESULT OpenWriter(const std::string& path, const VideoSpec* video, const AudioSpec* audio,
                   IMFAttributes* attributes, IMFSinkWriter** writerOut, DWORD* videoIndex,
                   DWORD* audioIndex);

// Writes `videoFrames` pictures and `audioFrames` PCM frames, in chunks of
// `audioChunk` frames, interleaved by time.
HRESULT WriteClip(IMFSinkWriter* writer, DWORD videoIndex, const VideoSpec& video, int videoFrames,
                  DWORD audioIndex, const AudioSpec& audio, int64_t audioFrames, int audioChunk = 1470);

// Starts and stops the layer around each test.
class MfTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK); }
  void TearDown() override { MFShutdown(); }
};

}  // namespace sinkwriter_test
