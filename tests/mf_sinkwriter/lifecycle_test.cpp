// Finishing a file: asynchronously through the callback, synchronously, or
// not at all (the writer is released); memory under a fast producer.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_com.h"
#include "sink_writer_hooks.h"
#include "writer_helpers.h"

namespace sinkwriter_test {
namespace {

class RecordingCallback final : public kx::test::Fake<IMFSinkWriterCallback> {
 public:
  HRESULT STDMETHODCALLTYPE OnFinalize(HRESULT status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    finalizeCalls_++;
    status_ = status;
    finalizeThread_ = std::this_thread::get_id();
    changed_.notify_all();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnMarker(DWORD, void*) override { return S_OK; }
  // Waits for OnFinalize (a generous bound only keeps a broken writer from
  // hanging the suite; nothing is measured).
  bool WaitForFinalize() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::minutes(2), [&] { return finalizeCalls_ > 0; });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int finalizeCalls_ = 0;
  HRESULT status_ = static_cast<HRESULT>(0x8000000A);  // none yet
  std::thread::id finalizeThread_;
};

// Lets the process write files only up to a size (0: no limit), for the
// length of a scope; a failed write, not a killed process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : active_(bytes != 0) {
    if (!active_) return;
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
    savedSignal_ = signal(SIGXFSZ, SIG_IGN);
  }
  ~FileSizeLimit() {
    if (!active_) return;
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, savedSignal_);
  }

 private:
  bool active_;
  rlimit saved_{};
  void (*savedSignal_)(int) = nullptr;
};

// The asynchronous finish reports once, from another thread, with the real
// status: a finish that fails because the file cannot grow is not reported
// as success. A complete file is there when
// OnFinalize arrives, before the writer goes.
TEST_F(MfTest, AsyncFinalizeReportsOnceWithTheRealStatus) {
  constexpr HRESULT kFileTooLarge = HRESULT_FROM_WIN32(223);
  const struct {
    const char* fileName;
    GUID video, audio;
    UINT32 width, height, bitrate;
    int frames;
    int64_t pcmFrames;
    rlim_t limit;
    HRESULT status;
  } cases[] = {
      {"async.wmv", MFVideoFormat_WMV2, MFAudioFormat_WMAudioV8, 160, 120, 300000, 15, 22050, 0, S_OK},
      {"limited.mp4", MFVideoFormat_H264, MFAudioFormat_AAC, 320, 240, 2000000, 60, 88200, 16 * 1024, kFileTooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileName);
    const std::string path = TempPath(c.fileName);
    ComPtr<RecordingCallback> callback = kx::test::Make<RecordingCallback>();
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(MFCreateAttributes(&attributes, 2), S_OK);
    ASSERT_EQ(attributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, callback.Get()), S_OK);
    ASSERT_EQ(attributes->SetUINT32(MF_LOW_LATENCY, 1), S_OK);
    const VideoSpec video{.subtype = c.video, .width = c.width, .height = c.height, .bitrate = c.bitrate};
    const AudioSpec audio{.subtype = c.audio};
    FileReport file;
    {
      FileSizeLimit limit(c.limit);
      Writer writer(path, &video, &audio, attributes.Get());
      // Under the limit, later writes may already report the failure; none may crash.
      const HRESULT written = writer.WriteClip(c.frames, c.pcmFrames);
      EXPECT_TRUE(written == S_OK || (c.limit != 0 && written == kFileTooLarge)) << std::hex << written;
      if (c.status == S_OK) {
        EXPECT_EQ(writer.writer->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS), S_OK);
      }
      ASSERT_EQ(writer.writer->Finalize(), S_OK);
      EXPECT_EQ(writer.writer->Finalize(), MF_E_INVALIDREQUEST);
      ASSERT_TRUE(callback->WaitForFinalize());
      if (c.status == S_OK) file = kx::test::ReadMediaFile(path);
    }
    attributes = nullptr;
    std::lock_guard<std::mutex> lock(callback->mutex_);
    EXPECT_EQ(callback->finalizeCalls_, 1);
    EXPECT_EQ(callback->status_, c.status);
    EXPECT_NE(callback->finalizeThread_, std::this_thread::get_id());
    if (c.status != S_OK) continue;
    const StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->decodedFrames, c.frames);
    EXPECT_NE(file.Find(AVMEDIA_TYPE_AUDIO), nullptr);
  }
}

// Finished synchronously (a null callback stored under the key: the host
// could not allocate its callback object) or not at all (released without
// Finalize): either way the file is complete, and no sample is held.
TEST_F(MfTest, SynchronousOrNoFinalizeLeavesAPlayableFile) {
  const struct {
    const char* fileName;
    const GUID* video;  // null: audio only
    GUID audio;
    bool nullCallback;
  } cases[] = {
      {"nullcallback.wma", nullptr, MFAudioFormat_WMAudioV8, true},
      {"unfinished.wmv", &MFVideoFormat_WMV2, MFAudioFormat_WMAudioV8, false},
      {"unfinished.mp4", &MFVideoFormat_H264, MFAudioFormat_AAC, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileName);
    const std::string path = TempPath(c.fileName);
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(MFCreateAttributes(&attributes, 2), S_OK);
    ASSERT_EQ(c.nullCallback ? attributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, nullptr) : S_OK, S_OK);
    const VideoSpec video{.subtype = c.video ? *c.video : GUID_NULL};
    const AudioSpec audio{.subtype = c.audio};
    Writer writer(path, c.video ? &video : nullptr, &audio, attributes.Get());
    ASSERT_EQ(writer.WriteClip(c.video ? 16 : 0, 29400), S_OK);
    FileReport file;
    if (c.nullCallback) {
      ASSERT_EQ(writer.writer->Finalize(), S_OK);
      file = kx::test::ReadMediaFile(path);  // complete as soon as Finalize has returned
    }
    writer.writer = nullptr;
    EXPECT_EQ(KxSinkWriterHeldInputs(), 0);
    if (!c.nullCallback) file = kx::test::ReadMediaFile(path);
    ASSERT_TRUE(file.opened) << file.error;
    const StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_EQ(v != nullptr, c.video != nullptr);
    EXPECT_TRUE(v == nullptr || (v->decodedFrames == 16 && v->decodeErrors == 0));
    const StreamReport* a = file.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->decodeErrors, 0);
    EXPECT_GE(a->decodedSamples, 29400 - 2048);
    EXPECT_NEAR(file.durationSeconds, 29400 / 44100.0, 0.1);
  }
}

TEST_F(MfTest, WriterReleasedBeforeWritingLeavesNoThreadsOrSamples) {
  ComPtr<IMFSinkWriter> writer;
  ASSERT_EQ(MFCreateSinkWriterFromURL(Wide(TempPath("never.wmv")).c_str(), nullptr, nullptr, &writer), S_OK);
  const VideoSpec video{.subtype = MFVideoFormat_WMV2};
  DWORD index = 0;
  ASSERT_EQ(writer->AddStream(VideoOutputType(video).Get(), &index), S_OK);
  ASSERT_EQ(writer->SetInputMediaType(index, VideoInputType(video).Get(), nullptr), S_OK);
  writer = nullptr;
  EXPECT_EQ(KxSinkWriterHeldInputs(), 0);
}

// A producer far faster than the encoder: WriteSample blocks instead of
// queueing without end, so the samples held at any moment stay few: the
// queue depth, the picture each worker has taken, those the encoder still
// references, and the one the blocked caller is handing in.
TEST_F(MfTest, FastProducerStaysWithinBoundedMemory) {
  const struct {
    const char* fileName;
    GUID subtype;
    int64_t maxHeld;
  } cases[] = {
      {"flood.mp4", MFVideoFormat_H264, 4 + 1 + 2 + 1},
      {"flood.wmv", MFVideoFormat_WMV2, 2 * (12 + 1 + 2) + 1},  // two GOP lanes of up to one GOP (12 pictures)
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
    ASSERT_NE(file.Find(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_EQ(file.Find(AVMEDIA_TYPE_VIDEO)->decodedFrames, kFrames);
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
    EXPECT_EQ(async ? callback->status_ : S_OK, S_OK);
    writer.writer = nullptr;
    const FileReport file = kx::test::ReadMediaFile(writer.path);
    const StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr) << file.error;
    EXPECT_EQ(v->decodedFrames, frames);
    EXPECT_EQ(v->decodeErrors, 0);
  }
}

}  // namespace
}  // namespace sinkwriter_test
