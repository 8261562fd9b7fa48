// SinkWriterEncoder against the fake platform: the exact log and call
// transcript of a file's life, the ways a file is finished, refused opens
// and frames, the choice of the audio output type, and what each sample
// holds.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "fake_platform.h"

namespace kx::test {
namespace {

using Lines = std::vector<std::string>;
constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070);
const std::string kRelease = "release \n";
const std::string kNoXmp = "Failed to add xmp object for ASF file.";
const std::string kFlushLine = "kx_Traxel info [Media Foundation ]: FlushEncode\n";
const WideString kOut = FromUtf8("out.wmv");  // the fake writes no file: the XMP injection fails and says so

HostRecord Both() { return std::move(HostRecord().Video("WMV2", 320, 240, 25.0).Audio("WMA8", 44100, 2)); }
HostRecord AudioOnly(uint32_t bits = 16) { return std::move(HostRecord().Audio("WMA8", 44100, 2, 128000, bits)); }

// A call refused with a result (none when `call` is null).
struct Refusal { const char* call = nullptr; HRESULT result = S_OK; };

// One encoder over one fake platform, with the log it writes. Unless the
// test says otherwise, the platform offers an audio type that matches the
// record's PCM format and bitrate.
struct Rig {
  FakePlatform platform;
  LogCapture log;
  std::unique_ptr<SinkWriterEncoder> encoder;

  explicit Rig(Refusal refusal = {}) {
    if (refusal.call != nullptr) platform.writer->refuse[refusal.call] = refusal.result;
  }
  int Open(const HostRecord& record, const WCHAR* path = kOut.c_str(), bool offerMatch = true) {
    const auto& audio = record.get()->audio;
    if (offerMatch) {
      platform.audioTypes.push_back(
          MakeAudioType({audio.nChannels, audio.nSampleRate, audio.nBitsPerSample, audio.nBitrate / 8}));
    }
    encoder = std::make_unique<SinkWriterEncoder>(*record.get(), platform.EntryPoints());
    return encoder->Init(path);
  }
  const std::vector<SampleRecord>& Samples() const { return platform.writer->samples; }
};

// Host time stamps pass as they are (repeated, with gaps); every picture
// gets the nominal frame duration whatever its own says.
TEST(Encoder, CreateWriteCloseMatchesTheTranscript) {
  Rig r;
  r.platform.writer->offersEx = false;
  ASSERT_EQ(r.Open(Both()), 1);
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

// One call between the open and Finish, each answered 0.
int FinishRequest(SinkWriterEncoder& e) {  // null planes: the request reads no picture
  return e.EncodeVideoFrame(HostFrame().Times(0, KX_FINISH_REQUEST_DURATION).get());
}
template <void (*change)(HostFrame&) = nullptr>
int Picture(SinkWriterEncoder& e) {
  HostPicture picture(320, 240);
  if (change != nullptr) change(picture.record());
  return e.EncodeVideoFrame(picture.frame());
}
template <void (*change)(HostFrame&) = nullptr>
int Pcm(SinkWriterEncoder& e) {
  HostPcm pcm(1024, 2, 44100);
  if (change != nullptr) change(pcm.record());
  return e.EncodeAudioFrame(pcm.frame());
}
void NullV(HostFrame& f) { f.Set(host::kPlanes + 16, nullptr); }
void NegativeBytes(HostFrame& f) { f.Set(host::kPcmBytes, int32_t{-4}); }
void NullPcm(HostFrame& f) { f.Set(host::kPcm, nullptr); }

// A file's life from the open to Finish, with one call between that writes
// nothing: what Init and Finish return, every line logged, and how often
// Finalize was called. A failed open is logged and finishing afterwards
// does not wait forever; the status of a finalize that fails late is known
// only after the wait.
TEST(Encoder, EveryPathLogsAndReturnsAsTheCaseSays) {
  const std::string finalize = "mfsinkwriter->Finalize()";
  const WideString longest(SinkWriterEncoder::kMaxPathChars, 'a'), overlong(longest + FromUtf8("a")),
      unspellable(3000, 0x6F22);  // 9000 bytes in UTF-8
  const WCHAR* text = kOut.c_str();
  // status: of Finish
  const struct { const char* name; Refusal refusal; HostRecord record; const WCHAR* path;
      int (*call)(SinkWriterEncoder&); bool opens; HRESULT status; Lines lines; long finalizes; } cases[] = {
      {"longest path", {}, Both(), longest.c_str(), nullptr, true, S_OK, {kNoXmp}, 1},
      {"finish request gets no XMP", {}, Both(), text, FinishRequest, true, S_OK, {kFlushLine}, 1},
      {"late failure after request", {"OnFinalize", kDiskFull}, Both(), text, FinishRequest, true, kDiskFull,
       {kFlushLine, FailureLine(finalize, kDiskFull)}, 1},
      {"refused notify skips wait and XMP", {"NotifyEndOfSegment", E_FAIL}, Both(), text, nullptr, true, E_FAIL,
       {FailureLine("mfsinkwriter->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS)", E_FAIL)}, 0},
      {"refused request is tried again on close", {"Finalize", E_FAIL}, Both(), text, FinishRequest, true, E_FAIL,
       {FailureLine(finalize, E_FAIL), kFlushLine, FailureLine(finalize, E_FAIL)}, 2},
      {"create writer", {"MFCreateSinkWriterFromURL", MF_E_UNSUPPORTED_BYTESTREAM_TYPE}, Both(), text, Pcm, false,
       S_OK,
       {FailureLine("MFCreateSinkWriterFromURL(pFilename, NULL, pIMFAttributes, &mfsinkwriter)",
                    MF_E_UNSUPPORTED_BYTESTREAM_TYPE),
        ErrorLine("EncodeAudioFrame: the file is not open, nothing written")}, 0},
      {"add stream", {"AddStream", E_FAIL}, Both(), text, nullptr, false, S_OK,
       {FailureLine("mfsinkwriter->AddStream(videotype, &videoStreamIndex)", E_FAIL),
        FailureLine("CreateVideoMediaType()", E_FAIL)}, 1},
      {"begin writing", {"BeginWriting", E_FAIL}, Both(), text, nullptr, false, S_OK,
       {FailureLine("mfsinkwriter->BeginWriting()", E_FAIL)}, 1},
      {"audio type list", {"MFTranscodeGetAudioOutputAvailableTypes", MF_E_TOPO_CODEC_NOT_FOUND}, Both(), text,
       nullptr, false, S_OK,
       {FailureLine("MFTranscodeGetAudioOutputAvailableTypes(audiooutputguid, MFT_ENUM_FLAG_ALL, NULL, &collction)",
                    MF_E_TOPO_CODEC_NOT_FOUND),
        FailureLine("CreateAudioMediaType()", MF_E_TOPO_CODEC_NOT_FOUND)}, 1},
      {"no finalize event", {"CreateEventW", E_FAIL}, Both(), text, nullptr, false, S_OK,
       {ErrorLine("the finalize callback or its event could not be created")}, 0},
      {"null path", {}, Both(), nullptr, nullptr, false, S_OK, {ErrorLine("no output path given")}, 0},
      {"overlong path", {}, Both(), overlong.c_str(), nullptr, false, S_OK,
       {ErrorLine("the output path is longer than 4095 characters")}, 0},
      {"path too long for the code page", {}, Both(), unspellable.c_str(), nullptr, false, S_OK,
       {ErrorLine("the output path does not fit 8191 bytes in the ANSI code page")}, 0},
      {"null V", {}, Both(), text, Picture<NullV>, true, S_OK,
       {ErrorLine("EncodeVideoFrame: plane 2 of the picture is null, nothing written"), kNoXmp}, 1},
      {"negative byte count", {}, Both(), text, Pcm<NegativeBytes>, true, S_OK,
       {ErrorLine("EncodeAudioFrame: negative byte count -4, nothing written"), kNoXmp}, 1},
      {"null PCM", {}, Both(), text, Pcm<NullPcm>, true, S_OK,
       {ErrorLine("EncodeAudioFrame: no PCM data for 4096 bytes, nothing written"), kNoXmp}, 1},
      {"fewer than 8 bits", {}, AudioOnly(7), text, Pcm, true, S_OK,
       {ErrorLine("EncodeAudioFrame: no duration for 2 channels of 7 bits at 44100 Hz, nothing written"), kNoXmp}, 1},
      {"video to an audio file", {}, AudioOnly(), text, Picture, true, S_OK, {kNoXmp}, 1},
      {"video sample not created", {"MFCreateSample", E_OUTOFMEMORY}, Both(), text, Picture, true, S_OK,
       {FailureLine("MFCreateSample(&sample)", E_OUTOFMEMORY),
        FailureLine("CreateEmptySample(sample, buffer, imageSize)", E_OUTOFMEMORY), kNoXmp}, 1},
      {"audio buffer not created", {"MFCreateMemoryBuffer", E_OUTOFMEMORY}, Both(), text, Pcm, true, S_OK,
       {FailureLine("MFCreateMemoryBuffer(length, &buffer)", E_OUTOFMEMORY),
        FailureLine("CreateEmptySample(sample, buffer, pFrame->audio.nBytes)", E_OUTOFMEMORY), kNoXmp}, 1},
      {"video write refused", {"WriteSample", MF_E_INVALIDSTREAMNUMBER}, Both(), text, Picture, true, S_OK,
       {FailureLine("mfsinkwriter->WriteSample(videoStreamIndex, sample)", MF_E_INVALIDSTREAMNUMBER), kNoXmp}, 1},
  };
  // The unspellable case is skipped where the ANSI code page holds its path in 8192 bytes.
  const bool spellable = WideCharToMultiByte(CP_ACP, 0, unspellable.c_str(), -1, nullptr, 0, nullptr, nullptr) <= 8192;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.path == unspellable.c_str() && spellable) continue;
    Rig r(c.refusal);
    EXPECT_EQ(r.Open(c.record, c.path), c.opens);
    if (c.opens) r.encoder->SetXmpString("<x/>", 4);
    EXPECT_EQ(c.call != nullptr ? c.call(*r.encoder) : 0, 0);
    EXPECT_TRUE(r.Samples().empty());
    EXPECT_EQ(r.encoder->Finish(), c.status);
    EXPECT_EQ(r.log.Take(), c.lines);
    EXPECT_EQ(std::ranges::count(r.platform.writer->calls, std::string("Finalize")), c.finalizes);
    r.encoder.reset();
    EXPECT_EQ(r.log.Take(), Lines{kRelease});
  }
}

TEST(Encoder, PathsAreConvertedWholeAndXmpTooLongIsRefused) {
  Rig r;
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

// Each FourCC asks for its own subtype (HVC1 is the VC-1 row, not HEVC); a
// video FourCC sets no audio subtype, an audio FourCC no video subtype.
TEST(Encoder, FourCCsNameTheirSubtypes) {
  const struct { const char* fourcc; const GUID *video, *audio; } cases[] = {
      {"WMV1", &MFVideoFormat_WMV1, &GUID_NULL}, {"WMV2", &MFVideoFormat_WMV2, &GUID_NULL},
      {"WMV3", &MFVideoFormat_WMV3, &GUID_NULL}, {"HVC1", &MFVideoFormat_WVC1, &GUID_NULL},
      {"W264", &MFVideoFormat_H264, &GUID_NULL}, {"W265", &MFVideoFormat_HEVC, &GUID_NULL},
      {"WMA8", nullptr, &MFAudioFormat_WMAudioV8}, {"WMA9", nullptr, &MFAudioFormat_WMAudioV9},
      {"WAAC", nullptr, &MFAudioFormat_AAC}};
  for (const auto& c : cases) {
    Rig r;
    ASSERT_EQ(r.Open(HostRecord().Video(c.fourcc, 320, 240, 25.0).Audio(c.fourcc, 44100, 2)), 1) << c.fourcc;
    GUID video{};
    EXPECT_EQ(SUCCEEDED(r.platform.writer->outputTypes.at(0)->GetGUID(MF_MT_SUBTYPE, &video)), c.video != nullptr);
    EXPECT_TRUE(c.video == nullptr || IsEqualGUID(video, *c.video)) << c.fourcc;
    EXPECT_TRUE(IsEqualGUID(r.platform.listedSubtype, *c.audio)) << c.fourcc;
  }
}

// The audio output type: the first candidate, in the platform's order, with
// the exact PCM format and the exact rounded bitrate; else the first with
// the exact format. A candidate of 0 channels is no media type at all.
AudioCandidate Fit(UINT32 avgBytesPerSec) { return {2, 44100, 16, avgBytesPerSec}; }

TEST(Encoder, AudioChoiceFollowsTheOrderOfPreference) {
  const Lines noChoice = {FailureLine("E_FAIL", E_FAIL), FailureLine("CreateAudioMediaType()", E_FAIL)};
  // chosen: -1: Init fails with `lines`, and no stream is added
  const struct { const char* name; std::vector<AudioCandidate> candidates; UINT32 bitrate; int chosen; Lines lines;
      Refusal refusal = {}; UINT32 formatBlockBytes = 18; } cases[] = {
      {"exact bitrate, first in order", {Fit(12000), Fit(16000), Fit(16000)}, 128000, 1, {}},
      {"15500 and 16499 round to 128000, 16500 not", {Fit(16500), Fit(15500), Fit(16499)}, 128000, 1, {}},
      {"off the grid takes the first format match", {Fit(12000), Fit(16000)}, 128001, 0, {}},
      {"earliest format match, not the closest", {{1, 44100, 16, 16000}, Fit(8000), Fit(15000)}, 128000, 1, {}},
      {"format must match exactly", {{1, 44100, 16, 16000}, {2, 48000, 16, 16000}, {2, 44100, 24, 16000}}, 128000,
       -1, noChoice},
      {"empty list", {}, 128000, -1,
       {FailureLine("(num <= 0 ? E_FAIL:S_OK)", E_FAIL), FailureLine("CreateAudioMediaType()", E_FAIL)}},
      {"elements that are no media type are skipped", {{0, 0, 0, 0}, Fit(16000)}, 128000, 1,
       {FailureLine("element->QueryInterface(IID_IMFMediaType, &outputMediatype)", E_NOINTERFACE, "info")}},
      {"a refused conversion ends the choice", {Fit(16000), Fit(16000)}, 128000, -1,
       {FailureLine("MFInitAMMediaTypeFromMFMediaType(outputMediatype, WMFORMAT_WaveFormatEx, (AM_MEDIA_TYPE*)&mtout)",
                    MF_E_INVALIDMEDIATYPE),
        FailureLine("CreateAudioMediaType()", MF_E_INVALIDMEDIATYPE)},
       {"MFInitAMMediaTypeFromMFMediaType", MF_E_INVALIDMEDIATYPE}},
      {"empty format block never matches", {Fit(16000)}, 128000, -1, noChoice, {}, 0},
      {"short format block never matches", {Fit(16000)}, 128000, -1, noChoice, {}, 15},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r(c.refusal);
    for (const AudioCandidate& candidate : c.candidates) {
      r.platform.audioTypes.push_back(candidate.channels == 0 ? ComPtr<IUnknown>(Make<Fake<IUnknown>>().Get()) : MakeAudioType(candidate));
    }
    r.platform.formatBlockBytes = c.formatBlockBytes;
    EXPECT_EQ(r.Open(AudioOnly().U32(host::kAudioBitrate, c.bitrate), kOut.c_str(), false), c.chosen >= 0);
    EXPECT_EQ(r.log.Take(), c.lines);
    ASSERT_EQ(r.platform.writer->outputTypes.size(), c.chosen >= 0 ? 1u : 0u);
    if (c.chosen >= 0) {  // the platform's own object, unchanged
      EXPECT_EQ(static_cast<IUnknown*>(r.platform.writer->outputTypes[0].Get()), r.platform.audioTypes[c.chosen].Get());
    }
    EXPECT_TRUE(c.refusal.call == nullptr || r.platform.conversions == 1) << "no later candidate";
  }
}

// --- Samples ----------------------------------------------------------------

// PCM handed over in blocks: each sample holds whole frames (a partial one
// waits for the next block) with the single-precision duration, stamped
// with the time of its first frame (a block's time is its first byte's).
// Without durations: bytes / byte rate, within 1. A refused block is lost,
// but its trailing partial frame begins the next sample.
TEST(Encoder, PcmSamplesHoldWholeFramesWithTheirDurationAndTime) {
  // refused: the block whose sample the writer refuses
  const struct { const char* name; UINT32 bits; std::vector<int32_t> blocks; std::vector<LONGLONG> durations;
      int refused = -1; } cases[] = {
      {"1024 frames", 16, {4096}, {232199}},
      {"305 frames, single precision", 16, {305 * 4}, {69161}},  // 69160 in double
      {"24 bits", 24, {6144}, {232199}},
      {"empty", 16, {0}, {0}},
      {"a partial frame waits", 16, {4095, 4097}, {231972, 232426}},
      {"smaller than a frame", 16, {1, 1, 1, 3, 2, 4093, 3}, {}},
      {"odd sizes and empty", 16, {4097, 0, 3, 4094, 0, 5, 1}, {}},
      {"after a refused block", 16, {4095, 4095, 4095}, {}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    ASSERT_EQ(r.Open(AudioOnly(c.bits)), 1);
    const size_t frameBytes = c.bits / 4;
    const int64_t byteRate = static_cast<int64_t>(frameBytes) * 44100, base = 123456789;
    std::vector<uint8_t> stream;  // every byte handed over
    size_t lostFrom = SIZE_MAX, lostTo = SIZE_MAX;  // the refused sample's bytes
    for (size_t b = 0; b < c.blocks.size(); ++b) {
      std::vector<uint8_t> block(static_cast<size_t>(c.blocks[b]));  // exactly the host's bytes
      for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>((stream.size() + i) * 13 + (stream.size() + i) / 256);
      HostFrame frame;
      frame.Set(host::kPcm, block.data()).Set(host::kPcmBytes, c.blocks[b]);
      frame.Times(base + static_cast<int64_t>(stream.size()) * 10000000 / byteRate);
      const bool refused = static_cast<int>(b) == c.refused;
      r.platform.writer->refuse["WriteSample"] = refused ? E_FAIL : S_OK;
      EXPECT_EQ(r.encoder->EncodeAudioFrame(frame.get()), refused ? 0 : 1) << "block " << b;
      if (refused) lostFrom = stream.size() - stream.size() % frameBytes;
      stream.insert(stream.end(), block.begin(), block.end());
      if (refused) lostTo = stream.size() - stream.size() % frameBytes;
    }
    std::vector<uint8_t> written;
    for (size_t i = 0; i < r.Samples().size(); ++i) {
      const SampleRecord& sample = r.Samples()[i];
      const size_t at = written.size() + (written.size() >= lostFrom ? lostTo - lostFrom : 0);
      if (sample.bytes.empty() && c.durations.empty()) continue;  // an empty block: at the host's time
      EXPECT_NEAR(static_cast<double>(sample.time - base), static_cast<double>(at) * 1e7 / byteRate, 2.0) << i;
      const double duration = c.durations.empty() ? static_cast<double>(sample.bytes.size()) * 1e7 / byteRate
                                                  : static_cast<double>(c.durations.at(i));
      EXPECT_NEAR(static_cast<double>(sample.duration), duration, c.durations.empty() ? 1.0 : 0.0) << i;
      written.insert(written.end(), sample.bytes.begin(), sample.bytes.end());
    }
    EXPECT_TRUE(c.durations.empty() || r.Samples().size() == c.durations.size());
    stream.erase(stream.end() - static_cast<std::ptrdiff_t>(stream.size() % frameBytes), stream.end());  // whole frames
    if (c.refused >= 0) stream.erase(stream.begin() + lostFrom, stream.begin() + lostTo);
    EXPECT_EQ(written, stream);
    EXPECT_EQ(r.log.Records().size(), c.refused < 0 ? 0u : 1u);
  }
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

}  // namespace
}  // namespace kx::test
