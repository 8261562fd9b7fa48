// Finishing a file: asynchronously through the callback, synchronously, or
// not at all (the writer is released); memory under a fast producer.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_com.h"
#include "sink_writer_hooks.h"
#include "writer_helpers.h"

namespace sinkwriter_test {
namespace {

struct RecordingCallback final : kx::test::Fake<IMFSinkWriterCallback> {
  HRESULT STDMETHODCALLTYPE OnFinalize(HRESULT result) override {
    std::lock_guard<std::mutex> lock(mutex);
    calls++, status = result, thread = std::this_thread::get_id();
    changed.notify_all();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnMarker(DWORD, void*) override { return S_OK; }
  // Waits for OnFinalize (a generous bound only keeps a broken writer from
  // hanging the suite; nothing is measured).
  bool WaitForFinalize() {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::minutes(2), [&] { return calls > 0; });
  }
  std::mutex mutex;
  std::condition_variable changed;
  int calls = 0;
  HRESULT status = static_cast<HRESULT>(0x8000000A);  // none yet
  std::thread::id thread;
};

// Lets the process write files only up to a size (0: no limit), for the
// length of a scope; a failed write, not a killed process.
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit limit{bytes ? bytes : saved.rlim_cur, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, bytes ? SIG_IGN : SIG_DFL);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_DFL);
  }
  rlimit saved{};
};

// Finishing a file: asynchronously (OnFinalize comes once, from another
// thread, with the real status: a finish that fails because the file cannot
// grow is not reported as success), synchronously (a null callback stored
// under the key: the host could not allocate its callback object), or not at
// all (released without Finalize). A finished file is complete as soon as
// Finalize has returned or OnFinalize arrived, before the writer goes; once
// it is gone no sample is held.
TEST_F(MfTest, FinishingLeavesACompleteFile) {
  constexpr HRESULT kFileTooLarge = HRESULT_FROM_WIN32(223);
  enum Finish { kAsync, kNullCallback, kReleased };
  // video GUID_NULL: audio only
  const struct { const char* fileName; GUID video, audio; Finish finish; rlim_t limit = 0; HRESULT status = S_OK;
      UINT32 width = 160, height = 120, bitrate = 300000; int frames = 16; int64_t pcmFrames = 29400; } cases[] = {
      {"async.wmv", MFVideoFormat_WMV2, MFAudioFormat_WMAudioV8, kAsync},
      {"limited.mp4", MFVideoFormat_H264, MFAudioFormat_AAC, kAsync, 16 * 1024, kFileTooLarge, 320, 240, 2000000, 60,
       88200},
      {"nullcallback.wma", GUID_NULL, MFAudioFormat_WMAudioV8, kNullCallback},
      {"unfinished.wmv", MFVideoFormat_WMV2, MFAudioFormat_WMAudioV8, kReleased},
      {"unfinished.mp4", MFVideoFormat_H264, MFAudioFormat_AAC, kReleased},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileName);
    const std::string path = TempPath(c.fileName);
    ComPtr<RecordingCallback> callback = kx::test::Make<RecordingCallback>();
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(MFCreateAttributes(&attributes, 2), S_OK);
    if (c.finish == kAsync) {
      ASSERT_EQ(attributes->SetUINT32(MF_LOW_LATENCY, 1), S_OK);
      ASSERT_EQ(attributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, callback.Get()), S_OK);
    } else if (c.finish == kNullCallback) {
      ASSERT_EQ(attributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, nullptr), S_OK);
    }
    const bool hasVideo = c.video != GUID_NULL;
    const VideoSpec video{.subtype = c.video, .width = c.width, .height = c.height, .bitrate = c.bitrate};
    const AudioSpec audio{.subtype = c.audio};
    FileReport file;
    {
      FileSizeLimit limit(c.limit);
      Writer writer(path, hasVideo ? &video : nullptr, &audio, attributes.Get());
      // Under the limit, later writes may already report the failure; none may crash.
      const HRESULT written = writer.WriteClip(hasVideo ? c.frames : 0, c.pcmFrames);
      EXPECT_TRUE(written == S_OK || (c.limit != 0 && written == kFileTooLarge)) << std::hex << written;
      if (c.finish == kAsync && c.limit == 0) {
        EXPECT_EQ(writer.writer->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS), S_OK);
      }
      if (c.finish != kReleased) {
        ASSERT_EQ(writer.writer->Finalize(), S_OK);
        EXPECT_EQ(writer.writer->Finalize(), MF_E_INVALIDREQUEST);
        ASSERT_TRUE(c.finish != kAsync || callback->WaitForFinalize());
        if (c.status == S_OK) file = kx::test::ReadMediaFile(path);
      }
    }
    EXPECT_EQ(KxSinkWriterHeldInputs(), 0);
    if (c.finish == kReleased) file = kx::test::ReadMediaFile(path);
    if (c.finish == kAsync) {
      std::lock_guard<std::mutex> lock(callback->mutex);
      EXPECT_EQ(callback->calls, 1);
      EXPECT_EQ(callback->status, c.status);
      EXPECT_NE(callback->thread, std::this_thread::get_id());
    }
    if (c.status != S_OK) continue;
    ASSERT_TRUE(file.opened) << file.error;
    const StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
    const StreamReport* a = file.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(a != nullptr && (v != nullptr) == hasVideo);
    EXPECT_TRUE(v == nullptr || (v->decodedFrames == c.frames && v->decodeErrors == 0));
    EXPECT_EQ(a->decodeErrors, 0);
    EXPECT_GE(a->decodedSamples, c.pcmFrames - 2048);
    EXPECT_NEAR(file.durationSeconds, c.pcmFrames / 44100.0, 0.1);
  }
}

// A producer far faster than the encoder: WriteSample blocks instead of
// queueing without end, so the samples held at any moment stay few: the
// queue depth, the picture each worker has taken, those the encoder still
// references, and the one the blocked caller is handing in.
TEST_F(MfTest, FastProducerStaysWithinBoundedMemory) {
  const struct { const char* fileName; GUID subtype; int64_t maxHeld; } cases[] = {
      {"flood.mp4", MFVideoFormat_H264, 4 + 1 + 2 + 1},
      // Two GOP lanes of up to one GOP (12 pictures), and the first six
      // pictures, held while the lanes warm up on copies of them.
      {"flood.wmv", MFVideoFormat_WMV2, 2 * (12 + 1 + 2) + 1 + 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileName);
    const VideoSpec video{.subtype = c.subtype, .width = 320, .height = 240};
    Writer writer(TempPath(c.fileName), &video, nullptr);
    // One picture sample, written again and again with new times: producing
    // costs nothing, so only the queue can hold the producer back.
    const ComPtr<IMFSample> sample = VideoSample(video, 0);
    KxSinkWriterResetPeakHeldInputs();
    constexpr int kFrames = 120;
    for (int i = 0; i < kFrames; ++i) {
      ASSERT_EQ(sample->SetSampleTime(VideoFrameTime(video, i)), S_OK);
      ASSERT_EQ(writer.writer->WriteSample(writer.videoIndex, sample.Get()), S_OK);
    }
    const int64_t peak = KxSinkWriterPeakHeldInputs();
    const FileReport file = writer.FinishAndRead();
    EXPECT_LE(peak, c.maxHeld);
    EXPECT_GE(peak, 1);
    EXPECT_EQ(KxSinkWriterHeldInputs(), 0);
    EXPECT_EQ(file.DecodedFrames(AVMEDIA_TYPE_VIDEO), kFrames);
  }
}

// Files of one or two pictures, which the encoders give out only when
// drained (libx265 then with decoding times from memory it never set),
// finished both ways many times over: each holds every picture written.
TEST_F(MfTest, TinyFilesHoldEveryPicture) {
  for (int i = 0; i < 64; ++i) {
    const bool hevc = i % 4 < 2, async = i % 2 == 1;
    const int frames = 1 + (i / 4) % 2;
    SCOPED_TRACE(std::to_string(i) + (hevc ? " H.265 " : " H.264 ") + std::to_string(frames));
    const VideoSpec video{.subtype = hevc ? MFVideoFormat_HEVC : MFVideoFormat_H264,
                          .width = 96, .height = 32, .fpsNum = 50, .bitrate = 0};
    ComPtr<RecordingCallback> callback = kx::test::Make<RecordingCallback>();
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(MFCreateAttributes(&attributes, 1), S_OK);
    ASSERT_EQ(attributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, async ? callback.Get() : nullptr), S_OK);
    Writer writer(TempPath("tiny.mp4"), &video, nullptr, attributes.Get());
    ASSERT_EQ(writer.WriteClip(frames, 0), S_OK);
    ASSERT_EQ(writer.writer->Finalize(), S_OK);
    ASSERT_TRUE(!async || callback->WaitForFinalize());
    EXPECT_EQ(async ? callback->status : S_OK, S_OK);
    writer.writer = nullptr;
    const FileReport file = kx::test::ReadMediaFile(writer.path);
    const StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr) << file.error;
    EXPECT_EQ(std::pair(v->decodedFrames, v->decodeErrors), std::pair(int64_t{frames}, 0));
  }
}

// WMV 8 runs as GOP lanes: each starts with what rate control learnt on
// the first GOP. Started cold, a lane spends its first GOP learning again
// (here more than twice the bits of a later GOP) and starves the GOPs after.
// Pictures large enough that the writer runs ahead of the lanes, so that at
// the end the last GOP's unstarted pictures move to the idle lane: every
// picture stays in its place.
TEST_F(MfTest, GopLanesStartWithWarmRateControl) {
  const VideoSpec video{.subtype = MFVideoFormat_WMV2, .width = 640, .height = 480, .bitrate = 800000, .noise = true};
  Writer writer(TempPath("lanes.wmv"), &video, nullptr);
  ASSERT_EQ(writer.WriteClip(5 * 12, 0), S_OK);  // five GOPs of light noise over a changing pattern
  const FileReport file = writer.FinishAndRead();
  const StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(v && v->decodedFrames == 60 && v->decodeErrors == 0 && v->lumaMeans.size() == 60) << file.error;
  for (int i = 0; i < 60; ++i) EXPECT_NEAR(v->lumaMeans[i], 29 + 3 * i, 3) << "picture " << i;
  std::vector<long> gops(5);  // bytes of each run of 12 pictures
  std::istringstream packets(
      kx::test::RunCommand("ffprobe -v error -show_entries packet=size -of csv=p=0 '" + writer.path + "'"));
  long size = 0;
  for (size_t i = 0; packets >> size; ++i) gops.at(i / 12) += size;
  EXPECT_LT(2 * gops[1], 3 * gops[3]) << gops[0] << " " << gops[1] << " " << gops[2] << " " << gops[3];
}

}  // namespace
}  // namespace sinkwriter_test
