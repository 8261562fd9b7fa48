// The multi-stream adapter as the host drives it, with the single-stream row
// replaced by a recording fake: what the merged record holds when it reaches
// the create, where each frame and each extra-data block goes, which calls
// are refused, and the log lines of each step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "entry_points.h"
#include "fake_file_formats.h"
#include "host_records.h"
#include "log_capture.h"

namespace kx::test {
namespace {

using namespace host;
constexpr size_t kXmp = kXmpOptions;

const kx_wchar* Path(const char* ascii) {
  static std::basic_string<kx_wchar> text;
  text = Wide(ascii);
  return text.c_str();
}

std::vector<std::string> Slots() {
  std::vector<std::string> slots;
  for (const FakeCall& call : Fake().calls) slots.push_back(call.slot);
  return slots;
}

class MultiStreamAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.active()) << "ZqLog_SetSink not found";
    Fake().Reset();
  }
  void TearDown() override {
    if (file_ != nullptr) CloseMediaFileMultiStream(file_);
  }

  MultiStreamFileHandle Create() {
    file_ = CreateMediaFileMultiStream();
    return file_;
  }
  // Opens the file and returns the merged record as the create saw it.
  const FakeCall& Open(const char* fourcc, uint64_t value = 0) {
    EXPECT_EQ(InitMediaFileMultiStream(file_, FourCC(fourcc), Path("out.file"), value), 1);
    for (const FakeCall& call : Fake().calls) {
      if (call.slot == "create") return call;
    }
    ADD_FAILURE() << "no create";
    static const FakeCall none;
    return none;
  }
  void CloseNow() {
    CloseMediaFileMultiStream(file_);
    file_ = nullptr;
  }

  LogCapture log_;
  MultiStreamFileHandle file_ = nullptr;
};

TEST_F(MultiStreamAdapterTest, CreateLogsAndStartsOnTheFirstRow) {
  ASSERT_NE(Create(), nullptr);
  EXPECT_EQ(log_.Records(), (std::vector<std::string>{"kx_WMVEX-MF: CreateMediaFileMultiStream \n",
                                                      "kx_Traxel.dll: Return file formatsEX..."}));
  // Before any open, writes reach the first (WMV) row with a null handle.
  HostRecord video;
  video.Video("WMV2", 160, 120, 25.0);
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 0, 7, video.get());
  MediaFrame frame{};
  EXPECT_EQ(WriteFrameMultiStream(file_, 7, &frame, 0), -1);
  ASSERT_EQ(Slots(), std::vector<std::string>{"video"});
  EXPECT_EQ(Fake().calls[0].handle, nullptr);
}

TEST_F(MultiStreamAdapterTest, LaterRecordOfATypeReplacesTheEarlierOne) {
  Create();
  HostRecord small, large;
  small.Video("WMV2", 160, 120, 25.0);
  large.Video("W264", 176, 144, 30.0);
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 0, 0, small.get());
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 1, 1, large.get());
  const FakeCall& create = Open("WMP4", 1234);
  ASSERT_EQ(create.record.size(), sizeof(EncodeParams));
  const uint8_t* merged = create.record.data();
  EXPECT_EQ(FourCCText(ReadU32(merged, kVideoFourCC)), "W264");
  EXPECT_EQ(ReadU32(merged, kWidth), 176u);
  EXPECT_EQ(ReadU32(merged, kHeight), 144u);
  EXPECT_EQ(ReadU32(merged, kNoVideo), 0u);
  EXPECT_EQ(ReadU32(merged, kNoAudio), 1u) << "no audio record: the section keeps its default";
  EXPECT_EQ(FourCCText(ReadU32(merged, kFileFourCC)), "WMP4") << "the container is the open's FourCC";
  EXPECT_EQ(create.fileName, "out.file");
  EXPECT_EQ(create.value, 1234u) << "the open's 64-bit value reaches the create";
}

TEST_F(MultiStreamAdapterTest, OpaqueBlockAndXmpComeOnlyFromTheAudioRecord) {
  Create();
  HostRecord audio, video;
  audio.Audio("WAAC", 48000, 2).Fill(kOpaqueBlock, kOpaqueBytes, 0xA1).U32(kXmp, 0x7).U32(kXmp + 4, 0x55);
  video.Video("W264", 160, 120, 25.0).Fill(kOpaqueBlock, kOpaqueBytes, 0xB2).U32(kXmp, 0x1);
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_AUDIO, 1, 0, 0, audio.get());
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 1, 1, video.get());
  const uint8_t* merged = Open("WMP4").record.data();
  EXPECT_TRUE(std::all_of(merged + kOpaqueBlock, merged + kOpaqueBlock + kOpaqueBytes,
                          [](uint8_t b) { return b == 0xA1; }))
      << "the opaque block is the audio record's, although the video record came later";
  EXPECT_EQ(ReadU32(merged, kXmp), 0x7u) << "XMP option bits of the audio record";
  EXPECT_EQ(ReadU32(merged, kXmp + 4), 0x55u);
  EXPECT_EQ(ReadU32(merged, kSampleRate), 48000u);
  EXPECT_EQ(ReadU32(merged, kChannels), 2u);
  EXPECT_EQ(ReadU32(merged, kBitsPerSample), 16u);
}

TEST_F(MultiStreamAdapterTest, AudioOnlyFileKeepsNoVideoAndDefaultsWithoutAudio) {
  Create();
  HostRecord audio;
  audio.Audio("WMA8", 44100, 2).Language(kAudioLanguage, "eng").Fill(kOpaqueBlock, kOpaqueBytes, 0x33);
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_AUDIO, 1, 0, 0, audio.get());
  const uint8_t* merged = Open("WWMA").record.data();
  EXPECT_EQ(ReadU32(merged, kNoVideo), 1u);
  EXPECT_EQ(ReadU32(merged, kNoAudio), 0u);
  EXPECT_EQ(ReadU32(merged, kNoSubpicture), 1u);
  EXPECT_TRUE(BytesAreZero(merged, kAudioLanguage, 20)) << "the audio language stays empty";
  EXPECT_EQ(merged[kOpaqueBlock], 0x33);
}

TEST_F(MultiStreamAdapterTest, WithoutAnAudioRecordOpaqueBlockAndXmpAreTheDefaults) {
  Create();
  HostRecord video;
  video.Video("WMV2", 160, 120, 25.0).Fill(kOpaqueBlock, kOpaqueBytes, 0xB2).U32(kXmp, 0x0);
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 0, 0, video.get());
  const uint8_t* merged = Open("WWMV").record.data();
  EXPECT_TRUE(BytesAreZero(merged, kOpaqueBlock, kOpaqueBytes));
  EXPECT_EQ(ReadU32(merged, kXmp), 0x3u) << "default XMP option bits 0 and 1";
}

TEST_F(MultiStreamAdapterTest, SubpictureOfType4IsMergedTypes5And6AreNot) {
  Create();
  HostRecord subpicture, internal;
  subpicture.U32(kSubpictureFourCC, FourCC("SUBP")).U32(kNoSubpicture, 0).Language(kSubpictureLanguage, "deu");
  internal.U32(kSubpictureFourCC, FourCC("SUBI")).U32(kNoSubpicture, 0);
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_SUBPICTURE, 1, 0, 0, subpicture.get());
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_SUBPIC_INTERNAL, 1, 1, 1, internal.get());
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_SUBPIC_EXTERNAL, 1, 2, 2, internal.get());
  const uint8_t* merged = Open("WWMV").record.data();
  EXPECT_EQ(FourCCText(ReadU32(merged, kSubpictureFourCC)), "SUBP");
  EXPECT_EQ(ReadU32(merged, kNoSubpicture), 0u);
  EXPECT_TRUE(BytesAreZero(merged, kSubpictureLanguage, 20));
}

TEST_F(MultiStreamAdapterTest, CodecPrivateDataReachesTheCreateAsOwnCopies) {
  Create();
  std::vector<uint8_t> videoData = {1, 2, 3, 4, 5}, audioData = {9, 8, 7};
  HostRecord video, audio;
  video.Video("W264", 160, 120, 25.0).Extra(kVideoExtra, videoData.data(), 5);
  audio.Audio("WAAC", 48000, 2).Extra(kAudioExtra, audioData.data(), 3);
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 0, 0, video.get());
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_AUDIO, 1, 1, 1, audio.get());
  videoData.assign(videoData.size(), 0);  // the host reuses its buffers after the call
  audioData.assign(audioData.size(), 0);
  const FakeCall& create = Open("WMP4");
  EXPECT_EQ(create.extraData[0], (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(create.extraData[1], (std::vector<uint8_t>{9, 8, 7}));
  EXPECT_TRUE(create.extraData[2].empty());
  EXPECT_NE(ReadPointer(create.record.data(), kVideoExtra + kExtraPointer), videoData.data());
}

// Where a frame goes: table of (streams described, index written, slot reached).
TEST_F(MultiStreamAdapterTest, FramesAreRoutedByOutputIndexInOrderOfAddition) {
  Create();
  HostRecord video, audio, subpicture;
  video.Video("W264", 160, 120, 25.0);
  audio.Audio("WAAC", 48000, 2);
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_SUBPIC_INTERNAL, 1, 0, 5, subpicture.get());
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_AUDIO, 1, 1, 5, audio.get());
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 2, 3, video.get());
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_SUBPIC_EXTERNAL, 1, 3, 9, subpicture.get());
  Open("WMP4");
  struct Case {
    uint32_t index;
    int32_t result;
    const char* slot;
  };
  const Case cases[] = {
      {5, kFakeAudioResult, "audio"},  // the subpicture record with the same index comes first and is skipped
      {3, kFakeVideoResult, "video"},
      {9, 0, nullptr},  // a subpicture stream: dropped
      {4, 0, nullptr},  // no such index
  };
  MediaFrame frame{};
  for (const Case& c : cases) {
    Fake().calls.clear();
    EXPECT_EQ(WriteFrameMultiStream(file_, c.index, &frame, 77), c.result) << "index " << c.index;
    if (c.slot == nullptr) {
      EXPECT_TRUE(Fake().calls.empty()) << "index " << c.index;
      continue;
    }
    ASSERT_EQ(Slots(), std::vector<std::string>{c.slot}) << "index " << c.index;
    EXPECT_EQ(Fake().calls[0].handle, FakeFile());
    EXPECT_EQ(Fake().calls[0].frame, &frame);
    EXPECT_EQ(Fake().calls[0].index, c.index);
    if (std::string(c.slot) == "audio") {
      EXPECT_EQ(Fake().calls[0].value, 77u);
    }
  }
}

TEST_F(MultiStreamAdapterTest, VideoOnTheWmaRowAndNullArgumentsWriteNothing) {
  Create();
  HostRecord video, audio;
  video.Video("WMV2", 160, 120, 25.0);
  audio.Audio("WMA8", 44100, 2);
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 0, 0, video.get());
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_AUDIO, 1, 1, 1, audio.get());
  Open("WWMA");
  Fake().calls.clear();
  MediaFrame frame{};
  EXPECT_EQ(WriteFrameMultiStream(file_, 0, &frame, 0), 0) << "the WMA row has no WriteVideoFrame";
  EXPECT_EQ(WriteFrameMultiStream(file_, 1, nullptr, 0), 0) << "null frame";
  EXPECT_EQ(WriteFrameMultiStream(nullptr, 1, &frame, 0), 0) << "null handle";
  EXPECT_TRUE(Fake().calls.empty());
}

TEST_F(MultiStreamAdapterTest, OpenFailuresAndWhatTheFollowingCloseCalls) {
  struct Case {
    const char* name;
    const char* fourcc;
    bool withStream;
    bool createFails;
    std::vector<std::string> slots;  // everything the fake row saw, close included
    MediaFileHandle closed;
  };
  const std::vector<Case> cases = {
      {"unknown FourCC", "WAVI", true, false, {}, nullptr},
      {"no streams", "WMP4", false, false, {"close"}, nullptr},
      {"create fails", "WWMV", true, true, {"create", "close"}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fake().Reset();
    if (c.createFails) Fake().createResult = nullptr;
    Create();
    HostRecord video;
    video.Video("WMV2", 160, 120, 25.0);
    if (c.withStream) AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 0, 0, video.get());
    log_.Clear();
    EXPECT_EQ(InitMediaFileMultiStream(file_, FourCC(c.fourcc), Path("a.wmv"), 0), 0);
    const auto records = log_.Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back(), std::string("kx_WMVEX-MF: InitMediaFileMultiStream Failed,file fourcc =[") + c.fourcc +
                                  "] ,filename =[a.wmv]");
    CloseNow();
    EXPECT_EQ(Slots(), c.slots);
    if (!Fake().calls.empty()) {
      EXPECT_EQ(Fake().calls.back().handle, c.closed);
    }
  }
}

TEST_F(MultiStreamAdapterTest, SecondOpenIsRefusedAndTheOpenFileStays) {
  Create();
  HostRecord video;
  video.Video("WMV2", 160, 120, 25.0);
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 0, 0, video.get());
  Open("WWMV");
  log_.Clear();
  EXPECT_EQ(InitMediaFileMultiStream(file_, FourCC("WMP4"), Path("b.mp4"), 0), 0);
  ASSERT_EQ(log_.Records().size(), 1u);
  EXPECT_NE(log_.Records()[0].find("InitMediaFileMultiStream Failed"), std::string::npos);
  CloseNow();
  EXPECT_EQ(Slots(), (std::vector<std::string>{"create", "close"})) << "one create only";
  EXPECT_EQ(Fake().calls.back().handle, FakeFile()) << "the first file is the one closed";
}

TEST_F(MultiStreamAdapterTest, NullHandleAndNullRecordAreRefused) {
  HostRecord video;
  log_.Clear();
  EXPECT_EQ(AddStreamInfoMultiStream(nullptr, KX_STREAMTYPE_VIDEO, 1, 0, 0, video.get()), 1);
  EXPECT_TRUE(log_.Records().empty()) << "a null handle in AddStreamInfo logs nothing";
  EXPECT_EQ(InitMediaFileMultiStream(nullptr, FourCC("WWMV"), Path("a.wmv"), 0), 0);
  EXPECT_EQ(log_.Records().size(), 1u) << "a null handle in Init is refused with one line";
  Create();
  log_.Clear();
  EXPECT_EQ(AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 0, 0, nullptr), 0);
  EXPECT_EQ(log_.Records().size(), 1u) << "a null record is refused with one line";
  EXPECT_EQ(InitMediaFileMultiStream(file_, FourCC("WWMV"), Path("a.wmv"), 0), 0)
      << "the refused record was not kept: no streams";
  WriteExtraDataMultiStream(nullptr, 4, nullptr, 0);
  CloseMediaFileMultiStream(nullptr);
  const auto records = log_.Records();
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[records.size() - 2], "kx_WMVEX-MF: WriteExtraDataMultiStream,streamidx =[4] \n");
  EXPECT_EQ(records.back(), "kx_WMVEX-MF: CloseMediaFileMultiStream \n");
}

TEST_F(MultiStreamAdapterTest, AddStreamInfoLogsEachStreamType) {
  Create();
  HostRecord video, audio, subpicture;
  video.Video("WMV2", 160, 120, 29.97);
  audio.Audio("WMA8", 44100, 2).Language(kAudioLanguage, "eng");
  subpicture.U32(kSubpictureFourCC, FourCC("SUBI"));
  log_.Clear();
  EXPECT_EQ(AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 2, 3, video.get()), 1);
  EXPECT_EQ(AddStreamInfoMultiStream(file_, KX_STREAMTYPE_AUDIO, 4, 5, 6, audio.get()), 1);
  EXPECT_EQ(AddStreamInfoMultiStream(file_, KX_STREAMTYPE_SUBPIC_INTERNAL, 7, 8, 9, subpicture.get()), 1);
  EXPECT_EQ(AddStreamInfoMultiStream(file_, KX_STREAMTYPE_SUBPIC_EXTERNAL, 1, 1, 1, subpicture.get()), 1);
  EXPECT_EQ(AddStreamInfoMultiStream(file_, 42, 1, 1, 1, subpicture.get()), 1);
  EXPECT_EQ(log_.Records(), (std::vector<std::string>{
      "kx_WMVEX-MF:AddStreamInfoMultiStream::streamtype = VIDEO,programid=1 ,InStreamindex =2 ,OutStreamIndex=3 \n",
      "kx_WMVEX-MF:AddStreamInfoMultiStream::streamfourcc= [WMV2],width=160 ,height =120 ,framerate=29.970000,"
      "bitrate=500000 \n",
      "kx_WMVEX-MF:AddStreamInfoMultiStream::streamtype = AUDIO,programid=4 ,InStreamindex =5 ,OutStreamIndex=6 \n",
      "kx_WMVEX-MF:AddStreamInfoMultiStream::streamfourcc= [WMA8], channel=2 ,samplerate =44100 ,bitrate=128000 ,"
      "language=eng \n",
      "kx_WMVEX-MF:AddStreamInfoMultiStream::streamtype = SUBPIC_Internal,programid=7 ,InStreamindex =8 ,"
      "OutStreamIndex=9 \n",
      "kx_WMVEX-MF:AddStreamInfoMultiStream::streamfourcc = [SUBI] , language=und \n",
      "kx_WMVEX-MF:AddStreamInfoMultiStream::streamtype = SUBPIC_External,programid=1 ,InStreamindex =1 ,"
      "OutStreamIndex=1 \n",
      "kx_WMVEX-MF:AddStreamInfoMultiStream::streamfourcc = [SUBI] , language=und \n",
  }));
}

TEST_F(MultiStreamAdapterTest, LanguageFilledToTheLastUnitIsLoggedWithoutReadingBeyond) {
  Create();
  HostRecord audio;
  audio.Audio("WMA8", 44100, 2).Language(kAudioLanguage, "abcdefghij");  // 10 units, no terminator
  audio.U32(kAudioExtra, 0x00585858);  // "XXX" right behind the field
  log_.Clear();
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_AUDIO, 0, 0, 0, audio.get());
  ASSERT_EQ(log_.Records().size(), 2u);
  EXPECT_NE(log_.Records()[1].find("language=abcdefghij \n"), std::string::npos) << log_.Records()[1];
}

TEST_F(MultiStreamAdapterTest, OpenLogsSuccessWithFourCCAndPath) {
  Create();
  HostRecord audio;
  audio.Audio("WAAC", 48000, 2);
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_AUDIO, 1, 0, 0, audio.get());
  log_.Clear();
  Open("WMP4");
  EXPECT_EQ(log_.Records(), (std::vector<std::string>{
                                "kx_Traxel.dll: Return file formatsEX...",
                                "kx_WMVEX-MF: InitMediaFileMultiStream Success,file fourcc =[WMP4] ,filename =[out.file]",
                            }));
  log_.Clear();
  CloseNow();
  EXPECT_EQ(log_.Records(), std::vector<std::string>{"kx_WMVEX-MF: CloseMediaFileMultiStream \n"});
  EXPECT_EQ(Slots(), (std::vector<std::string>{"create", "close"}));
}

// Extra data: (block bytes, index) -> what the row's extra-data slot receives.
// Every block is exactly nSize bytes on the heap, so that a read beyond it is
// caught by the sanitizer build.
TEST_F(MultiStreamAdapterTest, ExtraDataIsSplitWithinItsBytesAndRoutedByIndex) {
  Create();
  HostRecord video, audio;
  video.Video("WMV2", 160, 120, 25.0);
  audio.Audio("WMA8", 44100, 2);
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 0, 0, video.get());
  AddStreamInfoMultiStream(file_, KX_STREAMTYPE_AUDIO, 1, 1, 1, audio.get());
  Open("WWMV");

  struct Case {
    const char* name;
    uint32_t index;
    std::vector<uint8_t> block;
    const char* slot;
    std::vector<uint8_t> first, second;
    bool firstNull, secondNull;
  };
  const std::vector<Case> cases = {
      {"audio: first block", 1, {2, 0, 0, 0, 0xA, 0xB}, "audio extra", {0xA, 0xB}, {}, false, true},
      {"video: both blocks", 0, {1, 0, 0, 0, 0xA, 2, 0, 0, 0, 0xC, 0xD}, "video extra", {0xA}, {0xC, 0xD}, false, false},
      {"video: second length past the end", 0, {1, 0, 0, 0, 0xA, 9, 0, 0, 0, 0xC}, "video extra", {0xA}, {}, false, true},
      {"video: first length past the end", 0, {0x40, 0, 0, 0, 0xA, 0xB}, "video extra", {}, {}, true, true},
      {"video: negative first length", 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xA, 0xB, 0xC, 0xD, 0xE}, "video extra", {}, {},
       true, true},
      {"audio: four bytes or fewer", 1, {4, 0, 0, 0}, "audio extra", {}, {}, true, true},
      {"no stream at the index", 8, {1, 0, 0, 0, 0xA}, nullptr, {}, {}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fake().calls.clear();
    log_.Clear();
    std::unique_ptr<uint8_t[]> heap(new uint8_t[c.block.size()]);
    std::memcpy(heap.get(), c.block.data(), c.block.size());
    WriteExtraDataMultiStream(file_, c.index, heap.get(), static_cast<int32_t>(c.block.size()));
    EXPECT_EQ(log_.Records(), std::vector<std::string>{"kx_WMVEX-MF: WriteExtraDataMultiStream,streamidx =[" +
                                                       std::to_string(c.index) + "] \n"});
    if (c.slot == nullptr) {
      EXPECT_TRUE(Fake().calls.empty());
      continue;
    }
    ASSERT_EQ(Slots(), std::vector<std::string>{c.slot});
    const FakeCall& call = Fake().calls[0];
    EXPECT_EQ(call.handle, FakeFile());
    EXPECT_EQ(call.index, c.index);
    EXPECT_EQ(call.first, c.first);
    EXPECT_EQ(call.firstNull, c.firstNull);
    EXPECT_EQ(call.second, c.second);
    if (std::string(c.slot) == "video extra") {
      EXPECT_EQ(call.secondNull, c.secondNull);
    }
  }
  // A null block of any size hands over nothing.
  Fake().calls.clear();
  WriteExtraDataMultiStream(file_, 0, nullptr, 100);
  ASSERT_EQ(Slots(), std::vector<std::string>{"video extra"});
  EXPECT_TRUE(Fake().calls[0].firstNull && Fake().calls[0].secondNull);
}

}  // namespace
}  // namespace kx::test
