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
const std::string kFlushLine = "kx_Traxel info [Media Foundation ]: FlushEncode\n";

HostRecord Both() { return std::move(HostRecord().Video("WMV2", 320, 240, 25.0).Audio("WMA8", 44100, 2)); }
HostRecord AudioOnly(uint32_t channels = 2, uint32_t bits = 16, uint32_t rate = 44100, const char* fourcc = "WMA8") {
  return std::move(HostRecord().Audio(fourcc, rate, channels, 128000, bits));
}

// One encoder over one fake platform, with the log it writes. Unless the
// test says otherwise, the platform offers an audio type that matches the
// record's PCM format and bitrate.
const WideString kOut = FromUtf8("out.wmv");
void None(FakePlatform&) {}
void Keep(HostFrame&) {}

struct Rig {
  FakePlatform platform;
  LogCapture log;
  std::unique_ptr<SinkWriterEncoder> encoder;

  int Open(const HostRecord& record, const WCHAR* path = kOut.c_str(), bool offerMatch = true) {
    const auto& audio = record.get()->audio;
    if (offerMatch) {
      platform.audioTypes.push_back(
          MakeAudioType({audio.nChannels, audio.nSampleRate, audio.nBitsPerSample, audio.nBitrate / 8}));
    }
    encoder = std::make_unique<SinkWriterEncoder>(*record.get(), platform.EntryPoints());
    return encoder->Init(path);
  }
  long Count(const std::string& call) const {
    return static_cast<long>(std::count(platform.writer->calls.begin(), platform.writer->calls.end(), call));
  }
  const std::vector<SampleRecord>& Samples() const { return platform.writer->samples; }
};

// Neither ASF nor MP4, so the XMP injection is refused and says so.
WideString TextFile(const TempDir& dir) {
  std::ofstream(dir / "text.wmv") << "not a media file\n";
  return WidePath(dir / "text.wmv");
}

// Host time stamps pass as they are (repeated, with gaps); every picture
// gets the nominal frame duration whatever its own says.
TEST(Encoder, CreateWriteCloseMatchesTheTranscript) {
  TempDir dir;
  Rig r;
  r.platform.writer->offersEx = false;
  ASSERT_EQ(r.Open(Both(), TextFile(dir).c_str()), 1);
  EXPECT_TRUE(r.platform.writer->hadCallback);
  EXPECT_EQ(r.platform.writer->lowLatency, 1u);
  r.encoder->SetXmpString("<x:xmpmeta/>", 12);
  HostPicture picture(320, 240);
  HostPcm pcm(1024, 2, 44100);
  for (const auto& [pts, duration] : {std::pair<int64_t, int64_t>{1000, -1}, {1000, 0}, {90000000, 7}}) {
    picture.record().Times(pts, duration);
    pcm.record().Times(pts, duration);
    EXPECT_EQ(r.encoder->EncodeVideoFrame(picture.frame()), 1);
    EXPECT_EQ(r.encoder->EncodeAudioFrame(pcm.frame()), 1);
  }
  for (size_t i = 0; i < r.Samples().size(); ++i) {
    EXPECT_EQ(r.Samples()[i].time, i < 4 ? 1000 : 90000000) << i;
    EXPECT_EQ(r.Samples()[i].duration, i % 2 == 0 ? 400000 : 232199) << i;
  }
  r.platform.writer->refuse["WriteSample"] = MF_E_NOTACCEPTING;
  EXPECT_EQ(r.encoder->EncodeAudioFrame(pcm.frame()), 0);
  EXPECT_EQ(r.encoder->Finish(), S_OK);
  EXPECT_EQ(r.log.Take(), (Lines{FailureLine("", E_NOINTERFACE, "info"),
                                 FailureLine("mfsinkwriter->WriteSample(audioStreamIndex, sample)", MF_E_NOTACCEPTING),
                                 kNoXmp}));
  const Lines calls = {"AddStream",      "SetInputMediaType(0)", "AddStream",      "SetInputMediaType(1)",
                       "BeginWriting",   "WriteSample(0)",       "WriteSample(1)", "WriteSample(0)",
                       "WriteSample(1)", "WriteSample(0)",       "WriteSample(1)", "WriteSample(1)",
                       "NotifyEndOfSegment(4294967294)", "Finalize"};
  EXPECT_EQ(r.platform.writer->calls, calls);
  // Finishing again does nothing; destruction only releases.
  EXPECT_EQ(r.encoder->Finish(), S_OK);
  r.encoder.reset();
  EXPECT_EQ(r.platform.writer->calls, calls);
  EXPECT_EQ(r.log.Take(), Lines{kRelease});
  EXPECT_TRUE(r.platform.writer->destroyed);
}

// A file's life from the open to Finish: what Init and Finish return, every
// line logged, and how often Finalize was called. A failed open is logged
// and finishing afterwards does not wait forever; the status of a finalize
// that fails later is known only after the wait.
TEST(Encoder, OpenAndFinishLogReturnAndFinalizeAsTheCaseSays) {
  TempDir dir;
  const std::string finalize = "mfsinkwriter->Finalize()";
  const WideString text = TextFile(dir), overlong(SinkWriterEncoder::kMaxPathChars + 1, 'a'),
                   unspellable(3000, 0x6F22);  // 9000 bytes in UTF-8
  const struct {
    const char* name;
    void (*setup)(FakePlatform&);
    const WCHAR* path;
    bool audioOnly, finishRequest, opens;
    HRESULT status;  // of Finish
    Lines lines;
    long finalizes;
  } cases[] = {
      {"close injects XMP", None, text.c_str(), false, false, true, S_OK, {kNoXmp}, 1},
      {"finish request gets no XMP", None, text.c_str(), false, true, true, S_OK, {kFlushLine}, 1},
      {"late failure", [](FakePlatform& p) { p.writer->finalizeOnThread = true, p.writer->finalizeStatus = kDiskFull; },
       text.c_str(), false, false, true, kDiskFull, {FailureLine(finalize, kDiskFull), kNoXmp}, 1},
      {"late failure after request",
       [](FakePlatform& p) { p.writer->finalizeOnThread = true, p.writer->finalizeStatus = kDiskFull; },
       text.c_str(), false, true, true, kDiskFull, {kFlushLine, FailureLine(finalize, kDiskFull)}, 1},
      {"refused notify skips wait and XMP", [](FakePlatform& p) { p.writer->refuse["NotifyEndOfSegment"] = E_FAIL; },
       text.c_str(), false, false, true, E_FAIL,
       {FailureLine("mfsinkwriter->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS)", E_FAIL)}, 0},
      {"refused request is tried again on close", [](FakePlatform& p) { p.writer->refuse["Finalize"] = E_FAIL; },
       text.c_str(), false, true, true, E_FAIL,
       {FailureLine(finalize, E_FAIL), kFlushLine, FailureLine(finalize, E_FAIL)}, 2},
      {"create writer", [](FakePlatform& p) { p.createResult = MF_E_UNSUPPORTED_BYTESTREAM_TYPE; }, text.c_str(),
       false, false, false, S_OK,
       {FailureLine("MFCreateSinkWriterFromURL(pFilename, NULL, pIMFAttributes, &mfsinkwriter)",
                    MF_E_UNSUPPORTED_BYTESTREAM_TYPE)}, 0},
      {"add stream", [](FakePlatform& p) { p.writer->refuse["AddStream"] = E_FAIL; }, text.c_str(), false, false,
       false, S_OK,
       {FailureLine("mfsinkwriter->AddStream(videotype, &videoStreamIndex)", E_FAIL),
        FailureLine("CreateVideoMediaType()", E_FAIL)}, 1},
      {"begin writing", [](FakePlatform& p) { p.writer->refuse["BeginWriting"] = E_FAIL; }, text.c_str(), false,
       false, false, S_OK, {FailureLine("mfsinkwriter->BeginWriting()", E_FAIL)}, 1},
      {"audio type list", [](FakePlatform& p) { p.listResult = MF_E_TOPO_CODEC_NOT_FOUND; }, text.c_str(), true,
       false, false, S_OK,
       {FailureLine("MFTranscodeGetAudioOutputAvailableTypes(audiooutputguid, MFT_ENUM_FLAG_ALL, NULL, &collction)",
                    MF_E_TOPO_CODEC_NOT_FOUND),
        FailureLine("CreateAudioMediaType()", MF_E_TOPO_CODEC_NOT_FOUND)}, 1},
      {"no finalize event", [](FakePlatform& p) { p.eventFails = true; }, text.c_str(), false, false, false, S_OK,
       {ErrorLine("the finalize callback or its event could not be created")}, 0},
      {"null path", None, nullptr, false, false, false, S_OK, {ErrorLine("no output path given")}, 0},
      {"overlong path", None, overlong.c_str(), false, false, false, S_OK,
       {ErrorLine("the output path is longer than 4095 characters")}, 0},
      {"path too long for the code page", None, unspellable.c_str(), false, false, false, S_OK,
       {ErrorLine("the output path does not fit 8191 bytes in the ANSI code page")}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.path == unspellable.c_str() &&
        WideCharToMultiByte(CP_ACP, 0, c.path, -1, nullptr, 0, nullptr, nullptr) <= 8192) {
      continue;  // the ANSI code page holds the path in 8192 bytes
    }
    Rig r;
    c.setup(r.platform);
    EXPECT_EQ(r.Open(c.audioOnly ? AudioOnly() : Both(), c.path), c.opens);
    if (c.opens) r.encoder->SetXmpString("<x/>", 4);
    if (c.finishRequest) {
      HostFrame request;  // null planes: the request reads no picture
      EXPECT_EQ(r.encoder->EncodeVideoFrame(request.Times(0, KX_FINISH_REQUEST_DURATION).get()), 0);
    }
    EXPECT_EQ(r.encoder->Finish(), c.status);
    EXPECT_EQ(r.log.Take(), c.lines);
    EXPECT_EQ(r.Count("Finalize"), c.finalizes);
    r.encoder.reset();
    EXPECT_EQ(r.log.Take(), Lines{kRelease});
  }
}

TEST(Encoder, PathsAreConvertedWholeAndXmpTooLongIsRefused) {
  Rig r;
  const WideString longest(SinkWriterEncoder::kMaxPathChars, 'a');
  ASSERT_EQ(r.Open(Both(), longest.c_str()), 1);
  EXPECT_EQ(r.encoder->FileName(), ToUtf8(longest));
  const WideString wide = WideString(10, 0x6F22) + FromUtf8(".wmv");
  ASSERT_EQ(r.Open(Both(), wide.c_str()), 1);
  // Spelled exactly in the ANSI code page (UTF-8 on Linux), or not at all
  // (a Western code page under Wine): never a look-alike name.
  if (r.encoder->FileName().empty()) {
    const Lines lines = r.log.Take();
    EXPECT_NE(lines.back().find("cannot be spelled in the ANSI code page"), std::string::npos) << lines.back();
  } else {
    std::vector<WCHAR> back(wide.size() + 1, 0);
    MultiByteToWideChar(CP_ACP, 0, r.encoder->FileName().c_str(), -1, back.data(), static_cast<int>(back.size()));
    EXPECT_EQ(WideString(back.data()), wide);
  }
  r.log.Clear();
  r.encoder->SetXmpString("<x/>", 4);
  r.encoder->SetXmpString("<x/>", SIZE_MAX);
  EXPECT_TRUE(r.encoder->XmpData().empty());
  EXPECT_EQ(r.log.Take(), Lines{"The Xmp String is too long."});
}

// --- Media types ------------------------------------------------------------

TEST(Encoder, FrameRateBecomesTheNominalRatio) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const struct { double rate; UINT32 num, den; } cases[] = {
      {25.0, 25, 1}, {29.97, 30000, 1001}, {29.97002997, 30000, 1001}, {23.976, 24000, 1001}, {23.98, 24, 1},
      {59.94, 60000, 1001}, {30.005, 30, 1}, {14.985, 15, 1}, {12.5, 13, 1}, {0.3, 0, 1}, {nan, 0, 1},
      {1e12, 0, 1}, {inf, 0, 1}};
  for (const auto& c : cases) {
    const auto ratio = SinkWriterEncoder::FrameRateToRatio(c.rate);
    EXPECT_EQ((std::pair{ratio.num, ratio.den}), (std::pair{c.num, c.den})) << c.rate;
  }
}

// Each FourCC asks for its own subtype (HVC1 is the VC-1 row, not HEVC).
TEST(Encoder, FourCCsNameTheirSubtypes) {
  const std::pair<const char*, const GUID*> video[] = {
      {"WMV1", &MFVideoFormat_WMV1}, {"WMV2", &MFVideoFormat_WMV2}, {"WMV3", &MFVideoFormat_WMV3},
      {"HVC1", &MFVideoFormat_WVC1}, {"W264", &MFVideoFormat_H264}, {"W265", &MFVideoFormat_HEVC}, {"XVID", nullptr}};
  for (const auto& [fourcc, subtype] : video) {
    Rig r;
    ASSERT_EQ(r.Open(HostRecord().Video(fourcc, 320, 240, 29.97)), 1) << fourcc;
    GUID guid{};
    EXPECT_EQ(SUCCEEDED(r.platform.writer->outputTypes.at(0)->GetGUID(MF_MT_SUBTYPE, &guid)), subtype != nullptr);
    EXPECT_TRUE(subtype == nullptr || IsEqualGUID(guid, *subtype)) << fourcc;
  }
  const std::pair<const char*, const GUID*> audio[] = {
      {"WMA8", &MFAudioFormat_WMAudioV8}, {"WMA9", &MFAudioFormat_WMAudioV9}, {"WAAC", &MFAudioFormat_AAC},
      {"MP3 ", &GUID_NULL}};
  for (const auto& [fourcc, subtype] : audio) {
    Rig r;
    ASSERT_EQ(r.Open(AudioOnly(2, 16, 44100, fourcc)), 1);
    EXPECT_TRUE(IsEqualGUID(r.platform.listedSubtype, *subtype)) << fourcc;
  }
}

// The audio output type: the first candidate, in the platform's order, with
// the exact PCM format and the exact rounded bitrate; else the first with
// the exact format. A candidate of 0 channels is no media type at all.
AudioCandidate Fit(UINT32 avgBytesPerSec) { return {2, 44100, 16, avgBytesPerSec}; }

TEST(Encoder, AudioChoiceFollowsTheOrderOfPreference) {
  const Lines noChoice = {FailureLine("E_FAIL", E_FAIL), FailureLine("CreateAudioMediaType()", E_FAIL)};
  const struct {
    const char* name;
    std::vector<AudioCandidate> candidates;
    UINT32 bitrate;
    int chosen;  // -1: Init fails with `lines`, and no stream is added
    Lines lines;
    int conversionFailsAt = -1;
    UINT32 formatBlockBytes = 18;
  } cases[] = {
      {"exact bitrate, first in order", {Fit(12000), Fit(16000), Fit(16000)}, 128000, 1, {}},
      {"15500 rounds up to 128000", {Fit(12000), Fit(15500)}, 128000, 1, {}},
      {"16499 rounds down to 128000", {Fit(12000), Fit(16499)}, 128000, 1, {}},
      {"16500 is not 128000", {Fit(12000), Fit(16500)}, 128000, 0, {}},
      {"off the grid takes the first format match", {Fit(12000), Fit(16000)}, 128001, 0, {}},
      {"earliest format match, not the closest", {{1, 44100, 16, 16000}, Fit(8000), Fit(15000)}, 128000, 1, {}},
      {"format must match exactly", {{1, 44100, 16, 16000}, {2, 48000, 16, 16000}, {2, 44100, 24, 16000}}, 128000,
       -1, noChoice},
      {"empty list", {}, 128000, -1,
       {FailureLine("(num <= 0 ? E_FAIL:S_OK)", E_FAIL), FailureLine("CreateAudioMediaType()", E_FAIL)}},
      {"elements that are no media type are skipped", {{0, 0, 0, 0}, Fit(16000)}, 128000, 1,
       {FailureLine("element->QueryInterface(IID_IMFMediaType, &outputMediatype)", E_NOINTERFACE, "info")}},
      {"a refused conversion ends the choice", {{1, 8000, 16, 1000}, Fit(16000), Fit(16000)}, 128000, -1,
       {FailureLine("MFInitAMMediaTypeFromMFMediaType(outputMediatype, WMFORMAT_WaveFormatEx, (AM_MEDIA_TYPE*)&mtout)",
                    MF_E_INVALIDMEDIATYPE),
        FailureLine("CreateAudioMediaType()", MF_E_INVALIDMEDIATYPE)},
       1},
      {"empty format block never matches", {Fit(16000)}, 128000, -1, noChoice, -1, 0},
      {"short format block never matches", {Fit(16000)}, 128000, -1, noChoice, -1, 15},
  };
  bool unused = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    for (const AudioCandidate& candidate : c.candidates) {
      r.platform.audioTypes.push_back(candidate.channels == 0 ? ComPtr<IUnknown>(Make<CountedObject>(&unused).Get())
                                                              : MakeAudioType(candidate));
    }
    r.platform.conversionFailsAt = c.conversionFailsAt;
    r.platform.formatBlockBytes = c.formatBlockBytes;
    EXPECT_EQ(r.Open(AudioOnly().U32(host::kAudioBitrate, c.bitrate), FromUtf8("a.wma").c_str(), false), c.chosen >= 0);
    EXPECT_EQ(r.log.Take(), c.lines);
    ASSERT_EQ(r.platform.writer->outputTypes.size(), c.chosen >= 0 ? 1u : 0u);
    if (c.chosen >= 0) {  // the platform's own object, unchanged
      EXPECT_EQ(static_cast<IUnknown*>(r.platform.writer->outputTypes[0].Get()), r.platform.audioTypes[c.chosen].Get());
    }
    EXPECT_TRUE(c.conversionFailsAt < 0 || r.platform.conversions == c.conversionFailsAt + 1) << "no later candidate";
  }
}

// --- Samples ----------------------------------------------------------------

// PCM handed over in blocks: each sample holds whole frames (a partial one
// waits for the next block) with the single-precision duration, stamped
// with the time of its first frame (a block's time is its first byte's).
// Without durations: bytes / byte rate, within 1.
TEST(Encoder, PcmSamplesHoldWholeFramesWithTheirDurationAndTime) {
  const struct {
    const char* name;
    UINT32 bits;
    std::vector<int32_t> blocks;
    std::vector<LONGLONG> durations;
  } cases[] = {
      {"1024 frames", 16, {4096}, {232199}},
      {"305 frames, single precision", 16, {305 * 4}, {69161}},  // 69160 in double
      {"24 bits", 24, {6144}, {232199}},
      {"empty", 16, {0}, {0}},
      {"a partial frame waits", 16, {4095, 4097}, {231972, 232426}},
      {"smaller than a frame", 16, {1, 1, 1, 3, 2, 4093, 3}, {}},
      {"odd sizes and empty", 16, {4097, 0, 3, 4094, 0, 5, 1}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    ASSERT_EQ(r.Open(AudioOnly(2, c.bits)), 1);
    const int64_t frameBytes = 2 * (c.bits / 8), byteRate = frameBytes * 44100, base = 123456789;
    std::vector<uint8_t> stream;
    for (const int32_t size : c.blocks) {
      std::vector<uint8_t> block(static_cast<size_t>(size));
      for (uint8_t& b : block) b = static_cast<uint8_t>((stream.size() + static_cast<size_t>(&b - block.data())) * 13);
      HostFrame frame;
      frame.Set(host::kPcm, block.data()).Set(host::kPcmBytes, size);
      frame.Times(base + static_cast<int64_t>(stream.size()) * 10000000 / byteRate);
      EXPECT_EQ(r.encoder->EncodeAudioFrame(frame.get()), 1) << "block at byte " << stream.size();
      stream.insert(stream.end(), block.begin(), block.end());
    }
    std::vector<uint8_t> written;
    for (size_t i = 0; i < r.Samples().size(); ++i) {
      const SampleRecord& sample = r.Samples()[i];
      EXPECT_EQ(sample.bytes.size() % static_cast<size_t>(frameBytes), 0u) << i;
      if (sample.bytes.empty() && c.durations.empty()) continue;  // an empty block: at the host's time
      EXPECT_NEAR(static_cast<double>(sample.time - base), static_cast<double>(written.size()) * 1e7 / byteRate, 2.0);
      EXPECT_NEAR(static_cast<double>(sample.duration),
                  c.durations.empty() ? static_cast<double>(sample.bytes.size()) * 1e7 / byteRate
                                      : static_cast<double>(c.durations.at(i)),
                  c.durations.empty() ? 1.0 : 0.0) << i;
      written.insert(written.end(), sample.bytes.begin(), sample.bytes.end());
    }
    EXPECT_TRUE(c.durations.empty() || r.Samples().size() == c.durations.size());
    stream.erase(stream.end() - static_cast<std::ptrdiff_t>(stream.size() % static_cast<size_t>(frameBytes)), stream.end());
    EXPECT_EQ(written, stream);
    EXPECT_TRUE(r.log.Records().empty());
  }
}

// The refused sample held bytes 4092..8187; the next one starts with the
// refused block's last partial frame.
TEST(Encoder, PcmAfterARefusedBlockStaysAlignedToWholeFrames) {
  Rig r;
  ASSERT_EQ(r.Open(AudioOnly()), 1);
  std::vector<uint8_t> stream(3 * 4095);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i * 13 + i / 256);
  for (int block = 0; block < 3; ++block) {
    r.platform.writer->refuse["WriteSample"] = block == 1 ? E_FAIL : S_OK;
    HostFrame frame;
    frame.Set(host::kPcm, stream.data() + block * 4095).Set(host::kPcmBytes, 4095).Times(block * 232143);
    EXPECT_EQ(r.encoder->EncodeAudioFrame(frame.get()), block == 1 ? 0 : 1);
  }
  ASSERT_EQ(r.Samples().size(), 2u);
  EXPECT_EQ(r.Samples()[1].bytes, std::vector<uint8_t>(stream.begin() + 8188, stream.begin() + 12284));
}

// YV12 keeps Y, then V, then U, each tightly packed whatever the source
// strides (padded or bottom-up); chroma is (W >> 1) x (H >> 1), and the
// bytes past the planes of an odd size are zero.
TEST(Encoder, PicturesAreYThenVThenUTightlyPacked) {
  const struct { uint32_t w, h; int32_t strides[3]; } cases[] = {
      {4, 2, {4, 2, 2}}, {5, 4, {8, 7, 3}}, {7, 5, {-7, -3, 3}}, {176, 144, {-180, 93, -89}}};
  for (const auto& c : cases) {
    Rig r;
    ASSERT_EQ(r.Open(HostRecord().Video("WMV2", c.w, c.h, 25.0)), 1);
    const HostPicture picture(c.w, c.h, 0, c.strides);
    EXPECT_EQ(r.encoder->EncodeVideoFrame(picture.frame()), 1);
    EXPECT_EQ(r.log.Take(), Lines{});
    UINT32 imageSize = 0;
    ASSERT_EQ(MFCalculateImageSize(MFVideoFormat_YV12, c.w, c.h, &imageSize), S_OK);
    std::vector<uint8_t> expected;
    for (int p : {0, 2, 1}) expected.insert(expected.end(), picture.packed(p).begin(), picture.packed(p).end());
    expected.resize(imageSize, 0);
    ASSERT_EQ(r.Samples().size(), 1u);
    EXPECT_EQ(r.Samples()[0].bytes, expected) << c.w << "x" << c.h;
  }
}

// Frames that write nothing, and say why (`change` bends the frame).
TEST(Encoder, RefusedFrameWritesNothingAndSaysWhy) {
  const std::string videoSample = "CreateEmptySample(sample, buffer, imageSize)";
  const std::string audioSample = "CreateEmptySample(sample, buffer, pFrame->audio.nBytes)";
  const struct {
    const char* name;
    HostRecord record;
    void (*setup)(FakePlatform&);
    bool video;
    void (*change)(HostFrame&);
    Lines lines;
  } cases[] = {
      {"null V", Both(), None, true, [](HostFrame& f) { f.Set(host::kPlanes + 16, nullptr); },
       {ErrorLine("EncodeVideoFrame: plane 2 of the picture is null, nothing written")}},
      {"negative byte count", Both(), None, false,
       [](HostFrame& f) { f.Set(host::kPcmBytes, int32_t{-4}); },
       {ErrorLine("EncodeAudioFrame: negative byte count -4, nothing written")}},
      {"null PCM", Both(), None, false, [](HostFrame& f) { f.Set(host::kPcm, nullptr); },
       {ErrorLine("EncodeAudioFrame: no PCM data for 4096 bytes, nothing written")}},
      {"fewer than 8 bits", AudioOnly(2, 7), None, false, Keep,
       {ErrorLine("EncodeAudioFrame: no duration for 2 channels of 7 bits at 44100 Hz, nothing written")}},
      {"video to an audio file", AudioOnly(), None, true, Keep, {}},
      {"not open", Both(), [](FakePlatform& p) { p.createResult = E_ACCESSDENIED; }, false, Keep,
       {ErrorLine("EncodeAudioFrame: the file is not open, nothing written")}},
      {"video sample not created", Both(), [](FakePlatform& p) { p.sampleResult = E_OUTOFMEMORY; }, true,
       Keep, {FailureLine("MFCreateSample(&sample)", E_OUTOFMEMORY), FailureLine(videoSample, E_OUTOFMEMORY)}},
      {"audio buffer not created", Both(), [](FakePlatform& p) { p.bufferResult = E_OUTOFMEMORY; }, false,
       Keep,
       {FailureLine("MFCreateMemoryBuffer(length, &buffer)", E_OUTOFMEMORY), FailureLine(audioSample, E_OUTOFMEMORY)}},
      {"video write refused", Both(),
       [](FakePlatform& p) { p.writer->refuse["WriteSample"] = MF_E_INVALIDSTREAMNUMBER; }, true, Keep,
       {FailureLine("mfsinkwriter->WriteSample(videoStreamIndex, sample)", MF_E_INVALIDSTREAMNUMBER)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    c.setup(r.platform);
    r.Open(c.record);  // whether the platform takes such a stream or not
    r.log.Clear();
    HostPicture picture(320, 240);
    HostPcm pcm(1024, 2, 44100);
    c.change(c.video ? picture.record() : pcm.record());
    EXPECT_EQ(c.video ? r.encoder->EncodeVideoFrame(picture.frame()) : r.encoder->EncodeAudioFrame(pcm.frame()), 0);
    EXPECT_TRUE(r.Samples().empty());
    EXPECT_EQ(r.log.Take(), c.lines);
  }
}

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
