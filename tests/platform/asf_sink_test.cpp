// The layer's ASF media sink on what the plug-in's remux round trips cannot
// reach: the media type pointers it refuses, a file finished exactly once
// whichever way it ends, the refusals of a finalized and of a shut-down sink,
// and a full disk. Native only: the layer's own sink.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
}

#include "fake_com.h"
#include "media_probe.h"
#include "temp_dir.h"

namespace kx::test {
namespace {

ComPtr<IMFMediaType> Audio(GUID subtype, UINT32 channels) {
  const ComPtr<IMFMediaType> type = NewType(MFMediaType_Audio, subtype);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 22050);
  type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 2000);
  type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 743);
  const uint8_t userData[6] = {0, 0, 1, 0, 0, 0};
  type->SetBlob(MF_MT_USER_DATA, userData, sizeof userData);
  return type;
}
// A sample of `size` bytes of 0x5A.
ComPtr<IMFSample> SampleOf(DWORD size, LONGLONG time, LONGLONG duration) {
  return kx::test::SampleOf(std::vector<uint8_t>(size, 0x5A), time, duration);
}

// A profile with one stream (number 1) of `type` (null: one-channel WMA 8),
// its content information and the activated sink for `path`, as the library
// makes them; and with `stream`, the stream's sink.
HRESULT OpenSink(const std::string& path, ComPtr<IMFMediaSink>& sink, IMFStreamSink** stream = nullptr,
                 IMFMediaType* type = nullptr) {
  const ComPtr<IMFMediaType> wma = Audio(MFAudioFormat_WMAudioV8, 1);
  ComPtr<IMFASFContentInfo> info;
  ComPtr<IMFASFProfile> profile;
  ComPtr<IMFASFStreamConfig> config;
  ComPtr<IMFActivate> activate;
  HRESULT hr = MFCreateASFContentInfo(&info);
  if (SUCCEEDED(hr)) hr = MFCreateASFProfile(&profile);
  if (SUCCEEDED(hr)) hr = profile->CreateStream(type ? type : wma.Get(), &config);
  if (SUCCEEDED(hr)) hr = config->SetStreamNumber(1);
  if (SUCCEEDED(hr)) hr = profile->SetStream(config.Get());
  if (SUCCEEDED(hr)) hr = info->SetProfile(profile.Get());
  if (SUCCEEDED(hr)) hr = MFCreateASFMediaSinkActivate(WidePath(path).c_str(), info.Get(), &activate);
  if (SUCCEEDED(hr)) hr = activate->ActivateObject(IID_PPV_ARGS(&sink));
  if (SUCCEEDED(hr)) hr = sink->SetPresentationClock(nullptr);
  if (SUCCEEDED(hr) && stream != nullptr) hr = sink->GetStreamSinkById(1, stream);
  return hr;
}

// Waits for the finalize and hands on EndFinalize's result.
class FinalizeWait final : public Fake<IMFAsyncCallback> {
 public:
  explicit FinalizeWait(IMFFinalizableMediaSink* finalizable) : sink(finalizable) {}
  HRESULT STDMETHODCALLTYPE GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(IMFAsyncResult* result) override {
    return status.set_value(sink->EndFinalize(result)), S_OK;
  }
  IMFFinalizableMediaSink* const sink;
  std::promise<HRESULT> status;
};

class AsfSink : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_FULL)); }
  void TearDown() override { MFShutdown(); }
  TempDir dir_;
};

// What a caller may pass that the sink refuses, each with its result and
// nothing followed or written.
TEST_F(AsfSink, RefusalsTable) {
  ComPtr<IMFASFProfile> profile;
  ASSERT_EQ(S_OK, MFCreateASFProfile(&profile));
  {
    // Checked before anything else is made, while nothing can have taken
    // its address yet.
    ComPtr<IMFASFStreamConfig> config;
    IMFMediaType* dangling = Audio(MFAudioFormat_WMAudioV8, 2).Get();
    EXPECT_EQ(E_INVALIDARG, profile->CreateStream(dangling, &config)) << "a released media type";
  }
  const ComPtr<IMFMediaType> videoWithoutSize = Audio(MFVideoFormat_WMV3, 2);
  videoWithoutSize->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  auto wrapped = Make<MediaTypeOver>();
  Audio(MFAudioFormat_WMAudioV8, 2)->CopyAllItems(wrapped.Get());
  uint64_t garbage[8] = {};
  const ComPtr<IMFMediaType> unknownTag = Audio(MFVideoFormat_H264, 2), noChannels = Audio(MFAudioFormat_WMAudioV8, 0);
  const struct { const char* what; IMFMediaType* type; HRESULT result; } types[] = {
      {"bytes that are no object", reinterpret_cast<IMFMediaType*>(garbage), E_INVALIDARG},
      {"a media type made elsewhere", wrapped.Get(), E_INVALIDARG},
      {"null", nullptr, E_INVALIDARG},
      {"no wave format tag known", unknownTag.Get(), MF_E_INVALIDMEDIATYPE},
      {"no channels", noChannels.Get(), MF_E_INVALIDMEDIATYPE},
      {"video without a frame size", videoWithoutSize.Get(), MF_E_INVALIDMEDIATYPE},
  };
  for (const auto& c : types) {
    ComPtr<IMFASFStreamConfig> config;
    EXPECT_EQ(c.result, profile->CreateStream(c.type, &config)) << c.what;
    EXPECT_FALSE(config) << c.what;
  }
  ComPtr<IMFASFStreamConfig> config;
  ASSERT_EQ(S_OK, profile->CreateStream(Audio(MFAudioFormat_WMAudio_Lossless, 2).Get(), &config));
  EXPECT_EQ(E_INVALIDARG, config->SetStreamNumber(128)) << "ASF stream numbers are 1 to 127";

  ComPtr<IMFASFContentInfo> info;
  ASSERT_EQ(S_OK, MFCreateASFContentInfo(&info));
  ComPtr<IMFActivate> activate;
  EXPECT_EQ(E_INVALIDARG, MFCreateASFMediaSinkActivate(u"", info.Get(), &activate)) << "an empty path";
  ComPtr<IMFMediaSink> sink;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
            OpenSink((dir_ / "missing" / "x.wma").string(), sink));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
}

// The file is finished once, by whichever comes first: Shutdown, the last
// release of a stream sink (which keeps its sink alive) or a finalize; all
// three give the same bytes. A finalized sink refuses samples, a shut-down
// one everything. A full disk fails the writes or the finish, never silently.
TEST_F(AsfSink, FinishesOnceHoweverItEndsAndReportsWriteErrors) {
  enum class End { kShutdown, kLastRelease, kFinalize };
  auto write = [&](const std::string& path, End end, HRESULT* lastWrite) {
    ComPtr<IMFMediaSink> sink;
    ComPtr<IMFStreamSink> stream;
    HRESULT hr = OpenSink(path, sink, &stream);
    if (FAILED(hr)) return hr;
    for (int i = 0; i < 400 && SUCCEEDED(hr); ++i) {
      hr = stream->ProcessSample(SampleOf(743, i * 2971428LL, 2971428).Get());
    }
    // An empty sample is taken and leaves no trace in the file.
    if (SUCCEEDED(hr)) hr = stream->ProcessSample(SampleOf(0, 400 * 2971428LL, 0).Get());
    *lastWrite = hr;
    if (end == End::kShutdown) return sink->Shutdown();
    if (end == End::kLastRelease) return sink = nullptr, S_OK;  // the stream sink holds the last reference
    ComPtr<IMFFinalizableMediaSink> finalizable;
    EXPECT_EQ(S_OK, sink->QueryInterface(IID_PPV_ARGS(&finalizable)));
    auto wait = Make<FinalizeWait>(finalizable.Get());
    if (FAILED(hr = finalizable->BeginFinalize(wait.Get(), nullptr))) return hr;
    hr = wait->status.get_future().get();
    const ComPtr<IMFSample> late = SampleOf(1, 0, 0);
    EXPECT_EQ(MF_E_INVALID_STATE_TRANSITION, stream->ProcessSample(late.Get())) << "after finalize";
    EXPECT_EQ(S_OK, sink->Shutdown());
    EXPECT_EQ(MF_E_INVALID_STATE_TRANSITION, stream->ProcessSample(late.Get())) << "after shutdown";
    ComPtr<IMFStreamSink> none;
    for (HRESULT after : {sink->GetStreamSinkById(1, &none), sink->SetPresentationClock(nullptr),
                          finalizable->BeginFinalize(wait.Get(), nullptr), sink->Shutdown()}) {
      EXPECT_EQ(MF_E_SHUTDOWN, after);
    }
    return hr;
  };
  for (End end : {End::kShutdown, End::kLastRelease, End::kFinalize}) {
    HRESULT lastWrite = E_FAIL;
    const auto path = dir_ / ("end" + std::to_string(static_cast<int>(end)) + ".wma");
    ASSERT_EQ(S_OK, write(path.string(), end, &lastWrite)) << static_cast<int>(end);
    EXPECT_EQ(S_OK, lastWrite);
    EXPECT_EQ(FileBytes(dir_ / "end0.wma"), FileBytes(path)) << "finished as Shutdown finishes it: " << static_cast<int>(end);
  }
  EXPECT_GT(FileBytes(dir_ / "end0.wma").size(), 400u * 743);
  const FileReport report = ReadMediaFile((dir_ / "end0.wma").string());
  ASSERT_EQ(1u, report.streams.size()) << report.error;
  EXPECT_EQ(400, report.streams[0].packets);
  EXPECT_NEAR(400 * 0.2971428, report.streams[0].durationSeconds, 0.01);

  HRESULT lastWrite = S_OK;
  const HRESULT full = write("/dev/full", End::kShutdown, &lastWrite);
  EXPECT_TRUE(full == HRESULT_FROM_WIN32(ERROR_DISK_FULL) || lastWrite == HRESULT_FROM_WIN32(ERROR_DISK_FULL))
      << std::hex << full << " " << lastWrite;
}

// What a caller hands a stream sink: strictly increasing times closer than
// the container's millisecond are all taken (only a time before the one
// before is refused), times and durations at the ends of the 64-bit range
// are refused or kept within the container, and a sample larger than ASF
// readers take is refused. Every sample taken is in the file.
TEST_F(AsfSink, TimesAndSizesTheContainerCannotKeepAreRefusedOthersAllTaken) {
  const auto path = dir_ / "times.wma";
  ComPtr<IMFMediaSink> sink;
  ComPtr<IMFStreamSink> stream;
  ASSERT_EQ(S_OK, OpenSink(path.string(), sink, &stream));
  int taken = 0;
  LONGLONG time = 0;
  for (int i = 0; i < 600; ++i, time += 1 + (i * 7919) % 9999) {  // 0.1 us to 1 ms apart
    ASSERT_EQ(S_OK, stream->ProcessSample(SampleOf(10, time, 1000).Get())) << i;
    ++taken;
  }
  const struct { const char* what; LONGLONG time, duration; DWORD size; HRESULT result; } cases[] = {
      {"before the one before", time - 20000, 0, 10, MF_E_INVALID_TIMESTAMP},
      {"the largest duration", time, INT64_MAX, 10, S_OK},
      {"the smallest duration", time + 1, INT64_MIN, 10, S_OK},
      {"the largest time", INT64_MAX, INT64_MAX, 10, MF_E_INVALID_TIMESTAMP},
      {"16 MiB", time + 2, 0, 1 << 24, E_INVALIDARG},
      {"16 MiB less a byte", time + 3, 0, (1 << 24) - 1, S_OK},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.result, stream->ProcessSample(SampleOf(c.size, c.time, c.duration).Get())) << c.what;
    taken += c.result == S_OK;
  }
  ASSERT_EQ(S_OK, sink->Shutdown());
  const FileReport report = ReadMediaFile(path.string());
  ASSERT_EQ(1u, report.streams.size()) << report.error;
  EXPECT_EQ(taken, report.streams[0].packets);
}

// A sink shut down or released before its set-up is complete (a set-up
// that failed once the sink was made) leaves the path as it was.
TEST_F(AsfSink, AnAbandonedSinkLeavesThePathAsItWas) {
  for (const char* name : {"shut-down.wma", "released.wma", "fresh.wma"}) {
    const auto path = dir_ / name;
    if (name[0] != 'f') std::ofstream(path) << "the host's own file";
    ComPtr<IMFMediaSink> sink;
    ASSERT_EQ(S_OK, OpenSink(path.string(), sink));
    EXPECT_EQ(S_OK, name[0] == 's' ? sink->Shutdown() : S_OK);
    sink = nullptr;
    EXPECT_EQ(FileBytes(path), name[0] != 'f' ? "the host's own file" : "");
    EXPECT_EQ(std::filesystem::exists(path), name[0] != 'f') << name;
  }
}

// A stream whose media type names no rate (packets copied from another
// file) counts in the file's maximum bit rate with the rate it was written at.
TEST_F(AsfSink, MaximumBitRateCountsAStreamWithoutADeclaredRate) {
  const ComPtr<IMFMediaType> video = NewType(MFMediaType_Video, MFVideoFormat_WMV2);
  MFSetAttributeSize(video.Get(), MF_MT_FRAME_SIZE, 320, 240);
  const auto path = (dir_ / "copied.wmv").string();
  {
    ComPtr<IMFMediaSink> sink;
    ComPtr<IMFStreamSink> stream;
    ASSERT_EQ(S_OK, OpenSink(path, sink, &stream, video.Get()));
    for (int i = 0; i < 50; ++i) ASSERT_EQ(S_OK, stream->ProcessSample(SampleOf(2500, i * 400000LL, 400000).Get()));
    ASSERT_EQ(S_OK, sink->Shutdown());
  }
  // 2500 bytes every 40 ms.
  EXPECT_EQ("500000\n", Exiftool(path, "-n -MaxBitrate"));
}

// A name that starts like a URL is a file name: each file lands under its
// literal name (in the current folder). A sink holds its file for its life:
// a second sink on the path is refused with the sharing violation when its
// set-up completes, and the first one's file is whole.
TEST_F(AsfSink, WritesLocalFilesUnderTheirNamesAndHoldsThem) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  std::vector<std::string> names;
  for (int output = 0; output < 2; ++output) {
    void* opaque = nullptr;
    while (const char* name = avio_enum_protocols(&opaque, output)) names.push_back(std::string(name) + ":1.wma");
  }
  for (const std::string& name : names) {
    ComPtr<IMFMediaSink> sink, second;
    ComPtr<IMFStreamSink> stream, secondStream;
    HRESULT hr = OpenSink(name, sink, &stream);
    if (SUCCEEDED(hr)) hr = stream->ProcessSample(SampleOf(743, 0, 2971428).Get());
    // The sink opens its path when its set-up is complete: the second one's
    // stream sink is refused there.
    EXPECT_EQ(S_OK, OpenSink(name, second)) << name;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION),
              second ? second->GetStreamSinkById(1, &secondStream) : E_POINTER) << name;
    if (SUCCEEDED(hr)) hr = sink->Shutdown();
    EXPECT_EQ(S_OK, hr) << name;
    const FileReport report = ReadMediaFile((dir_.path() / name).string());
    EXPECT_EQ(1, report.streams.empty() ? 0 : report.streams[0].packets) << name;
  }
  std::filesystem::current_path(previous);
}

// A file copied while it is being written (as a crash would leave it) tells
// its length within a few seconds: the header keeps up with the data.
TEST_F(AsfSink, AFileCopiedWhileWritingTellsItsLength) {
  const auto path = dir_ / "live.wma", copy = dir_ / "copy.wma";
  ComPtr<IMFMediaSink> sink;
  ComPtr<IMFStreamSink> stream;
  ASSERT_EQ(S_OK, OpenSink(path.string(), sink, &stream));
  for (int i = 0; i < 41; ++i) {  // 12 s
    ASSERT_EQ(S_OK, stream->ProcessSample(SampleOf(743, i * 2971428LL, 2971428).Get()));
    if (i == 27) std::filesystem::copy_file(path, copy);  // 8 s handed in
  }
  for (int cut : {100, 80}) {  // and the copy cut short, as by a crash before a refresh
    std::filesystem::resize_file(copy, std::filesystem::file_size(copy) * cut / 100);
    const FileReport report = ReadMediaFile(copy.string());
    ASSERT_EQ(1u, report.streams.size()) << report.error;
    const std::string told = RunCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + copy.string() + "'");
    EXPECT_NEAR(8.0, std::atof(told.c_str()), 5.0) << cut << ": " << told;
    EXPECT_GT(report.streams[0].packets, 8) << cut;
  }
  EXPECT_EQ(S_OK, sink->Shutdown());
  EXPECT_NEAR(41 * 0.2971428, ReadMediaFile(path.string()).durationSeconds, 0.01);
}

}  // namespace
}  // namespace kx::test
