// Finishing a file: asynchronously through the callback, synchronously, or
// not at all (the writer is released); markers; memory under a fast producer.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "media_probe.h"
#include "sink_writer_hooks.h"
#include "writer_helpers.h"

using kx::ComPtr;

namespace sinkwriter_test {
namespace {

class RecordingCallback final : public IMFSinkWriterCallback {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IMFSinkWriterCallback) {
      *ppv = static_cast<IMFSinkWriterCallback*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE OnFinalize(HRESULT status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    finalizeCalls_++;
    status_ = status;
    finalizeThread_ = std::this_thread::get_id();
    markersBeforeFinalize_ = markers_.size();
    changed_.notify_all();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnMarker(DWORD stream, void* context) override {
    std::lock_guard<std::mutex> lock(mutex_);
    markers_.push_back({stream, context});
    return S_OK;
  }

  // Waits for OnFinalize (a generous bound only keeps a broken writer from
  // hanging the suite; nothing is measured).
  bool WaitForFinalize() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::minutes(2), [&] { return finalizeCalls_ > 0; });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int finalizeCalls_ = 0;
  HRESULT status_ = E_PENDING_FOR_TEST;
  std::thread::id finalizeThread_;
  std::vector<std::pair<DWORD, void*>> markers_;
  size_t markersBeforeFinalize_ = 0;

  static constexpr HRESULT E_PENDING_FOR_TEST = static_cast<HRESULT>(0x8000000A);

 private:
  ~RecordingCallback() = default;
  std::atomic<ULONG> refs_{1};
};

HRESULT AsyncAttributes(RecordingCallback* callback, IMFAttributes** out) {
  ComPtr<IMFAttributes> attributes;
  HRESULT hr = MFCreateAttributes(&attributes, 2);
  if (SUCCEEDED(hr)) hr = attributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, callback);
  if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_LOW_LATENCY, 1);
  if (SUCCEEDED(hr)) *out = attributes.Detach();
  return hr;
}

TEST_F(MfTest, AsyncFinalizeReportsOnceFromAnotherThread) {
  const std::string path = TempPath("async.wmv");
  RecordingCallback* callback = new RecordingCallback();
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(AsyncAttributes(callback, &attributes), S_OK);
  VideoSpec video;
  video.subtype = MFVideoFormat_WMV2;
  AudioSpec audio;
  audio.subtype = MFAudioFormat_WMAudioV8;
  ComPtr<IMFSinkWriter> writer;
  DWORD videoIndex = 0, audioIndex = 0;
  ASSERT_EQ(OpenWriter(path, &video, &audio, attributes.Get(), &writer, &videoIndex, &audioIndex), S_OK);
  ASSERT_EQ(WriteClip(writer.Get(), videoIndex, video, 15, audioIndex, audio, 22050), S_OK);
  int markerContext = 0;
  ASSERT_EQ(writer->PlaceMarker(audioIndex, &markerContext), S_OK);
  EXPECT_EQ(writer->PlaceMarker(9, &markerContext), MF_E_INVALIDSTREAMNUMBER);
  ASSERT_EQ(writer->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS), S_OK);

  ASSERT_EQ(writer->Finalize(), S_OK);
  EXPECT_EQ(writer->Finalize(), MF_E_INVALIDREQUEST);
  ASSERT_TRUE(callback->WaitForFinalize());
  // The file is complete when OnFinalize arrives, before the writer goes.
  const kx::test::FileReport file = kx::test::ReadMediaFile(path);
  writer = nullptr;
  attributes = nullptr;

  {
    std::lock_guard<std::mutex> lock(callback->mutex_);
    EXPECT_EQ(callback->finalizeCalls_, 1);
    EXPECT_EQ(callback->status_, S_OK);
    EXPECT_NE(callback->finalizeThread_, std::this_thread::get_id());
    ASSERT_EQ(callback->markers_.size(), 1u);
    EXPECT_EQ(callback->markers_[0].first, audioIndex);
    EXPECT_EQ(callback->markers_[0].second, &markerContext);
    EXPECT_EQ(callback->markersBeforeFinalize_, 1u);
  }
  callback->Release();

  ASSERT_TRUE(file.opened);
  const kx::test::StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->decodedFrames, 15);
  ASSERT_NE(file.Find(AVMEDIA_TYPE_AUDIO), nullptr);
}

// Lets the process write files only up to a size, for the length of a test.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
    savedSignal_ = signal(SIGXFSZ, SIG_IGN);  // a failed write, not a killed process
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, savedSignal_);
  }

 private:
  rlimit saved_{};
  void (*savedSignal_)(int) = nullptr;
};

// A finish that fails (the file cannot grow) is reported through OnFinalize
// with its real status, once, and not as success.
TEST_F(MfTest, AsyncFinalizeReportsTheRealFailure) {
  const std::string path = TempPath("limited.mp4");
  RecordingCallback* callback = new RecordingCallback();
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(AsyncAttributes(callback, &attributes), S_OK);
  VideoSpec video;
  video.width = 320;
  video.height = 240;
  video.bitrate = 2000000;
  AudioSpec audio;
  ComPtr<IMFSinkWriter> writer;
  DWORD videoIndex = 0, audioIndex = 0;
  {
    FileSizeLimit limit(16 * 1024);  // far less than the clip needs
    ASSERT_EQ(OpenWriter(path, &video, &audio, attributes.Get(), &writer, &videoIndex, &audioIndex), S_OK);
    // Later writes may already report the failure; none may crash.
    const HRESULT written = WriteClip(writer.Get(), videoIndex, video, 60, audioIndex, audio, 88200);
    EXPECT_TRUE(written == S_OK || written == HRESULT_FROM_WIN32(223)) << std::hex << written;
    ASSERT_EQ(writer->Finalize(), S_OK);
    ASSERT_TRUE(callback->WaitForFinalize());
  }
  writer = nullptr;
  attributes = nullptr;
  {
    std::lock_guard<std::mutex> lock(callback->mutex_);
    EXPECT_EQ(callback->finalizeCalls_, 1);
    EXPECT_EQ(callback->status_, HRESULT_FROM_WIN32(223));  // ERROR_FILE_TOO_LARGE
  }
  callback->Release();
}

// A null callback stored under the key (the host could not allocate its
// callback object): the writer finishes synchronously instead.
TEST_F(MfTest, NullCallbackMeansSynchronousFinalize) {
  const std::string path = TempPath("nullcallback.wma");
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(MFCreateAttributes(&attributes, 2), S_OK);
  attributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, nullptr);
  AudioSpec audio;
  audio.subtype = MFAudioFormat_WMAudioV8;
  ComPtr<IMFSinkWriter> writer;
  DWORD videoIndex = 0, audioIndex = 0;
  ASSERT_EQ(OpenWriter(path, nullptr, &audio, attributes.Get(), &writer, &videoIndex, &audioIndex), S_OK);
  ASSERT_EQ(WriteClip(writer.Get(), kNoStream, VideoSpec(), 0, audioIndex, audio, 44100), S_OK);
  ASSERT_EQ(writer->Finalize(), S_OK);
  // Complete as soon as Finalize has returned.
  const kx::test::FileReport file = kx::test::ReadMediaFile(path);
  ASSERT_TRUE(file.opened);
  ASSERT_NE(file.Find(AVMEDIA_TYPE_AUDIO), nullptr);
  EXPECT_EQ(file.Find(AVMEDIA_TYPE_AUDIO)->decodeErrors, 0);
}

// Released without Finalize: the file is still closed properly.
struct UnfinishedCase {
  const char* name;
  const char* extension;
  const GUID* video;
  const GUID* audio;
};

class ReleasedWithoutFinalize : public MfTest, public ::testing::WithParamInterface<UnfinishedCase> {};

TEST_P(ReleasedWithoutFinalize, LeavesAPlayableFile) {
  const UnfinishedCase& c = GetParam();
  const std::string path = TempPath(std::string("unfinished") + c.extension);
  VideoSpec video;
  video.subtype = *c.video;
  AudioSpec audio;
  audio.subtype = *c.audio;
  {
    ComPtr<IMFSinkWriter> writer;
    DWORD videoIndex = 0, audioIndex = 0;
    ASSERT_EQ(OpenWriter(path, &video, &audio, nullptr, &writer, &videoIndex, &audioIndex), S_OK) << c.name;
    ASSERT_EQ(WriteClip(writer.Get(), videoIndex, video, 20, audioIndex, audio, 29400), S_OK) << c.name;
  }
  EXPECT_EQ(KxSinkWriterHeldInputs(), 0) << c.name;
  const kx::test::FileReport file = kx::test::ReadMediaFile(path);
  ASSERT_TRUE(file.opened) << c.name;
  const kx::test::StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr) << c.name;
  EXPECT_EQ(v->decodedFrames, 20) << c.name;
  EXPECT_EQ(v->decodeErrors, 0) << c.name;
  const kx::test::StreamReport* a = file.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(a, nullptr) << c.name;
  EXPECT_GE(a->decodedSamples, 29400 - 2048) << c.name;
  EXPECT_NEAR(file.durationSeconds, 20 / 30.0, 0.1) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Containers, ReleasedWithoutFinalize,
    ::testing::Values(UnfinishedCase{"wmv", ".wmv", &MFVideoFormat_WMV2, &MFAudioFormat_WMAudioV8},
                      UnfinishedCase{"mp4", ".mp4", &MFVideoFormat_H264, &MFAudioFormat_AAC}),
    [](const ::testing::TestParamInfo<UnfinishedCase>& info) { return info.param.name; });

TEST_F(MfTest, WriterReleasedBeforeWritingLeavesNoThreadsOrSamples) {
  const std::string path = TempPath("never.wmv");
  ComPtr<IMFSinkWriter> writer;
  const std::u16string widePath = Wide(path);
  ASSERT_EQ(MFCreateSinkWriterFromURL(widePath.c_str(), nullptr, nullptr, &writer), S_OK);
  VideoSpec video;
  video.subtype = MFVideoFormat_WMV2;
  ComPtr<IMFMediaType> output, input;
  ASSERT_EQ(MakeVideoOutputType(video, &output), S_OK);
  ASSERT_EQ(MakeVideoInputType(video, &input), S_OK);
  DWORD index = 0;
  ASSERT_EQ(writer->AddStream(output.Get(), &index), S_OK);
  ASSERT_EQ(writer->SetInputMediaType(index, input.Get(), nullptr), S_OK);
  writer = nullptr;
  EXPECT_EQ(KxSinkWriterHeldInputs(), 0);
}

// A producer far faster than the encoder: WriteSample blocks instead of
// queueing without end, so the samples held at any moment stay few.
struct FloodCase {
  const char* name;
  const char* extension;
  const GUID* subtype;
  // Queue depth, the picture each worker has taken, those the encoder still
  // references, and the one the blocked caller is handing in.
  int64_t maxHeld;
};

class FastProducer : public MfTest, public ::testing::WithParamInterface<FloodCase> {};

TEST_P(FastProducer, StaysWithinBoundedMemory) {
  const FloodCase& c = GetParam();
  const std::string path = TempPath(std::string("flood") + c.extension);
  VideoSpec video;
  video.subtype = *c.subtype;
  video.width = 320;
  video.height = 240;
  ComPtr<IMFSinkWriter> writer;
  DWORD videoIndex = 0, audioIndex = 0;
  ASSERT_EQ(OpenWriter(path, &video, nullptr, nullptr, &writer, &videoIndex, &audioIndex), S_OK) << c.name;
  // One picture sample, written again and again with new times: producing
  // costs nothing, so only the queue can hold the producer back.
  ComPtr<IMFSample> sample;
  ASSERT_EQ(MakeVideoSample(video, 0, &sample), S_OK);
  KxSinkWriterResetPeakHeldInputs();
  constexpr int kFrames = 120;
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(sample->SetSampleTime(VideoFrameTime(video, i)), S_OK);
    ASSERT_EQ(writer->WriteSample(videoIndex, sample.Get()), S_OK) << c.name;
  }
  const int64_t peak = KxSinkWriterPeakHeldInputs();
  RecordProperty("peak_held_samples", static_cast<int>(peak));
  ASSERT_EQ(writer->Finalize(), S_OK) << c.name;
  writer = nullptr;
  EXPECT_LE(peak, c.maxHeld) << c.name;
  EXPECT_GE(peak, 1) << c.name;
  EXPECT_EQ(KxSinkWriterHeldInputs(), 0) << c.name;
  const kx::test::FileReport file = kx::test::ReadMediaFile(path);
  const kx::test::StreamReport* v = file.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr) << c.name;
  EXPECT_EQ(v->decodedFrames, kFrames) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, FastProducer,
    ::testing::Values(FloodCase{"h264", ".mp4", &MFVideoFormat_H264, 4 + 1 + 2 + 1},
                      // Two GOP lanes of up to one GOP (12 pictures) each.
                      FloodCase{"wmv2", ".wmv", &MFVideoFormat_WMV2, 2 * (12 + 1 + 2) + 1}),
    [](const ::testing::TestParamInfo<FloodCase>& info) { return info.param.name; });

}  // namespace
}  // namespace sinkwriter_test
