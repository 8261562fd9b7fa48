// The encoder's lifecycle against a fake sink writer: opening, the order of
// the streams, finishing on close or on the host's finish request, the XMP
// hand-off, the completion callback, and the refusals that keep a close
// from waiting forever.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fakes.h"

namespace sinkwriter_test {
namespace {

const AudioCandidate kStereo16At44100 = {2, 44100, 16, 16000};

// A path in the temporary folder that holds a plain text file: neither ASF
// nor MP4, so the XMP injector refuses it.
struct TextFile {
  explicit TextFile(const char* name) : path(std::filesystem::temp_directory_path() / name) {
    std::ofstream(path) << "not a media file\n";
  }
  ~TextFile() {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  WideString WidePath() const {
    WideString out;
    for (char16_t unit : path.u16string()) out += static_cast<WCHAR>(unit);
    return out;
  }
  std::filesystem::path path;
};

class EncoderLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    platform.audioTypes.push_back(MakeAudioType(MFAudioFormat_WMAudioV8, kStereo16At44100));
    ASSERT_TRUE(platform.audioTypes.back());
  }

  MediaFrame VideoFrame(int64_t pts) {
    MediaFrame frame{};
    picture.assign(320 * 240 * 3 / 2, 0x40);
    frame.video.pData[0] = picture.data();
    frame.video.pData[1] = picture.data() + 320 * 240;
    frame.video.pData[2] = picture.data() + 320 * 240 + 160 * 120;
    frame.video.nStride[0] = 320;
    frame.video.nStride[1] = 160;
    frame.video.nStride[2] = 160;
    frame.pts = pts;
    return frame;
  }

  MediaFrame AudioFrame(int64_t pts) {
    MediaFrame frame{};
    pcm.assign(4096, 0x11);
    frame.audio.pData = pcm.data();
    frame.audio.nBytes = 4096;
    frame.pts = pts;
    return frame;
  }

  FakePlatform platform;
  LogCapture log;
  std::vector<uint8_t> picture;
  std::vector<uint8_t> pcm;
};

TEST_F(EncoderLifecycle, WholeLogOfOneCreateWriteCloseMatchesTheTranscript) {
  TextFile file("kx_sinkwriter_transcript.wmv");
  platform.writer->offersEx = false;
  {
    SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
    ASSERT_EQ(encoder.Init(file.WidePath().c_str()), 1);
    const char packet[] = "<x:xmpmeta/>";
    encoder.SetXmpString(packet, sizeof packet - 1);

    MediaFrame video0 = VideoFrame(0);
    MediaFrame audio0 = AudioFrame(0);
    MediaFrame video1 = VideoFrame(400000);
    MediaFrame audio1 = AudioFrame(232199);
    EXPECT_EQ(encoder.EncodeVideoFrame(&video0), 1);
    EXPECT_EQ(encoder.EncodeAudioFrame(&audio0), 1);
    EXPECT_EQ(encoder.EncodeVideoFrame(&video1), 1);
    platform.writer->refuse["WriteSample"] = MF_E_NOTACCEPTING;
    EXPECT_EQ(encoder.EncodeAudioFrame(&audio1), 0);
    platform.writer->refuse.clear();
  }
  const std::vector<std::string> expected = {
      FailureLine("info", "", E_NOINTERFACE),
      FailureLine("error", "mfsinkwriter->WriteSample(audioStreamIndex, sample)", MF_E_NOTACCEPTING),
      "Failed to add xmp object for ASF file.",
      "release \n",
  };
  const std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), expected.size()) << ::testing::PrintToString(lines);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "log line " << i;

  const std::vector<std::string> expectedCalls = {
      "AddStream",      "SetInputMediaType(0)", "AddStream",      "SetInputMediaType(1)",
      "BeginWriting",   "WriteSample(0)",       "WriteSample(1)", "WriteSample(0)",
      "WriteSample(1)", "NotifyEndOfSegment(0xFFFFFFFE)", "Finalize",
  };
  EXPECT_EQ(platform.writer->calls, expectedCalls);
  EXPECT_TRUE(platform.writer->writerDestroyed);
}

TEST_F(EncoderLifecycle, InitOpensTheWriterWithTheCallbackAndLowLatency) {
  const WideString path = Wide("out.mp4");
  SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
  ASSERT_EQ(encoder.Init(path.c_str()), 1);
  EXPECT_EQ(platform.createCalls, 1);
  EXPECT_TRUE(platform.writer->url == path);
  EXPECT_TRUE(platform.writer->hadCallback);
  EXPECT_EQ(platform.writer->lowLatency, 1u);
  EXPECT_EQ(encoder.FileName(), "out.mp4");
}

TEST_F(EncoderLifecycle, VideoIsAddedBeforeAudio) {
  SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
  ASSERT_EQ(encoder.Init(Wide("order.wmv").c_str()), 1);
  EXPECT_EQ(encoder.VideoStreamIndex(), 0u);
  EXPECT_EQ(encoder.AudioStreamIndex(), 1u);
  ASSERT_EQ(platform.writer->outputTypes.size(), 2u);
  GUID major{};
  ASSERT_SUCCEEDED(platform.writer->outputTypes[0]->GetGUID(MF_MT_MAJOR_TYPE, &major));
  EXPECT_TRUE(IsEqualGUID(major, MFMediaType_Video));
  ASSERT_SUCCEEDED(platform.writer->outputTypes[1]->GetGUID(MF_MT_MAJOR_TYPE, &major));
  EXPECT_TRUE(IsEqualGUID(major, MFMediaType_Audio));
}

TEST_F(EncoderLifecycle, SingleStreamFilesAddOnlyTheirStream) {
  StreamSetup audioOnly;
  audioOnly.video = false;
  {
    SinkWriterEncoder encoder(MakeParams(audioOnly), platform.EntryPoints());
    ASSERT_EQ(encoder.Init(Wide("audio.wma").c_str()), 1);
    EXPECT_EQ(encoder.AudioStreamIndex(), 0u);
    EXPECT_EQ(encoder.VideoStreamIndex(), 0xFFFFFFFFu);
  }
  FakePlatform second;
  StreamSetup videoOnly;
  videoOnly.audio = false;
  SinkWriterEncoder encoder(MakeParams(videoOnly), second.EntryPoints());
  ASSERT_EQ(encoder.Init(Wide("video.wmv").c_str()), 1);
  EXPECT_EQ(encoder.VideoStreamIndex(), 0u);
  EXPECT_EQ(encoder.AudioStreamIndex(), 0xFFFFFFFFu);
  EXPECT_EQ(second.listCalls, 0);
}

TEST_F(EncoderLifecycle, MissingSinkWriterExIsOnlyAnInfoLine) {
  platform.writer->offersEx = false;
  SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
  EXPECT_EQ(encoder.Init(Wide("noex.wmv").c_str()), 1);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{FailureLine("info", "", E_NOINTERFACE)});
}

TEST_F(EncoderLifecycle, FinishRequestFinalizesOnceAndCloseInjectsNoXmp) {
  TextFile file("kx_sinkwriter_finish.wmv");
  {
    SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
    ASSERT_EQ(encoder.Init(file.WidePath().c_str()), 1);
    encoder.SetXmpString("<x/>", 4);
    MediaFrame finish{};  // null planes: the request reads no picture
    finish.duration = KX_FINISH_REQUEST_DURATION;
    EXPECT_EQ(encoder.EncodeVideoFrame(&finish), 0);
    EXPECT_TRUE(encoder.Finalized());
  }
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"kx_Traxel info [Media Foundation ]: FlushEncode\n", "release \n"}));
  const std::vector<std::string>& calls = platform.writer->calls;
  const std::vector<std::string> tail(calls.end() - 2, calls.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"NotifyEndOfSegment(0xFFFFFFFE)", "Finalize"}));
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "Finalize"), 1);
}

TEST_F(EncoderLifecycle, FinishRequestOnAFileWithoutVideoDoesNothing) {
  StreamSetup audioOnly;
  audioOnly.video = false;
  SinkWriterEncoder encoder(MakeParams(audioOnly), platform.EntryPoints());
  ASSERT_EQ(encoder.Init(Wide("audio.wma").c_str()), 1);
  MediaFrame finish{};
  finish.duration = KX_FINISH_REQUEST_DURATION;
  EXPECT_EQ(encoder.EncodeVideoFrame(&finish), 0);
  EXPECT_FALSE(encoder.Finalized());
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(EncoderLifecycle, CloseWithoutXmpPassesNoPacketAndLogsNoFailure) {
  TextFile file("kx_sinkwriter_noxmp.wmv");
  {
    SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
    ASSERT_EQ(encoder.Init(file.WidePath().c_str()), 1);
    encoder.SetXmpString(nullptr, 12);
    encoder.SetXmpString("abc", 0);
    EXPECT_TRUE(encoder.XmpData().empty());
  }
  // A null packet leaves the file alone and counts as written.
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"release \n"});
}

TEST_F(EncoderLifecycle, CompletionOnAWriterThreadEndsTheClose) {
  platform.writer->finalizeOnThread = true;
  {
    SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
    ASSERT_EQ(encoder.Init(Wide("threaded.wmv").c_str()), 1);
    MediaFrame video = VideoFrame(0);
    EXPECT_EQ(encoder.EncodeVideoFrame(&video), 1);
  }
  EXPECT_TRUE(platform.writer->writerDestroyed);
  EXPECT_EQ(log.Lines().back(), "release \n");
}

// Finalize returns at once; a finalize that fails later (a full disk) is
// reported only through the callback, and the close says so in the log,
// whoever started the finalizing.
TEST_F(EncoderLifecycle, AFinalizeThatFailsLaterIsLogged) {
  constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070);
  for (const bool finishRequest : {false, true}) {
    FakePlatform local;
    local.audioTypes = platform.audioTypes;
    local.writer->finalizeOnThread = true;
    local.writer->finalizeStatus = kDiskFull;
    log.Clear();
    {
      SinkWriterEncoder encoder(MakeParams({}), local.EntryPoints());
      ASSERT_EQ(encoder.Init(Wide("full.wmv").c_str()), 1);
      if (finishRequest) {
        ASSERT_EQ(encoder.FlushEncode(), S_OK);
      }
      log.Clear();
    }
    const std::vector<std::string> lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), FailureLine("error", "mfsinkwriter->Finalize()", kDiskFull)) << finishRequest;
    EXPECT_EQ(lines.back(), "release \n");
  }
}

TEST_F(EncoderLifecycle, RefusedFinalizeOnCloseSkipsTheWaitAndTheXmp) {
  for (const char* method : {"NotifyEndOfSegment", "Finalize"}) {
    FakePlatform local;
    local.audioTypes = platform.audioTypes;
    local.writer->refuse[method] = MF_E_INVALIDREQUEST;
    log.Clear();
    {
      SinkWriterEncoder encoder(MakeParams({}), local.EntryPoints());
      ASSERT_EQ(encoder.Init(Wide("refused.wmv").c_str()), 1);
      encoder.SetXmpString("<x/>", 4);
    }
    const std::string callText = std::string(method) == "Finalize"
                                     ? "mfsinkwriter->Finalize()"
                                     : "mfsinkwriter->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS)";
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{FailureLine("error", callText, MF_E_INVALIDREQUEST),
                                                     "release \n"}))
        << method;
  }
}

TEST_F(EncoderLifecycle, FlushEncodeReportsARefusedFinalizeAndCloseTriesAgain) {
  platform.writer->refuse["Finalize"] = MF_E_INVALIDREQUEST;
  SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
  ASSERT_EQ(encoder.Init(Wide("again.wmv").c_str()), 1);
  EXPECT_EQ(encoder.FlushEncode(), MF_E_INVALIDREQUEST);
  EXPECT_FALSE(encoder.Finalized());
  platform.writer->refuse.clear();
}

// --- Init failures: logged, 0, and the object still closes ----------------

struct InitFailureCase {
  const char* name;
  const char* refusedMethod;  // of the writer, or null
  HRESULT createResult;
  const char* expectedLine;   // the step's failure line
  bool finalizesOnClose;
};

class InitFailure : public EncoderLifecycle, public ::testing::WithParamInterface<InitFailureCase> {};

TEST_P(InitFailure, IsLoggedAndTheCloseEnds) {
  const InitFailureCase& c = GetParam();
  if (c.refusedMethod != nullptr) platform.writer->refuse[c.refusedMethod] = E_FAIL;
  platform.createResult = c.createResult;
  const HRESULT hr = FAILED(c.createResult) ? c.createResult : E_FAIL;
  {
    SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
    EXPECT_EQ(encoder.Init(Wide("fail.wmv").c_str()), 0);
  }
  const std::vector<std::string> lines = log.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], FailureLine("error", c.expectedLine, hr));
  const auto& calls = platform.writer->calls;
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "Finalize"), c.finalizesOnClose ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InitFailure,
    ::testing::Values(
        InitFailureCase{"CreateWriter", nullptr, MF_E_UNSUPPORTED_BYTESTREAM_TYPE,
                        "MFCreateSinkWriterFromURL(pFilename, NULL, pIMFAttributes, &mfsinkwriter)", false},
        InitFailureCase{"AddStream", "AddStream", S_OK, "mfsinkwriter->AddStream(videotype, &videoStreamIndex)", true},
        InitFailureCase{"SetInput", "SetInputMediaType", S_OK,
                        "mfsinkwriter->SetInputMediaType(videoStreamIndex, inputvideotype, NULL)", true},
        InitFailureCase{"BeginWriting", "BeginWriting", S_OK, "mfsinkwriter->BeginWriting()", true}),
    [](const ::testing::TestParamInfo<InitFailureCase>& info) { return std::string(info.param.name); });

TEST_F(EncoderLifecycle, FailedVideoSetupAlsoLogsTheInitLine) {
  platform.writer->refuse["AddStream"] = E_FAIL;
  {
    SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
    EXPECT_EQ(encoder.Init(Wide("fail.wmv").c_str()), 0);
  }
  const std::vector<std::string> lines = log.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], FailureLine("error", "CreateVideoMediaType()", E_FAIL));
}

TEST_F(EncoderLifecycle, NoFinalizeEventMeansNoFileAndNoWait) {
  platform.eventFails = true;
  {
    SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
    EXPECT_EQ(encoder.Init(Wide("noevent.wmv").c_str()), 0);
  }
  EXPECT_EQ(platform.createCalls, 0);
  const std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "kx_Traxel error [Media Foundation ]: the finalize callback or its event could not be created\n");
  EXPECT_EQ(lines[1], "release \n");
}

TEST_F(EncoderLifecycle, OverlongPathIsRefusedBeforeAnythingIsCreated) {
  WideString longest(SinkWriterEncoder::kMaxPathChars, static_cast<WCHAR>('a'));
  {
    SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
    EXPECT_EQ(encoder.Init((longest + static_cast<WCHAR>('b')).c_str()), 0);
  }
  EXPECT_EQ(platform.createCalls, 0);
  EXPECT_EQ(log.Lines().front(),
            "kx_Traxel error [Media Foundation ]: the output path is longer than 4095 characters\n");

  // The longest path that fits goes through whole.
  SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
  EXPECT_EQ(encoder.Init(longest.c_str()), 1);
  EXPECT_EQ(encoder.FileName(), std::string(SinkWriterEncoder::kMaxPathChars, 'a'));
}

TEST_F(EncoderLifecycle, MultiByteCharactersAreConvertedWholeOrRefused) {
  // CJK characters take three bytes each in UTF-8: short paths convert,
  // 3000 of them do not fit the 8192-byte buffer. Whatever the ANSI code
  // page, the stored path is never cut.
  for (size_t characters : {size_t{10}, size_t{2700}, size_t{3000}}) {
    FakePlatform local;
    local.audioTypes = platform.audioTypes;
    log.Clear();
    const WideString path = WideString(characters, static_cast<WCHAR>(0x6F22)) + Wide(".wmv");
    const int required = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    ASSERT_GT(required, 0);
    SinkWriterEncoder encoder(MakeParams({}), local.EntryPoints());
    if (required <= 8192) {
      EXPECT_EQ(encoder.Init(path.c_str()), 1) << characters;
      EXPECT_EQ(encoder.FileName().size(), static_cast<size_t>(required - 1)) << characters;
    } else {
      EXPECT_EQ(encoder.Init(path.c_str()), 0) << characters;
      EXPECT_EQ(local.createCalls, 0);
      EXPECT_EQ(log.Lines(), std::vector<std::string>{"kx_Traxel error [Media Foundation ]: the output path does "
                                                      "not fit 8191 bytes in the ANSI code page\n"});
    }
  }
}

TEST_F(EncoderLifecycle, NullPathIsRefused) {
  SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
  EXPECT_EQ(encoder.Init(nullptr), 0);
  EXPECT_EQ(platform.createCalls, 0);
}

TEST_F(EncoderLifecycle, OverlongXmpIsRefusedWithoutReadingIt) {
  SinkWriterEncoder encoder(MakeParams({}), platform.EntryPoints());
  encoder.SetXmpString("<x/>", 4);
  encoder.SetXmpString("<x/>", SIZE_MAX);
  EXPECT_TRUE(encoder.XmpData().empty());
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"The Xmp String is too long."});
}

// --- The completion callback ------------------------------------------------

TEST(SinkWriterCallback, AnswersOnlyItsOwnInterfaces) {
  LogCapture log;
  auto* callback = new CMFSinkWriterCallback(nullptr);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(callback->QueryInterface(IID_IMFSinkWriterEx, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(callback->QueryInterface(IID_IMFSinkWriterCallback, &out), S_OK);
  EXPECT_EQ(out, static_cast<IMFSinkWriterCallback*>(callback));
  EXPECT_EQ(callback->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(callback->OnMarker(0, nullptr), S_OK);
  // A null event: OnFinalize still answers, with the status it was given.
  EXPECT_EQ(callback->OnFinalize(MF_E_INVALIDREQUEST), MF_E_INVALIDREQUEST);
  EXPECT_EQ(callback->Release(), 2u);
  EXPECT_EQ(callback->Release(), 1u);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(callback->Release(), 0u);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"release \n"});
}

TEST(SinkWriterCallback, OnFinalizeSignalsTheEventEvenForAFailedFinalize) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  {
    LogCapture log;
    kx::ComPtr<CMFSinkWriterCallback> callback;
    callback.Attach(new CMFSinkWriterCallback(event));
    EXPECT_EQ(callback->OnFinalize(E_FAIL), E_FAIL);
  }
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  CloseHandle(event);
}

}  // namespace
}  // namespace sinkwriter_test
