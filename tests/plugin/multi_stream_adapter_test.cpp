// The multi-stream adapter as the host drives it, with the single-stream row
// replaced by a recording fake: what the merged record holds when it reaches
// the create, where each frame and each extra-data block goes, which calls
// are refused, and the log lines of each path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
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
using Lines = std::vector<std::string>;

const kx_wchar* Path(const char* ascii) {
  static std::basic_string<kx_wchar> text;
  text = Wide(ascii);
  return text.c_str();
}

Lines Slots() {
  Lines slots;
  for (const FakeCall& call : Fake().calls) slots.push_back(call.slot);
  return slots;
}

// A stream as the host describes it: type, output index, record.
struct Stream {
  uint32_t type, out;
  std::function<void(HostRecord&)> fill;
};

class MultiStreamAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.active()) << "ZqLog_SetSink not found";
    Fake().Reset();
  }
  void TearDown() override { CloseNow(); }

  // A new file with these streams (input index = position).
  void Create(const std::vector<Stream>& streams) {
    CloseNow();
    Fake().Reset();
    file_ = CreateMediaFileMultiStream();
    ASSERT_NE(file_, nullptr);
    for (size_t i = 0; i < streams.size(); ++i) {
      HostRecord record;
      streams[i].fill(record);
      EXPECT_EQ(AddStreamInfoMultiStream(file_, streams[i].type, 1, static_cast<uint32_t>(i), streams[i].out,
                                         record.get()), 1);
    }
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
    if (file_ != nullptr) CloseMediaFileMultiStream(file_);
    file_ = nullptr;
  }

  LogCapture log_;
  MultiStreamFileHandle file_ = nullptr;
};

const auto kVideo = [](HostRecord& r) { r.Video("WMV2", 160, 120, 25.0); };
const auto kAudio = [](HostRecord& r) { r.Audio("WMA8", 44100, 2); };
const auto kNothing = [](HostRecord&) {};

// What the create receives: the last video and the last audio record win;
// the opaque block and the XMP options come from the audio record only;
// subpictures of type 4 are merged, 5 and 6 are not; languages stay empty;
// sections without a record keep their defaults.
TEST_F(MultiStreamAdapterTest, MergedRecordTable) {
  struct Case {
    const char* name;
    std::vector<Stream> streams;
    const char* container;
    std::vector<std::pair<size_t, uint32_t>> fields;
    uint8_t opaque;  // every byte of the opaque block
  };
  const std::vector<Case> cases = {
      {"later video record wins",
       {{KX_STREAMTYPE_VIDEO, 0, kVideo}, {KX_STREAMTYPE_VIDEO, 1, [](HostRecord& r) { r.Video("W264", 176, 144, 30.0); }}},
       "WMP4",
       {{kVideoFourCC, FourCC("W264")}, {kWidth, 176}, {kHeight, 144}, {kNoVideo, 0}, {kNoAudio, 1},
        {kFileFourCC, FourCC("WMP4")}, {kXmpOptions, 3}},
       0},
      {"later audio record wins, with its opaque block and XMP",
       {{KX_STREAMTYPE_AUDIO, 0, [](HostRecord& r) { r.Audio("WMA8", 44100, 1).Fill(kOpaqueBlock, kOpaqueBytes, 0x11); }},
        {KX_STREAMTYPE_AUDIO, 1,
         [](HostRecord& r) {
           r.Audio("WAAC", 48000, 2).Fill(kOpaqueBlock, kOpaqueBytes, 0xA1).U32(kXmpOptions, 7).U32(kXmpOptions + 4, 0x55);
         }},
        {KX_STREAMTYPE_VIDEO, 2,
         [](HostRecord& r) { r.Video("W264", 160, 120, 25.0).Fill(kOpaqueBlock, kOpaqueBytes, 0xB2).U32(kXmpOptions, 1); }}},
       "WMP4",
       {{kAudioFourCC, FourCC("WAAC")}, {kSampleRate, 48000}, {kChannels, 2}, {kBitsPerSample, 16},
        {kXmpOptions, 7}, {kXmpOptions + 4, 0x55}, {kNoVideo, 0}, {kNoAudio, 0}},
       0xA1},
      {"audio only",
       {{KX_STREAMTYPE_AUDIO, 0,
         [](HostRecord& r) { r.Audio("WMA8", 44100, 2).Language(kAudioLanguage, "eng").Fill(kOpaqueBlock, kOpaqueBytes, 0x33); }}},
       "WWMA",
       {{kNoVideo, 1}, {kNoAudio, 0}, {kNoSubpicture, 1}},
       0x33},
      {"no audio record: default opaque block and XMP",
       {{KX_STREAMTYPE_VIDEO, 0,
         [](HostRecord& r) { r.Video("WMV2", 160, 120, 25.0).Fill(kOpaqueBlock, kOpaqueBytes, 0xB2).U32(kXmpOptions, 0); }}},
       "WWMV",
       {{kXmpOptions, 3}},
       0},
      {"subpicture of type 4 only",
       {{KX_STREAMTYPE_SUBPICTURE, 0,
         [](HostRecord& r) {
           r.U32(kSubpictureFourCC, FourCC("SUBP")).U32(kNoSubpicture, 0).Language(kSubpictureLanguage, "deu");
         }},
        {KX_STREAMTYPE_SUBPIC_INTERNAL, 1, [](HostRecord& r) { r.U32(kSubpictureFourCC, FourCC("SUBI")); }},
        {KX_STREAMTYPE_SUBPIC_EXTERNAL, 2, [](HostRecord& r) { r.U32(kSubpictureFourCC, FourCC("SUBE")); }}},
       "WWMV",
       {{kSubpictureFourCC, FourCC("SUBP")}, {kNoSubpicture, 0}},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Create(c.streams);
    const FakeCall& create = Open(c.container, 1234);
    ASSERT_EQ(create.record.size(), sizeof(EncodeParams));
    const uint8_t* merged = create.record.data();
    for (const auto& [offset, value] : c.fields) EXPECT_EQ(ReadU32(merged, offset), value) << "offset " << offset;
    EXPECT_TRUE(std::all_of(merged + kOpaqueBlock, merged + kOpaqueBlock + kOpaqueBytes,
                            [&](uint8_t b) { return b == c.opaque; }));
    EXPECT_TRUE(BytesAreZero(merged, kAudioLanguage, 20) && BytesAreZero(merged, kSubpictureLanguage, 20));
    EXPECT_EQ(create.fileName, "out.file");
    EXPECT_EQ(create.value, 1234u) << "the open's 64-bit value reaches the create";
  }
}

TEST_F(MultiStreamAdapterTest, CodecPrivateDataReachesTheCreateAsOwnCopies) {
  std::vector<uint8_t> videoData = {1, 2, 3, 4, 5}, audioData = {9, 8, 7};
  Create({{KX_STREAMTYPE_VIDEO, 0, [&](HostRecord& r) { r.Video("W264", 160, 120, 25.0).Extra(kVideoExtra, videoData.data(), 5); }},
          {KX_STREAMTYPE_AUDIO, 1, [&](HostRecord& r) { r.Audio("WAAC", 48000, 2).Extra(kAudioExtra, audioData.data(), 3); }}});
  videoData.assign(videoData.size(), 0);  // the host reuses its buffers after the call
  audioData.assign(audioData.size(), 0);
  const FakeCall& create = Open("WMP4");
  EXPECT_EQ(create.extraData[0], (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(create.extraData[1], (std::vector<uint8_t>{9, 8, 7}));
  EXPECT_TRUE(create.extraData[2].empty());
}

// Where a frame goes, by output index in order of addition (a subpicture
// sharing an audio index is skipped); before the open, writes reach the
// first (WMV) row with a null handle.
TEST_F(MultiStreamAdapterTest, FramesAreRoutedByOutputIndex) {
  const std::vector<Stream> streams = {{KX_STREAMTYPE_SUBPIC_INTERNAL, 5, kNothing}, {KX_STREAMTYPE_AUDIO, 5, kAudio},
                                       {KX_STREAMTYPE_VIDEO, 3, kVideo}, {KX_STREAMTYPE_SUBPIC_EXTERNAL, 9, kNothing}};
  MediaFrame frame{};
  const struct {
    const char* container;  // null: not opened
    uint32_t index;
    const MediaFrame* frame;
    bool nullHandle;
    int32_t result;
    const char* slot;
  } cases[] = {
      {nullptr, 3, &frame, false, -1, "video"},
      {"WMP4", 5, &frame, false, kFakeAudioResult, "audio"},
      {"WMP4", 3, &frame, false, kFakeVideoResult, "video"},
      {"WMP4", 9, &frame, false, 0, nullptr},  // a subpicture stream
      {"WMP4", 4, &frame, false, 0, nullptr},  // no such index
      {"WWMA", 3, &frame, false, 0, nullptr},  // the WMA row has no WriteVideoFrame
      {"WWMA", 5, nullptr, false, 0, nullptr},
      {"WWMA", 5, &frame, true, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.container ? c.container : "not open") + " index " + std::to_string(c.index));
    Create(streams);
    if (c.container != nullptr) Open(c.container);
    Fake().calls.clear();
    EXPECT_EQ(WriteFrameMultiStream(c.nullHandle ? nullptr : file_, c.index, c.frame, 77), c.result);
    ASSERT_EQ(Slots(), c.slot ? Lines{c.slot} : Lines{});
    if (c.slot == nullptr) continue;
    const FakeCall& call = Fake().calls[0];
    EXPECT_EQ(call.handle, c.container ? FakeFile() : nullptr);
    EXPECT_EQ(call.frame, &frame);
    EXPECT_EQ(call.index, c.index);
    EXPECT_EQ(call.value, std::string(c.slot) == "audio" ? 77u : 0u);
  }
}

// The successful path's transcript, a language filled to its last unit
// logged without reading beyond it.
TEST_F(MultiStreamAdapterTest, TranscriptOfAFile) {
  Create({});
  const auto audio = [](HostRecord& r) {
    r.Audio("WMA8", 44100, 2).Language(kAudioLanguage, "abcdefghij");  // 10 units, no terminator
    r.U32(kAudioExtra, 0x00585858);                                    // "XXX" right behind the field
  };
  const auto video = [](HostRecord& r) { r.Video("WMV2", 160, 120, 29.97); };
  const auto subpicture = [](HostRecord& r) { r.U32(kSubpictureFourCC, FourCC("SUBI")); };
  const std::pair<uint32_t, std::function<void(HostRecord&)>> adds[] = {
      {KX_STREAMTYPE_VIDEO, video},   {KX_STREAMTYPE_AUDIO, audio}, {KX_STREAMTYPE_SUBPIC_INTERNAL, subpicture},
      {KX_STREAMTYPE_SUBPIC_EXTERNAL, subpicture}, {42, subpicture}};
  uint32_t n = 1;
  for (const auto& [type, fill] : adds) {
    HostRecord record;
    fill(record);
    EXPECT_EQ(AddStreamInfoMultiStream(file_, type, n, n + 1, n + 2, record.get()), 1);
    n += 3;
  }
  Open("WMP4");
  WriteExtraDataMultiStream(file_, 4, nullptr, 0);
  CloseNow();
  EXPECT_EQ(Slots(), (Lines{"create", "close"}));
  const std::string add = "kx_WMVEX-MF:AddStreamInfoMultiStream::";
  EXPECT_EQ(log_.Records(), (Lines{
      "kx_WMVEX-MF: CreateMediaFileMultiStream \n",
      "kx_Traxel.dll: Return file formatsEX...",
      add + "streamtype = VIDEO,programid=1 ,InStreamindex =2 ,OutStreamIndex=3 \n",
      add + "streamfourcc= [WMV2],width=160 ,height =120 ,framerate=29.970000,bitrate=500000 \n",
      add + "streamtype = AUDIO,programid=4 ,InStreamindex =5 ,OutStreamIndex=6 \n",
      add + "streamfourcc= [WMA8], channel=2 ,samplerate =44100 ,bitrate=128000 ,language=abcdefghij \n",
      add + "streamtype = SUBPIC_Internal,programid=7 ,InStreamindex =8 ,OutStreamIndex=9 \n",
      add + "streamfourcc = [SUBI] , language=und \n",
      add + "streamtype = SUBPIC_External,programid=10 ,InStreamindex =11 ,OutStreamIndex=12 \n",
      add + "streamfourcc = [SUBI] , language=und \n",
      "kx_Traxel.dll: Return file formatsEX...",
      "kx_WMVEX-MF: InitMediaFileMultiStream Success,file fourcc =[WMP4] ,filename =[out.file]",
      "kx_WMVEX-MF: WriteExtraDataMultiStream,streamidx =[4] \n",
      "kx_WMVEX-MF: CloseMediaFileMultiStream \n",
  }));
}

// Refused opens: the last log line, and what the following close calls. A
// second open leaves the first file open (and closes it).
TEST_F(MultiStreamAdapterTest, RefusedOpens) {
  const struct {
    const char* name;
    const char* fourcc;
    bool withStream, createFails, openedBefore;
    const char* line;
    Lines slots;  // everything the fake row saw, close included
  } cases[] = {
      {"unknown FourCC", "WAVI", true, false, false, "Failed,file fourcc =[WAVI] ,filename =[a.wmv]", {}},
      {"no streams", "WMP4", false, false, false, "Failed,file fourcc =[WMP4] ,filename =[a.wmv]", {"close"}},
      {"create fails", "WWMV", true, true, false, "Failed,file fourcc =[WWMV] ,filename =[a.wmv]", {"create", "close"}},
      {"second open", "WMP4", true, false, true, "Failed, file already open,file fourcc =[WMP4] ,filename =[a.wmv]",
       {"create", "close"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Create(c.withStream ? std::vector<Stream>{{KX_STREAMTYPE_VIDEO, 0, kVideo}} : std::vector<Stream>{});
    if (c.createFails) Fake().createResult = nullptr;
    if (c.openedBefore) Open("WWMV");
    log_.Clear();
    EXPECT_EQ(InitMediaFileMultiStream(file_, FourCC(c.fourcc), Path("a.wmv"), 0), 0);
    const std::string failed = std::string("kx_WMVEX-MF: InitMediaFileMultiStream ") + c.line;
    EXPECT_EQ(log_.Take(), (c.openedBefore ? Lines{failed} : Lines{"kx_Traxel.dll: Return file formatsEX...", failed}));
    CloseNow();
    EXPECT_EQ(Slots(), c.slots);
    EXPECT_TRUE(Fake().calls.empty() || Fake().calls.back().handle == (c.openedBefore ? FakeFile() : nullptr));
  }
}

// Null handles and a null record: refused, each with its one line (none for
// AddStreamInfo's null handle), and nothing reaches the row.
TEST_F(MultiStreamAdapterTest, NullHandlesAndNullRecordAreRefused) {
  Create({});
  HostRecord video;
  video.Video("WMV2", 160, 120, 25.0);
  const struct {
    const char* name;
    std::function<int32_t()> call;
    int32_t result;
    Lines lines;
  } cases[] = {
      {"add, null handle", [&] { return AddStreamInfoMultiStream(nullptr, KX_STREAMTYPE_VIDEO, 1, 0, 0, video.get()); },
       1, {}},
      {"add, null record", [&] { return AddStreamInfoMultiStream(file_, KX_STREAMTYPE_VIDEO, 1, 0, 0, nullptr); }, 0,
       {"kx_WMVEX-MF:AddStreamInfoMultiStream::pEncParam is null, stream not added \n"}},
      {"open, null handle", [&] { return InitMediaFileMultiStream(nullptr, FourCC("WWMV"), Path("a.wmv"), 0); }, 0,
       {"kx_WMVEX-MF: InitMediaFileMultiStream Failed, null handle \n"}},
      {"open after the refused record: no streams",
       [&] { return InitMediaFileMultiStream(file_, FourCC("WWMV"), Path("a.wmv"), 0); }, 0,
       {"kx_Traxel.dll: Return file formatsEX...",
        "kx_WMVEX-MF: InitMediaFileMultiStream Failed,file fourcc =[WWMV] ,filename =[a.wmv]"}},
      {"extra data, null handle", [&] { return WriteExtraDataMultiStream(nullptr, 4, nullptr, 0), 0; }, 0,
       {"kx_WMVEX-MF: WriteExtraDataMultiStream,streamidx =[4] \n"}},
      {"close, null handle", [&] { return CloseMediaFileMultiStream(nullptr), 0; }, 0,
       {"kx_WMVEX-MF: CloseMediaFileMultiStream \n"}},
  };
  log_.Clear();
  for (const auto& c : cases) {
    EXPECT_EQ(c.call(), c.result) << c.name;
    EXPECT_EQ(log_.Take(), c.lines) << c.name;
  }
  EXPECT_TRUE(Fake().calls.empty());
}

// Extra data: (block bytes, index) -> what the row's extra-data slot
// receives. Every block is exactly its size on the heap, so that a read
// beyond it is caught by the sanitizer build; an empty block here is a null
// pointer with a size of 100.
TEST_F(MultiStreamAdapterTest, ExtraDataIsSplitWithinItsBytesAndRoutedByIndex) {
  Create({{KX_STREAMTYPE_VIDEO, 0, kVideo}, {KX_STREAMTYPE_AUDIO, 1, kAudio}});
  Open("WWMV");
  using Bytes = std::vector<uint8_t>;
  const struct {
    const char* name;
    uint32_t index;
    Bytes block;
    const char* slot;
    Bytes first, second;
    bool firstNull, secondNull;
  } cases[] = {
      {"audio: first block", 1, {2, 0, 0, 0, 0xA, 0xB}, "audio extra", {0xA, 0xB}, {}, false, true},
      {"video: both blocks", 0, {1, 0, 0, 0, 0xA, 2, 0, 0, 0, 0xC, 0xD}, "video extra", {0xA}, {0xC, 0xD}, false, false},
      {"video: second length past the end", 0, {1, 0, 0, 0, 0xA, 9, 0, 0, 0, 0xC}, "video extra", {0xA}, {}, false, true},
      {"video: first length past the end", 0, {0x40, 0, 0, 0, 0xA, 0xB}, "video extra", {}, {}, true, true},
      {"video: negative first length", 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xA, 0xB, 0xC, 0xD, 0xE}, "video extra", {}, {}, true,
       true},
      {"video: null block", 0, {}, "video extra", {}, {}, true, true},
      {"audio: four bytes or fewer", 1, {4, 0, 0, 0}, "audio extra", {}, {}, true, true},
      {"no stream at the index", 8, {1, 0, 0, 0, 0xA}, nullptr, {}, {}, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fake().calls.clear();
    log_.Clear();
    std::unique_ptr<uint8_t[]> heap(c.block.empty() ? nullptr : new uint8_t[c.block.size()]);
    if (heap) std::memcpy(heap.get(), c.block.data(), c.block.size());
    WriteExtraDataMultiStream(file_, c.index, heap.get(), heap ? static_cast<int32_t>(c.block.size()) : 100);
    EXPECT_EQ(log_.Records(), Lines{"kx_WMVEX-MF: WriteExtraDataMultiStream,streamidx =[" + std::to_string(c.index) + "] \n"});
    ASSERT_EQ(Slots(), c.slot ? Lines{c.slot} : Lines{});
    if (c.slot == nullptr) continue;
    const FakeCall& call = Fake().calls[0];
    EXPECT_EQ(call.handle, FakeFile());
    EXPECT_EQ(call.index, c.index);
    EXPECT_EQ(call.first, c.first);
    EXPECT_EQ(call.firstNull, c.firstNull);
    EXPECT_EQ(call.second, c.second);
    EXPECT_EQ(call.secondNull, c.secondNull);
  }
}

}  // namespace
}  // namespace kx::test
