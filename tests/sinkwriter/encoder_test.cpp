// SinkWriterEncoder against the fake platform: the exact log and call
// transcript of a file's life, the ways a file is finished, refused opens,
// the choice of the audio output type, and what each sample holds.
#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "temp_dir.h"

namespace kx::test {
namespace {

using Lines = std::vector<std::string>;
constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070);
const std::string kRelease = "release \n";
const std::string kNoXmp = "Failed to add xmp object for ASF file.";

HostRecord Both() { return std::move(HostRecord().Video("WMV2", 320, 240, 25.0).Audio("WMA8", 44100, 2)); }
HostRecord VideoOnly(uint32_t w = 320, uint32_t h = 240, double rate = 25.0, const char* fourcc = "WMV2") {
  return std::move(HostRecord().Video(fourcc, w, h, rate));
}
HostRecord AudioOnly(uint32_t channels = 2, uint32_t bits = 16, uint32_t rate = 44100, const char* fourcc = "WMA8") {
  return std::move(HostRecord().Audio(fourcc, rate, channels, 128000, bits));
}

HostFrame Pcm(const uint8_t* bytes, int32_t count, int64_t pts, int64_t duration = 0) {
  return std::move(HostFrame().Set(host::kPcm, bytes).Set(host::kPcmBytes, count).Times(pts, duration));
}

class Encoder : public ::testing::Test {
 protected:
  // Opens an encoder; unless the test listed candidates, the platform
  // offers one that matches the record's PCM format and bitrate.
  int Open(const HostRecord& record, const WideString& path = FromUtf8("out.wmv")) {
    const auto& audio = record.get()->audio;
    if (offerMatchingType) {
      platform.audioTypes.push_back(
          MakeAudioType({audio.nChannels, audio.nSampleRate, audio.nBitsPerSample, audio.nBitrate / 8}));
    }
    encoder = std::make_unique<SinkWriterEncoder>(*record.get(), platform.EntryPoints());
    return encoder->Init(path.c_str());
  }
  // The path of a plain text file: neither ASF nor MP4, so the XMP
  // injection is refused and says so.
  WideString TextFile() {
    std::ofstream(dir / "text.wmv") << "not a media file\n";
    return WidePath(dir / "text.wmv");
  }
  long Count(const std::string& call) const {
    return static_cast<long>(std::count(platform.writer->calls.begin(), platform.writer->calls.end(), call));
  }
  const std::vector<SampleRecord>& Samples() const { return platform.writer->samples; }

  bool offerMatchingType = true, unused = false;
  TempDir dir;
  FakePlatform platform;
  LogCapture log;
  std::unique_ptr<SinkWriterEncoder> encoder;
};

TEST_F(Encoder, CreateWriteCloseMatchesTheTranscript) {
  platform.writer->offersEx = false;
  ASSERT_EQ(Open(Both(), TextFile()), 1);
  EXPECT_TRUE(platform.writer->hadCallback);
  EXPECT_EQ(platform.writer->lowLatency, 1u);
  encoder->SetXmpString("<x:xmpmeta/>", 12);
  const HostPicture picture(320, 240);
  const HostPcm pcm(1024, 2, 44100);
  EXPECT_EQ(encoder->EncodeVideoFrame(picture.frame()), 1);
  EXPECT_EQ(encoder->EncodeAudioFrame(pcm.frame()), 1);
  platform.writer->refuse["WriteSample"] = MF_E_NOTACCEPTING;
  EXPECT_EQ(encoder->EncodeAudioFrame(pcm.frame()), 0);
  EXPECT_EQ(encoder->Finish(), S_OK);
  EXPECT_EQ(log.Take(), (Lines{FailureLine("", E_NOINTERFACE, "info"),
                               FailureLine("mfsinkwriter->WriteSample(audioStreamIndex, sample)", MF_E_NOTACCEPTING),
                               kNoXmp}));
  const Lines calls = {"AddStream",      "SetInputMediaType(0)", "AddStream",      "SetInputMediaType(1)",
                       "BeginWriting",   "WriteSample(0)",       "WriteSample(1)", "WriteSample(1)",
                       "NotifyEndOfSegment(4294967294)", "Finalize"};
  EXPECT_EQ(platform.writer->calls, calls);
  // Finishing again does nothing; destruction only releases.
  EXPECT_EQ(encoder->Finish(), S_OK);
  encoder.reset();
  EXPECT_EQ(platform.writer->calls, calls);
  EXPECT_EQ(log.Take(), Lines{kRelease});
  EXPECT_TRUE(platform.writer->destroyed);
}

// --- The ways a file is finished ------------------------------------------

// Whether the host's finish request came first, whether a packet was set;
// then what Finish returns, the lines from the request on, Finalize calls.
struct FinishCase {
  const char* name;
  bool finishRequest, xmp;
  void (*setup)(WriterRecord&);
  HRESULT status;
  Lines lines;
  long finalizes;
};

const std::string kFlushLine = "kx_Traxel info [Media Foundation ]: FlushEncode\n";
const std::string kNotifyText = "mfsinkwriter->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS)";

const FinishCase kFinishCases[] = {
    {"CloseInjectsXmp", false, true, [](WriterRecord&) {}, S_OK, {kNoXmp}, 1},
    // A null packet leaves the file alone and counts as written.
    {"CloseWithoutXmp", false, false, [](WriterRecord&) {}, S_OK, {}, 1},
    {"FinishRequestGetsNoXmp", true, true, [](WriterRecord&) {}, S_OK, {kFlushLine}, 1},
    {"CompletionOnAWriterThread", false, false, [](WriterRecord& w) { w.finalizeOnThread = true; }, S_OK, {}, 1},
    {"LateFailureIsLoggedAndReturned", false, true,
     [](WriterRecord& w) { w.finalizeOnThread = true, w.finalizeStatus = kDiskFull; }, kDiskFull,
     {FailureLine("mfsinkwriter->Finalize()", kDiskFull), kNoXmp}, 1},
    {"LateFailureAfterFinishRequest", true, true,
     [](WriterRecord& w) { w.finalizeOnThread = true, w.finalizeStatus = kDiskFull; }, kDiskFull,
     {kFlushLine, FailureLine("mfsinkwriter->Finalize()", kDiskFull)}, 1},
    {"RefusedNotifySkipsWaitAndXmp", false, true,
     [](WriterRecord& w) { w.refuse["NotifyEndOfSegment"] = MF_E_INVALIDREQUEST; }, MF_E_INVALIDREQUEST,
     {FailureLine(kNotifyText, MF_E_INVALIDREQUEST)}, 0},
    {"RefusedFinalizeSkipsWaitAndXmp", false, true,
     [](WriterRecord& w) { w.refuse["Finalize"] = MF_E_INVALIDREQUEST; }, MF_E_INVALIDREQUEST,
     {FailureLine("mfsinkwriter->Finalize()", MF_E_INVALIDREQUEST)}, 1},
    {"RefusedFinishRequestIsTriedAgainOnClose", true, true,
     [](WriterRecord& w) { w.refuse["Finalize"] = MF_E_INVALIDREQUEST; }, MF_E_INVALIDREQUEST,
     {FailureLine("mfsinkwriter->Finalize()", MF_E_INVALIDREQUEST), kFlushLine,
      FailureLine("mfsinkwriter->Finalize()", MF_E_INVALIDREQUEST)},
     2},
};

class Finishing : public Encoder, public ::testing::WithParamInterface<FinishCase> {};

TEST_P(Finishing, LogsReturnsAndFinalizesAsTheCaseSays) {
  const FinishCase& c = GetParam();
  c.setup(*platform.writer);
  ASSERT_EQ(Open(Both(), TextFile()), 1);
  if (c.xmp) encoder->SetXmpString("<x/>", 4);
  log.Clear();
  if (c.finishRequest) {
    HostFrame request;  // null planes: the request reads no picture
    request.Times(0, KX_FINISH_REQUEST_DURATION);
    EXPECT_EQ(encoder->EncodeVideoFrame(request.get()), 0);
  }
  // The status of a finalize that failed later is known only after the wait.
  EXPECT_EQ(encoder->Finish(), c.status);
  EXPECT_EQ(log.Take(), c.lines);
  EXPECT_EQ(Count("Finalize"), c.finalizes);
  encoder.reset();
  EXPECT_EQ(log.Take(), Lines{kRelease});
}

INSTANTIATE_TEST_SUITE_P(Cases, Finishing, ::testing::ValuesIn(kFinishCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Opens that fail: logged, 0, and the file can still be finished ----------

struct OpenCase {  // finalizes: Finalize calls of a Finish afterwards
  const char* name;
  HostRecord (*record)();
  void (*setup)(FakePlatform&);
  WideString path;
  Lines lines;
  long finalizes;
};

const OpenCase kOpenCases[] = {
    {"CreateWriter", Both, [](FakePlatform& p) { p.createResult = MF_E_UNSUPPORTED_BYTESTREAM_TYPE; },
     FromUtf8("a.wmv"),
     {FailureLine("MFCreateSinkWriterFromURL(pFilename, NULL, pIMFAttributes, &mfsinkwriter)",
                  MF_E_UNSUPPORTED_BYTESTREAM_TYPE)},
     0},
    {"AddStream", Both, [](FakePlatform& p) { p.writer->refuse["AddStream"] = E_FAIL; }, FromUtf8("a.wmv"),
     {FailureLine("mfsinkwriter->AddStream(videotype, &videoStreamIndex)", E_FAIL),
      FailureLine("CreateVideoMediaType()", E_FAIL)},
     1},
    {"SetInput", Both, [](FakePlatform& p) { p.writer->refuse["SetInputMediaType"] = E_FAIL; }, FromUtf8("a.wmv"),
     {FailureLine("mfsinkwriter->SetInputMediaType(videoStreamIndex, inputvideotype, NULL)", E_FAIL),
      FailureLine("CreateVideoMediaType()", E_FAIL)},
     1},
    {"BeginWriting", Both, [](FakePlatform& p) { p.writer->refuse["BeginWriting"] = E_FAIL; }, FromUtf8("a.wmv"),
     {FailureLine("mfsinkwriter->BeginWriting()", E_FAIL)}, 1},
    {"AudioTypeList", [] { return AudioOnly(); }, [](FakePlatform& p) { p.listResult = MF_E_TOPO_CODEC_NOT_FOUND; }, FromUtf8("a.wma"),
     {FailureLine("MFTranscodeGetAudioOutputAvailableTypes(audiooutputguid, MFT_ENUM_FLAG_ALL, NULL, &collction)",
                  MF_E_TOPO_CODEC_NOT_FOUND),
      FailureLine("CreateAudioMediaType()", MF_E_TOPO_CODEC_NOT_FOUND)},
     1},
    {"NoFinalizeEvent", Both, [](FakePlatform& p) { p.eventFails = true; }, FromUtf8("a.wmv"),
     {ErrorLine("the finalize callback or its event could not be created")}, 0},
    {"OverlongPath", Both, [](FakePlatform&) {}, WideString(SinkWriterEncoder::kMaxPathChars + 1, 'a'),
     {ErrorLine("the output path is longer than 4095 characters")}, 0},
    // Three bytes each in UTF-8: 3000 of them do not fit 8192 bytes.
    {"PathTooLongForTheCodePage", Both, [](FakePlatform&) {}, WideString(3000, 0x6F22),
     {ErrorLine("the output path does not fit 8191 bytes in the ANSI code page")}, 0},
};

class OpenFailure : public Encoder, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenFailure, IsLoggedAndFinishingDoesNotWaitForever) {
  const OpenCase& c = GetParam();
  if (c.name == std::string("PathTooLongForTheCodePage") &&
      WideCharToMultiByte(CP_ACP, 0, c.path.c_str(), -1, nullptr, 0, nullptr, nullptr) <= 8192) {
    GTEST_SKIP() << "the ANSI code page holds the path in 8192 bytes";
  }
  c.setup(platform);
  EXPECT_EQ(Open(c.record(), c.path), 0);
  EXPECT_EQ(log.Take(), c.lines);
  encoder->Finish();
  EXPECT_EQ(Count("Finalize"), c.finalizes);
  encoder.reset();
  EXPECT_EQ(log.Records().back(), kRelease);
}

INSTANTIATE_TEST_SUITE_P(Steps, OpenFailure, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Encoder, NullPathIsRefusedBeforeAnythingIsCreated) {
  SinkWriterEncoder nullPath(*Both().get(), platform.EntryPoints());
  EXPECT_EQ(nullPath.Init(nullptr), 0);
  EXPECT_EQ(log.Take(), Lines{ErrorLine("no output path given")});
  EXPECT_EQ(platform.createCalls, 0);
}

TEST_F(Encoder, PathsAreConvertedWholeAndXmpTooLongIsRefused) {
  const WideString longest(SinkWriterEncoder::kMaxPathChars, 'a');
  ASSERT_EQ(Open(Both(), longest), 1);
  EXPECT_EQ(encoder->FileName(), ToUtf8(longest));
  encoder = std::make_unique<SinkWriterEncoder>(*Both().get(), platform.EntryPoints());
  const WideString wide = WideString(10, 0x6F22) + FromUtf8(".wmv");
  ASSERT_EQ(encoder->Init(wide.c_str()), 1);
  // Spelled exactly in the ANSI code page (UTF-8 on Linux), or not at all
  // (a Western code page under Wine): never a look-alike name.
  if (encoder->FileName().empty()) {
    std::string lines;
    for (const std::string& line : log.Take()) lines.append(line).append(1, '\n');
    EXPECT_NE(lines.find("cannot be spelled in the ANSI code page"), std::string::npos) << lines;
  } else {
    std::vector<WCHAR> back(wide.size() + 1, 0);
    MultiByteToWideChar(CP_ACP, 0, encoder->FileName().c_str(), -1, back.data(), static_cast<int>(back.size()));
    EXPECT_EQ(WideString(back.data()), wide);
  }
  log.Clear();
  encoder->SetXmpString("<x/>", 4);
  encoder->SetXmpString("<x/>", SIZE_MAX);
  EXPECT_TRUE(encoder->XmpData().empty());
  EXPECT_EQ(log.Take(), Lines{"The Xmp String is too long."});
}

// --- Media types ------------------------------------------------------------

TEST(FrameRate, BecomesTheNominalRatio) {
  const struct { double rate; UINT32 num, den; } cases[] = {{25.0, 25, 1},     {29.97, 30000, 1001}, {29.97002997, 30000, 1001}, {23.976, 24000, 1001},
               {23.98, 24, 1},    {59.94, 60000, 1001}, {30.005, 30, 1},            {14.985, 15, 1},
               {12.5, 13, 1},     {0.3, 0, 1},          {std::numeric_limits<double>::quiet_NaN(), 0, 1},
               {1e12, 0, 1},      {std::numeric_limits<double>::infinity(), 0, 1}};
  for (const auto& c : cases) {
    const auto ratio = SinkWriterEncoder::FrameRateToRatio(c.rate);
    EXPECT_EQ((std::pair{ratio.num, ratio.den}), (std::pair{c.num, c.den})) << c.rate;
  }
}

TEST_F(Encoder, VideoFourCCsNameTheirSubtypeAndVideoComesFirst) {
  const std::pair<const char*, const GUID*> cases[] = {
      {"WMV1", &MFVideoFormat_WMV1}, {"WMV2", &MFVideoFormat_WMV2}, {"WMV3", &MFVideoFormat_WMV3},
      {"HVC1", &MFVideoFormat_WVC1},  // the VC-1 row, not HEVC
      {"W264", &MFVideoFormat_H264}, {"W265", &MFVideoFormat_HEVC}, {"XVID", nullptr}};
  for (const auto& [fourcc, subtype] : cases) {
    platform.writer = std::make_shared<WriterRecord>();
    ASSERT_EQ(Open(VideoOnly(320, 240, 29.97, fourcc).Audio("WMA8", 44100, 2)), 1) << fourcc;
    EXPECT_EQ(encoder->VideoStreamIndex(), 0u);
    EXPECT_EQ(encoder->AudioStreamIndex(), 1u);
    GUID guid{};
    IMFMediaType* output = platform.writer->outputTypes.at(0).Get();
    EXPECT_EQ(SUCCEEDED(output->GetGUID(MF_MT_SUBTYPE, &guid)), subtype != nullptr) << fourcc;
    EXPECT_TRUE(subtype == nullptr || IsEqualGUID(guid, *subtype)) << fourcc;
    EXPECT_EQ(MFGetAttributeUINT64(output, MF_MT_FRAME_RATE, 0), (UINT64{30000} << 32) | 1001) << fourcc;
  }
}

TEST_F(Encoder, PcmInputTypeTruncatesTheBlockAlignment) {
  const UINT32 cases[][5] = {{2, 16, 44100, 4, 176400}, {1, 12, 48000, 1, 48000}, {2, 12, 48000, 3, 144000}};
  for (const auto& c : cases) {
    platform.audioTypes.clear();
    ASSERT_EQ(Open(AudioOnly(c[0], c[1], c[2])), 1);
    IMFMediaType* input = platform.writer->inputTypes.rbegin()->second.Get();  // the latest stream
    EXPECT_EQ((std::pair{MFGetAttributeUINT32(input, MF_MT_AUDIO_BLOCK_ALIGNMENT, 0),
                         MFGetAttributeUINT32(input, MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0)}),
              (std::pair{c[3], c[4]})) << c[0] << "x" << c[1];
  }
}

// The audio output type: the first candidate, in the platform's order, with
// the exact PCM format and the exact rounded bitrate; else the first with
// the exact format. A candidate of 0 channels is no media type at all.
struct ChoiceCase {
  const char* name;
  std::vector<AudioCandidate> candidates;
  UINT32 bitrate;
  int chosen;  // -1: Init fails with `lines`, and no stream is added
  Lines lines;
  int conversionFailsAt = -1;
  UINT32 formatBlockBytes = 18;
};

AudioCandidate Fit(UINT32 avgBytesPerSec) { return {2, 44100, 16, avgBytesPerSec}; }
const Lines kNoChoice = {FailureLine("E_FAIL", E_FAIL), FailureLine("CreateAudioMediaType()", E_FAIL)};

const ChoiceCase kChoiceCases[] = {
    {"ExactBitrateFirstInOrder", {Fit(12000), Fit(16000), Fit(16000)}, 128000, 1, {}},
    {"RoundsHalfUp15500", {Fit(12000), Fit(15500)}, 128000, 1, {}},
    {"RoundsDown16499", {Fit(12000), Fit(16499)}, 128000, 1, {}},
    {"RoundsUp16500", {Fit(16000), Fit(16500)}, 136000, 1, {}},
    {"16500IsNot128000", {Fit(12000), Fit(16500)}, 128000, 0, {}},
    {"12000Is96000", {Fit(16000), Fit(12000)}, 96000, 1, {}},
    {"OffTheGridTakesFirstFormatMatch", {Fit(12000), Fit(16000)}, 128001, 0, {}},
    {"EarliestFormatMatchNotTheClosest", {{1, 44100, 16, 16000}, Fit(8000), Fit(15000)}, 128000, 1, {}},
    {"FormatMustMatchExactly", {{1, 44100, 16, 16000}, {2, 48000, 16, 16000}, {2, 44100, 24, 16000}}, 128000, -1,
     kNoChoice},
    {"EmptyList", {}, 128000, -1,
     {FailureLine("(num <= 0 ? E_FAIL:S_OK)", E_FAIL), FailureLine("CreateAudioMediaType()", E_FAIL)}},
    {"ElementsThatAreNoMediaTypeAreSkipped", {{0, 0, 0, 0}, Fit(16000)}, 128000, 1,
     {FailureLine("element->QueryInterface(IID_IMFMediaType, &outputMediatype)", E_NOINTERFACE, "info")}},
    {"RefusedConversionEndsTheChoice", {{1, 8000, 16, 1000}, Fit(16000), Fit(16000)}, 128000, -1,
     {FailureLine("MFInitAMMediaTypeFromMFMediaType(outputMediatype, WMFORMAT_WaveFormatEx, (AM_MEDIA_TYPE*)&mtout)",
                  MF_E_INVALIDMEDIATYPE),
      FailureLine("CreateAudioMediaType()", MF_E_INVALIDMEDIATYPE)},
     1},
    {"EmptyFormatBlockNeverMatches", {Fit(16000)}, 128000, -1, kNoChoice, -1, 0},
    {"ShortFormatBlockNeverMatches", {Fit(16000)}, 128000, -1, kNoChoice, -1, 15},
};

class AudioChoice : public Encoder, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(AudioChoice, FollowsTheOrderOfPreference) {
  const ChoiceCase& c = GetParam();
  for (const AudioCandidate& candidate : c.candidates) {
    platform.audioTypes.push_back(candidate.channels == 0 ? ComPtr<IUnknown>(Make<CountedObject>(&unused).Get())
                                                          : MakeAudioType(candidate));
  }
  platform.conversionFailsAt = c.conversionFailsAt;
  platform.formatBlockBytes = c.formatBlockBytes;
  offerMatchingType = false;
  const int result = Open(AudioOnly(2, 16, 44100).U32(host::kAudioBitrate, c.bitrate), FromUtf8("a.wma"));
  EXPECT_EQ(result, c.chosen >= 0 ? 1 : 0);
  EXPECT_EQ(log.Take(), c.lines);
  ASSERT_EQ(platform.writer->outputTypes.size(), c.chosen >= 0 ? 1u : 0u);
  if (c.chosen >= 0) {  // the platform's own object, unchanged
    EXPECT_EQ(static_cast<IUnknown*>(platform.writer->outputTypes[0].Get()), platform.audioTypes[c.chosen].Get());
  }
  EXPECT_TRUE(c.conversionFailsAt < 0 || platform.conversions == c.conversionFailsAt + 1) << "no later candidate";
}

INSTANTIATE_TEST_SUITE_P(Rule, AudioChoice, ::testing::ValuesIn(kChoiceCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Encoder, AudioFourCCsAskForTheirEncoderFamily) {
  const std::pair<const char*, const GUID*> cases[] = {{"WMA8", &MFAudioFormat_WMAudioV8},
                                                       {"WMA9", &MFAudioFormat_WMAudioV9},
                                                       {"WAAC", &MFAudioFormat_AAC},
                                                       {"MP3 ", &GUID_NULL}};
  for (const auto& [fourcc, subtype] : cases) {
    ASSERT_EQ(Open(AudioOnly(2, 16, 44100, fourcc)), 1);
    EXPECT_TRUE(IsEqualGUID(platform.listedSubtype, *subtype)) << fourcc;
  }
}

// --- Samples ----------------------------------------------------------------

// PCM handed over in blocks: each sample holds whole frames (a partial one
// waits for the next block) with the single-precision duration, stamped
// with the time of its first frame (a block's time is its first byte's).
struct PcmCase {  // no durations: bytes / byte rate, within 1
  const char* name;
  UINT32 channels, bits, rate;
  std::vector<int32_t> blocks;
  std::vector<LONGLONG> durations;
};

const PcmCase kPcmCases[] = {
    {"Frames1024At44100", 2, 16, 44100, {4096}, {232199}},
    {"Frames1152At44100", 2, 16, 44100, {1152 * 4}, {261224}},
    {"Frames1024At48000", 2, 16, 48000, {4096}, {213333}},
    {"Frames480At48000", 2, 16, 48000, {480 * 4}, {100000}},
    {"Frames305At44100SinglePrecision", 2, 16, 44100, {305 * 4}, {69161}},  // 69160 in double
    {"TwentyFourBit", 2, 24, 44100, {6144}, {232199}},
    {"Empty", 2, 16, 44100, {0}, {0}},
    {"PartialFrameWaits", 2, 16, 44100, {4095, 4097}, {231972, 232426}},
    {"SmallerThanAFrame", 2, 16, 44100, {1, 1, 1, 3, 2, 4093, 3}, {}},
    {"OddSizesAndEmpty", 2, 16, 44100, {4097, 0, 3, 4094, 0, 5, 1}, {}},
};

class PcmSamples : public Encoder, public ::testing::WithParamInterface<PcmCase> {};

TEST_P(PcmSamples, HoldWholeFramesWithTheirDurationAndTime) {
  const PcmCase& c = GetParam();
  ASSERT_EQ(Open(AudioOnly(c.channels, c.bits, c.rate)), 1);
  const int64_t frameBytes = c.channels * (c.bits / 8), byteRate = frameBytes * c.rate, base = 123456789;
  std::vector<uint8_t> stream;
  for (const int32_t size : c.blocks) {
    std::vector<uint8_t> block(static_cast<size_t>(size));
    for (uint8_t& b : block) b = static_cast<uint8_t>((stream.size() + static_cast<size_t>(&b - block.data())) * 13);
    const HostFrame frame =
        Pcm(block.data(), size, base + static_cast<int64_t>(stream.size()) * 10000000 / byteRate);
    EXPECT_EQ(encoder->EncodeAudioFrame(frame.get()), 1) << "block at byte " << stream.size();
    stream.insert(stream.end(), block.begin(), block.end());
  }
  std::vector<uint8_t> written;
  for (size_t i = 0; i < Samples().size(); ++i) {
    const SampleRecord& sample = Samples()[i];
    SCOPED_TRACE("sample " + std::to_string(i));
    EXPECT_EQ(sample.stream, encoder->AudioStreamIndex());
    EXPECT_EQ(sample.bytes.size() % static_cast<size_t>(frameBytes), 0u);
    if (sample.bytes.empty() && c.durations.empty()) continue;  // an empty block: at the host's time
    EXPECT_NEAR(static_cast<double>(sample.time - base), static_cast<double>(written.size()) * 1e7 / byteRate, 2.0);
    if (!c.durations.empty()) {
      EXPECT_EQ(sample.duration, c.durations.at(i));
    } else {
      EXPECT_NEAR(static_cast<double>(sample.duration), static_cast<double>(sample.bytes.size()) * 1e7 / byteRate, 1);
    }
    written.insert(written.end(), sample.bytes.begin(), sample.bytes.end());
  }
  EXPECT_TRUE(c.durations.empty() || Samples().size() == c.durations.size());
  EXPECT_EQ(written, std::vector<uint8_t>(stream.begin(), stream.end() - static_cast<std::ptrdiff_t>(stream.size() % frameBytes)));
  EXPECT_TRUE(log.Records().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, PcmSamples, ::testing::ValuesIn(kPcmCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Encoder, PcmAfterARefusedBlockStaysAlignedToWholeFrames) {
  ASSERT_EQ(Open(AudioOnly()), 1);
  std::vector<uint8_t> stream(3 * 4095);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i * 13 + i / 256);
  for (int block = 0; block < 3; ++block) {
    platform.writer->refuse["WriteSample"] = block == 1 ? E_FAIL : S_OK;
    const HostFrame frame = Pcm(stream.data() + block * 4095, 4095, block * 232143);
    EXPECT_EQ(encoder->EncodeAudioFrame(frame.get()), block == 1 ? 0 : 1);
  }
  // The refused sample held bytes 4092..8187; the next one starts with the
  // refused block's last partial frame.
  ASSERT_EQ(Samples().size(), 2u);
  EXPECT_EQ(Samples()[1].bytes, std::vector<uint8_t>(stream.begin() + 8188, stream.begin() + 12284));
}

// YV12 keeps Y, then V, then U, each tightly packed whatever the source
// strides (padded or bottom-up); chroma is (W >> 1) x (H >> 1), and the
// bytes past the planes of an odd size are zero.
TEST_F(Encoder, PicturesAreYThenVThenUTightlyPacked) {
  const struct {
    uint32_t w, h;
    int32_t strides[3];
  } cases[] = {{4, 2, {4, 2, 2}}, {5, 4, {8, 7, 3}}, {6, 3, {9, 8, 4}}, {7, 5, {-7, -3, 3}}, {176, 144, {-180, 93, -89}}};
  for (const auto& c : cases) {
    platform.writer = std::make_shared<WriterRecord>();
    ASSERT_EQ(Open(VideoOnly(c.w, c.h)), 1);
    const HostPicture picture(c.w, c.h, 0, c.strides);
    log.Clear();
    EXPECT_EQ(encoder->EncodeVideoFrame(picture.frame()), 1);
    EXPECT_EQ(log.Take(), Lines{});
    UINT32 imageSize = 0;
    ASSERT_EQ(MFCalculateImageSize(MFVideoFormat_YV12, c.w, c.h, &imageSize), S_OK);
    std::vector<uint8_t> expected;
    for (int p : {0, 2, 1}) expected.insert(expected.end(), picture.packed(p).begin(), picture.packed(p).end());
    expected.resize(imageSize, 0);
    ASSERT_EQ(Samples().size(), 1u);
    EXPECT_EQ(Samples()[0].bytes, expected) << c.w << "x" << c.h;
  }
}

// Both streams take the host's time stamps as they are (repeated, with
// gaps); every picture gets the nominal frame duration, whatever its own
// duration says (only the finish request is special, and only for video).
TEST_F(Encoder, TimeStampsAreTheHostsAndPicturesGetTheNominalDuration) {
  ASSERT_EQ(Open(Both()), 1);
  HostPicture picture(320, 240);
  HostPcm pcm(1024, 2, 44100);
  for (const auto& [pts, duration] : {std::pair<int64_t, int64_t>{1000, -1}, {1000, 0}, {90000000, -101}}) {
    picture.record().Times(pts, duration == -101 ? 0 : duration);
    pcm.record().Times(pts, duration);
    EXPECT_EQ(encoder->EncodeVideoFrame(picture.frame()), 1);
    EXPECT_EQ(encoder->EncodeAudioFrame(pcm.frame()), 1);
  }
  ASSERT_EQ(Samples().size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(Samples()[i].time, i < 4 ? 1000 : 90000000) << i;
    EXPECT_EQ(Samples()[i].duration, i % 2 == 0 ? 400000 : 232199) << i;
  }
  EXPECT_FALSE(encoder->Finalized());
}

// Frames that write nothing, and say why.
struct RefusedCase {  // the frame is a video frame, else audio; `change` bends it
  const char* name;
  HostRecord (*record)();
  void (*setup)(FakePlatform&);
  bool video;
  void (*change)(HostFrame&);
  Lines lines;
};

void Nothing(FakePlatform&) {}
void Keep(HostFrame&) {}
const std::string kVideoSample = "CreateEmptySample(sample, buffer, imageSize)";
const std::string kAudioSample = "CreateEmptySample(sample, buffer, pFrame->audio.nBytes)";

const RefusedCase kRefusedCases[] = {
    {"NullLuma", Both, Nothing, true, [](HostFrame& f) { f.Set(host::kPlanes, nullptr); },
     {ErrorLine("EncodeVideoFrame: plane 0 of the picture is null, nothing written")}},
    {"NullV", Both, Nothing, true, [](HostFrame& f) { f.Set(host::kPlanes + 16, nullptr); },
     {ErrorLine("EncodeVideoFrame: plane 2 of the picture is null, nothing written")}},
    {"NegativeByteCount", Both, Nothing, false, [](HostFrame& f) { f.Set(host::kPcmBytes, int32_t{-4}); },
     {ErrorLine("EncodeAudioFrame: negative byte count -4, nothing written")}},
    {"NullPcm", Both, Nothing, false, [](HostFrame& f) { f.Set(host::kPcm, nullptr); },
     {ErrorLine("EncodeAudioFrame: no PCM data for 4096 bytes, nothing written")}},
    {"NoChannels", [] { return AudioOnly(0); }, Nothing, false, Keep,
     {ErrorLine("EncodeAudioFrame: no duration for 0 channels of 16 bits at 44100 Hz, nothing written")}},
    {"FewerThan8Bits", [] { return AudioOnly(2, 7); }, Nothing, false, Keep,
     {ErrorLine("EncodeAudioFrame: no duration for 2 channels of 7 bits at 44100 Hz, nothing written")}},
    {"NoSampleRate", [] { return AudioOnly(2, 16, 0); }, Nothing, false, Keep,
     {ErrorLine("EncodeAudioFrame: no duration for 2 channels of 16 bits at 0 Hz, nothing written")}},
    {"VideoToAnAudioFile", [] { return AudioOnly(); }, Nothing, true, Keep, {}},
    {"FinishRequestToAnAudioFile", [] { return AudioOnly(); }, Nothing, true,
     [](HostFrame& f) { f.Times(0, KX_FINISH_REQUEST_DURATION); }, {}},
    {"NotOpen", Both, [](FakePlatform& p) { p.createResult = E_ACCESSDENIED; }, false, Keep,
     {ErrorLine("EncodeAudioFrame: the file is not open, nothing written")}},
    {"VideoSampleNotCreated", Both, [](FakePlatform& p) { p.sampleResult = E_OUTOFMEMORY; }, true, Keep,
     {FailureLine("MFCreateSample(&sample)", E_OUTOFMEMORY), FailureLine(kVideoSample, E_OUTOFMEMORY)}},
    {"VideoBufferNotCreated", Both, [](FakePlatform& p) { p.bufferResult = E_OUTOFMEMORY; }, true, Keep,
     {FailureLine("MFCreateMemoryBuffer(length, &buffer)", E_OUTOFMEMORY), FailureLine(kVideoSample, E_OUTOFMEMORY)}},
    {"AudioSampleNotCreated", Both, [](FakePlatform& p) { p.sampleResult = E_OUTOFMEMORY; }, false, Keep,
     {FailureLine("MFCreateSample(&sample)", E_OUTOFMEMORY), FailureLine(kAudioSample, E_OUTOFMEMORY)}},
    {"AudioBufferNotCreated", Both, [](FakePlatform& p) { p.bufferResult = E_OUTOFMEMORY; }, false, Keep,
     {FailureLine("MFCreateMemoryBuffer(length, &buffer)", E_OUTOFMEMORY), FailureLine(kAudioSample, E_OUTOFMEMORY)}},
    {"VideoWriteRefused", Both, [](FakePlatform& p) { p.writer->refuse["WriteSample"] = MF_E_INVALIDSTREAMNUMBER; },
     true, Keep, {FailureLine("mfsinkwriter->WriteSample(videoStreamIndex, sample)", MF_E_INVALIDSTREAMNUMBER)}},
};

class RefusedFrame : public Encoder, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedFrame, WritesNothingAndSaysWhy) {
  const RefusedCase& c = GetParam();
  c.setup(platform);
  Open(c.record());  // whether the platform takes such a stream or not
  log.Clear();
  HostPicture picture(320, 240);
  HostPcm pcm(1024, 2, 44100);
  c.change(c.video ? picture.record() : pcm.record());
  EXPECT_EQ(c.video ? encoder->EncodeVideoFrame(picture.frame()) : encoder->EncodeAudioFrame(pcm.frame()), 0);
  EXPECT_TRUE(Samples().empty());
  EXPECT_EQ(log.Take(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedFrame, ::testing::ValuesIn(kRefusedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The completion callback -------------------------------------------------

TEST(SinkWriterCallback, AnswersItsInterfacesAndSignalsEvenAFailedFinalize) {
  LogCapture log;
  ScopedHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ComPtr<CMFSinkWriterCallback> callback;
  callback.Attach(new CMFSinkWriterCallback(event.Get()));
  void* out = &out;
  EXPECT_EQ(callback->QueryInterface(IID_IMFSinkWriterEx, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(callback->OnFinalize(E_FAIL), E_FAIL);
  EXPECT_EQ(WaitForSingleObject(event.Get(), 0), WAIT_OBJECT_0);
  EXPECT_TRUE(log.Records().empty());
  callback.Reset();
  EXPECT_EQ(log.Records(), Lines{kRelease});
}

}  // namespace
}  // namespace kx::test
