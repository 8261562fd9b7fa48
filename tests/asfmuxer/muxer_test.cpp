// MuxerWMV against a fake ASF platform: what each configuration asks of the
// platform, what each packet becomes, the exact error lines of every step
// that can fail, and the results the exports give for each outcome.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "failure_line.h"
#include "fake_asf.h"
#include "host_records.h"
#include "kxdiag/log.h"
#include "log_capture.h"

namespace kx::test {
namespace {

using Lines = std::vector<std::string>;
constexpr HRESULT kFail = E_FAIL;

std::string ErrorLine(const std::string& call, HRESULT hr) { return FailureLine(call, hr, "error", "MuxerWMV: 'MuxerWMV'"); }

// The error lines only (the media type dump writes info lines).
Lines Errors(Lines all) {
  std::erase_if(all, [](const std::string& line) { return line.rfind("kx_Traxel error ", 0) != 0; });
  return all;
}


class Muxer : public ::testing::Test {
 protected:
  // A muxer with the tracks asked for (1 audio, 2 video), not configured.
  std::unique_ptr<MuxerWMV> Make(bool audio, bool video, IMFMediaType* audioBlockType = nullptr,
                                 IMFMediaType* videoBlockType = nullptr) {
    const auto a = PointerBlock(audioBlockType ? audioBlockType : type.Get());
    const auto v = PointerBlock(videoBlockType ? videoBlockType : videoType.Get());
    std::unique_ptr<MuxerWMV> m(MuxerWMV::Create(KX_W("out.wmv"), audio ? a.data() : nullptr, 10,
                                                 video ? v.data() : nullptr, 10, record.EntryPoints()));
    if (audio) m->SetAudioParam(1, 2, 44100, 128000, 16, 2);
    if (video) m->SetVideoParam(2, 320, 240, 25, 1, 500000, 3, 5);
    return m;
  }

  AsfRecord record;
  LogCapture log;
  const ComPtr<IMFMediaType> type = NewType(MFMediaType_Audio, GUID_NULL), videoType = NewType(MFMediaType_Video, GUID_NULL);
};

TEST_F(Muxer, ConfiguresOneStreamPerTrackAudioFirstAndFinishesOnTeardown) {
  const std::string open = " MFCreateASFContentInfo MFCreateASFProfile",
                    sink = " SetProfile MFCreateASFMediaSinkActivate ActivateObject SetPresentationClock",
                    audio = " CreateStream SetStreamNumber(1) SetStream",
                    video = " CreateStream SetStreamNumber(2) SetStream";
  const struct { bool audio, video; std::string calls; } cases[] = {
      {true, false, open + audio + sink + " GetStreamSinkById(1)"},
      {false, true, open + video + sink + " GetStreamSinkById(2)"},
      {true, true, open + audio + video + sink + " GetStreamSinkById(1) GetStreamSinkById(2)"},
  };
  for (const auto& c : cases) {
    record.calls.clear();
    auto m = Make(c.audio, c.video);
    ASSERT_EQ(m->ConfigInit(), 1);
    m.reset();
    EXPECT_EQ(record.calls, c.calls + " BeginFinalize EndFinalize Shutdown");
    EXPECT_EQ(Errors(log.Take()), Lines{});
  }
}

// A refused set-up step logs its lines, calls nothing after it, and the
// unfinished set-up is only released; a refused finish step is logged and
// the sink still shuts down.
TEST_F(Muxer, EachFailedStepLogsItsLinesAndEndsTheSetUpOrTheFinish) {
  const std::string profile = "CreateProfile(audiomediatype, videomediatype)";
  // released: the calls on teardown.
  const struct { std::string refused; Lines lines; std::string notCalled, released; } cases[] = {
      {"MFCreateASFContentInfo", {"MFCreateASFContentInfo(&asfcontentinfo)", profile}, "MFCreateASFProfile", ""},
      {"MFCreateASFProfile", {"MFCreateASFProfile(&asfprofile)", profile}, "CreateStream", ""},
      {"CreateStream", {"asfprofile->CreateStream(audioType, &AudioStream)", profile}, "SetStreamNumber(2)", ""},
      {"SetStreamNumber", {"AudioStream->SetStreamNumber(audiotrackidx)", profile}, "SetStreamNumber(2)", ""},
      {"SetStream", {"asfprofile->SetStream(AudioStream)", profile}, "SetStreamNumber(2)", ""},
      {"SetProfile", {"asfcontentinfo->SetProfile(asfprofile)", profile}, "MFCreateASFMediaSinkActivate", ""},
      {"MFCreateASFMediaSinkActivate", {"MFCreateASFMediaSinkActivate(filename.c_str(), asfcontentinfo, &activate)"},
       "ActivateObject", ""},
      {"ActivateObject", {"activate->ActivateObject(IID_PPV_ARGS(&mediasink))"}, "SetPresentationClock", ""},
      {"SetPresentationClock", {"mediasink->SetPresentationClock(NULL)"}, "GetStreamSinkById(1)", ""},
      {"GetStreamSinkById", {"mediasink->GetStreamSinkById(audiotrackidx, &audioStreamSink)"},
       "GetStreamSinkById(2)", ""},
      {"BeginFinalize", {"mediasink->BeginFinalize(callback, NULL)"}, "-", " BeginFinalize Shutdown"},
      {"EndFinalize", {"mediasink->EndFinalize(result)"}, "-", " BeginFinalize EndFinalize Shutdown"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refused);
    record.calls.clear();
    record.refuse = {{c.refused, kFail}};
    auto m = Make(true, true);
    EXPECT_EQ(m->ConfigInit(), c.released.empty() ? 0 : 1);
    EXPECT_EQ(record.calls.find(" " + c.notCalled), std::string::npos) << record.calls;
    record.calls.clear();
    m.reset();
    EXPECT_EQ(record.calls, c.released);
    Lines expected;
    for (const auto& call : c.lines) expected.push_back(ErrorLine(call, kFail));
    EXPECT_EQ(Errors(log.Take()), expected);
  }
}

// What a packet becomes: one sample with its bytes, time and duration
// unchanged and no attribute, or nothing; the export's result and the lines.
TEST_F(Muxer, PacketOutcomesGiveTheirSamplesLinesAndExportResults) {
  const uint8_t packet[3] = {0x00, 0x5A, 0xFF};
  const std::string made = " MFCreateSample MFCreateMemoryBuffer";
  const std::string sent = made + " ProcessSample(2: -12345678901 400000 0 0,90,255,)";
  const std::string sampleLine = "CreateEmptySample(sample, buffer, dataLength)";
  const struct { const char* name; std::map<std::string, HRESULT> refuse; bool audio; const uint8_t* data;
                 uint32_t length; std::string calls; int result; Lines lines; } cases[] = {
      {"accepted", {}, false, packet, 3, sent, 1, {}},
      {"empty", {}, false, packet, 0, made + " ProcessSample(2: -12345678901 400000 0 )", 1, {}},
      {"for the absent audio track: built and dropped", {}, true, packet, 3, made, 1, {}},
      {"refused by a stream sink that is shut down", {{"ProcessSample", MF_E_INVALID_STATE_TRANSITION}}, false,
       packet, 3, sent, 0, {}},
      {"stream sink failure", {{"ProcessSample", kFail}}, false, packet, 3, sent, 1,
       {ErrorLine("process input", kFail)}},
      {"no sample", {{"MFCreateSample", E_OUTOFMEMORY}}, false, packet, 3, " MFCreateSample", 1,
       {ErrorLine("MFCreateSample(&sample)", E_OUTOFMEMORY), ErrorLine(sampleLine, E_OUTOFMEMORY)}},
      {"no buffer", {{"MFCreateMemoryBuffer", E_OUTOFMEMORY}}, false, packet, 3, made, 1,
       {ErrorLine("MFCreateMemoryBuffer(length, &buffer)", E_OUTOFMEMORY), ErrorLine(sampleLine, E_OUTOFMEMORY)}},
      {"null data with a length", {}, false, nullptr, 3, "", 1,
       {"kx_Traxel error [Media Foundation MuxerWMV: 'MuxerWMV']: WritePacket: no packet data for 3 bytes, nothing "
        "written\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = Make(false, true);
    ASSERT_EQ(m->ConfigInit(), 1);
    record.calls.clear();
    record.refuse = c.refuse;
    log.Clear();
    const MFWMVMuxerPacket p{c.data, c.length, {}, -12345678901, {}, 400000};
    EXPECT_EQ(c.audio ? m->WriteAudioPacket(&p) : m->WriteVideoPacket(&p), c.result);
    EXPECT_EQ(Errors(log.Take()), c.lines);
    EXPECT_EQ(record.calls, c.calls);
    record.refuse.clear();
  }
}

// Refused creates and set-ups call nothing and log nothing; on the Linux
// layer, which knows its live media types, a block pointing at anything else
// ends the set-up with a line before anything calls through it.
TEST_F(Muxer, RefusedCreatesAndConfigurations) {
  const auto a = PointerBlock(type.Get());
  const struct { const char* name; const uint8_t *audio, *video; int32_t audioBytes, videoBytes; bool created; }
  creates[] = {
      {"both null", nullptr, nullptr, 10, 10, false},      {"9-byte audio", a.data(), nullptr, 9, 0, false},
      {"negative lengths", a.data(), a.data(), -1, -10, false}, {"10-byte audio", a.data(), nullptr, 10, 0, true},
      {"10-byte video only", nullptr, a.data(), 0, 10, true},
  };
  for (const auto& c : creates) {
    std::unique_ptr<MuxerWMV> m(
        MuxerWMV::Create(nullptr, c.audio, c.audioBytes, c.video, c.videoBytes, record.EntryPoints()));
    EXPECT_EQ(m != nullptr, c.created) << c.name;
  }
  for (uint32_t videoTrack : {MuxerWMV::kAbsentTrack, 2u}) {  // audio track 0; a video track without a block
    auto m = Make(true, false);
    m->SetAudioParam(videoTrack == 2 ? 1 : 0, 0, 0, 0, 0, 0);
    if (videoTrack == 2) m->SetVideoParam(videoTrack, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(m->ConfigInit(), 0) << videoTrack;
    EXPECT_EQ(m->WriteAudioPacket(nullptr), 0) << videoTrack;
  }
  EXPECT_EQ(log.Take(), Lines{});
#if !defined(_WIN32)
  uint64_t notAType[4] = {};
  const auto block = PointerBlock(reinterpret_cast<IMFMediaType*>(notAType));
  std::unique_ptr<MuxerWMV> m(MuxerWMV::Create(KX_W("out.wmv"), nullptr, 0, block.data(), 10, record.EntryPoints()));
  m->SetVideoParam(2, 0, 0, 0, 0, 0, 0, 0);
  EXPECT_EQ(m->ConfigInit(), 0);
  EXPECT_EQ(Errors(log.Take()), Lines{ErrorLine("ReferenceHostMediaType(pointer, mediatype)", E_INVALIDARG)});
#endif
  EXPECT_EQ(record.calls, "");
}

// Set-ups refused before the platform is asked for anything (so no file is
// touched), each with its one line; a configured muxer keeps its file and
// sink through a second ConfigInit; a failed set-up may be retried.
TEST_F(Muxer, RefusedSetUpsTouchNothingAndASecondSetUpKeepsTheFirst) {
  const std::string refused = "kx_Traxel error [Media Foundation MuxerWMV: 'MuxerWMV']: ConfigInit: ";
  const struct { const char* name; UINT32 audioTrack, videoTrack; bool nullVideoType, typesSwapped; std::string line; }
  cases[] = {
      {"low 16 bits name another stream", 0x10001, 2, false, false,
       "audio track number 65537 is not an ASF stream number (1 to 127), nothing created"},
      {"beyond ASF stream numbers", 1, 128, false, false,
       "video track number 128 is not an ASF stream number (1 to 127), nothing created"},
      {"one number for both tracks", 2, 2, false, false, "audio and video share track number 2, nothing created"},
      {"null media type beside a valid one", 1, 2, true, false,
       "the video block holds no media type, nothing created"},
      {"types in each other's blocks", 1, 2, false, true,
       "the audio block's media type is not audio, nothing created"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    record.calls.clear();
    auto m = c.typesSwapped ? Make(true, true, videoType.Get(), type.Get()) : Make(true, !c.nullVideoType);
    if (c.nullVideoType) m->videoExtraData.assign(10, 0);
    m->SetAudioParam(c.audioTrack, 2, 44100, 128000, 16, 2);
    m->SetVideoParam(c.videoTrack, 320, 240, 25, 1, 500000, 3, 5);
    EXPECT_EQ(m->ConfigInit(), 0);
    EXPECT_EQ(record.calls, "");
    EXPECT_EQ(log.Take(), Lines{refused + c.line + "\n"});
  }
  auto m = Make(true, true);
  record.refuse = {{"ActivateObject", kFail}};
  EXPECT_EQ(m->ConfigInit(), 0);
  record.refuse.clear();
  EXPECT_EQ(m->ConfigInit(), 1) << "a retry after a failed set-up";
  log.Clear();
  record.calls.clear();
  EXPECT_EQ(m->ConfigInit(), 0);
  EXPECT_EQ(record.calls, "") << "a configured muxer asks the platform for nothing";
  EXPECT_EQ(log.Take(), Lines{refused + "the file is configured already, it stays as it is\n"});
  m->SetAudioParam(2, 2, 44100, 128000, 16, 2);  // too late: packets keep their tracks
  const uint8_t bytes[1] = {7};
  const MFWMVMuxerPacket p{bytes, 1, {}, 0, {}, 0};
  EXPECT_EQ(m->WriteVideoPacket(&p), 1);
  EXPECT_NE(record.calls.find("ProcessSample(2: 0 0 0 7,)"), std::string::npos) << record.calls;
  // ASF readers take media objects below 16 MiB: a larger packet is refused.
  const std::vector<uint8_t> big(1 << 24);
  record.calls.clear();
  const MFWMVMuxerPacket large{big.data(), 1 << 24, {}, 0, {}, 0};
  EXPECT_EQ(m->WriteVideoPacket(&large), 0);
  EXPECT_EQ(record.calls, "");
  EXPECT_EQ(Errors(log.Take()), Lines{"kx_Traxel error [Media Foundation MuxerWMV: 'MuxerWMV']: WritePacket: a packet "
                                      "of 16777216 bytes is over the 16777215 an ASF reader takes, nothing written\n"});
}

}  // namespace
}  // namespace kx::test
