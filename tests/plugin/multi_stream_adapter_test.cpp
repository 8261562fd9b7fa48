// The multi-stream adapter as the host drives it, in front of a stand-in of
// the GetFileFormats table whose slots note every call as a line: what the
// merged record holds when it reaches the create, where each frame and each
// extra-data block goes, which calls are refused, and the log of each path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "discovery_tables.h"
#include "entry_points.h"
#include "host_records.h"
#include "log_capture.h"

namespace kx::test {
namespace {

using namespace host;
using Lines = std::vector<std::string>;

Lines g_calls;                  // every call of a stand-in slot
std::vector<uint8_t> g_record;  // the record of the last create
int g_file;                     // the stand-in's file
MediaFileHandle g_createResult;
const MediaFrame g_frame{};  // the host's frame

std::string Hex(const uint8_t* data, int64_t count) {
  if (data == nullptr) return "null";
  std::string text;
  char byte[3];
  for (int64_t i = 0; i < count; ++i) text += (std::snprintf(byte, sizeof byte, "%02x", data[i]), byte);
  return text;
}
const char* Name(const void* p) { return p == nullptr ? "null" : p == &g_file ? "file" : p == &g_frame ? "frame" : "?"; }
template <typename... Parts>
void Note(const Parts&... parts) {
  std::ostringstream line;
  ((line << parts << ' '), ...);
  g_calls.push_back(line.str().substr(0, line.str().size() - 1));
}

MediaFileHandle FakeCreate(const kx_wchar* pFileName, const EncodeParams* p, uint64_t value) {
  g_record.assign(reinterpret_cast<const uint8_t*>(p), reinterpret_cast<const uint8_t*>(p + 1));
  Note("create", ToUtf8(pFileName), value, Hex(p->video.extra.pExtraData, p->video.extra.nExtraDataSize),
       Hex(p->audio.extra.pExtraData, p->audio.extra.nExtraDataSize),
       Hex(p->subpicture.extra.pExtraData, p->subpicture.extra.nExtraDataSize));
  return g_createResult;
}
int32_t FakeAudio(MediaFileHandle handle, const MediaFrame* pFrame, uint64_t value, uint32_t index) {
  Note("audio", Name(handle), Name(pFrame), index, value);
  return handle == nullptr || pFrame == nullptr ? -1 : 11;
}
int32_t FakeVideo(MediaFileHandle handle, const MediaFrame* pFrame, uint32_t index) {
  Note("video", Name(handle), Name(pFrame), index);
  return handle == nullptr || pFrame == nullptr ? -1 : 22;
}
void FakeClose(MediaFileHandle handle) { Note("close", Name(handle)); }
void FakeAudioExtra(MediaFileHandle handle, const uint8_t* pData, int32_t nBytes, uint32_t index) {
  Note("audio-extra", Name(handle), index, Hex(pData, nBytes));
}
void FakeVideoExtra(MediaFileHandle handle, const uint8_t* pSecond, int32_t nSecond, const uint8_t* pFirst,
                    int32_t nFirst, uint32_t index) {
  Note("video-extra", Name(handle), index, Hex(pFirst, nFirst), Hex(pSecond, nSecond));
}

FileFormatDescriptor Row(const char* fourcc, bool video, bool extraData) {
  FileFormatDescriptor row{};
  row.fourcc = FourCC(fourcc);
  row.CreateMediaFile = FakeCreate;
  row.WriteAudioFrame = FakeAudio;
  row.WriteVideoFrame = video ? FakeVideo : nullptr;
  row.CloseMediaFile = FakeClose;
  row.SetAudioExtraData = extraData ? FakeAudioExtra : nullptr;
  row.SetVideoExtraData = extraData ? FakeVideoExtra : nullptr;
  return row;
}
// WMA takes no video. The WMV and WMA rows take extra data, so that the
// adapter's hand-over is visible; the MP4 row, like the real rows, does not.
FileFormatDescriptor g_rows[] = {Row("WWMV", true, true), Row("WWMA", false, true), Row("WMP4", true, false), {}};

}  // namespace
}  // namespace kx::test

FileFormatDescriptor* kx::FileFormatTable() { return kx::test::g_rows; }

namespace kx::test {
namespace {

// A stream as the host describes it: type, output index, record.
struct Stream {
  uint32_t type, out;
  std::function<void(HostRecord&)> fill;
};

class MultiStreamAdapter : public ::testing::Test {
 public:
  void TearDown() override { Close(); }
  // A new file with these streams (input index = position).
  void Create(const std::vector<Stream>& streams) {
    Close();
    g_calls.clear();
    g_createResult = &g_file;
    file_ = CreateMediaFileMultiStream();
    ASSERT_NE(file_, nullptr);
    for (uint32_t i = 0; i < streams.size(); ++i) {
      HostRecord record;
      streams[i].fill(record);
      EXPECT_EQ(AddStreamInfoMultiStream(file_, streams[i].type, 1, i, streams[i].out, record.get()), 1);
    }
  }
  int32_t Open(const char* fourcc, uint64_t value = 0) {
    return InitMediaFileMultiStream(file_, FourCC(fourcc), Wide("a.wmv").c_str(), value);
  }
  void Close() {
    if (file_ != nullptr) CloseMediaFileMultiStream(file_);
    file_ = nullptr;
  }
  LogCapture log_;
  MultiStreamFileHandle file_ = nullptr;
};

const auto kVideo = [](HostRecord& r) { r.Video("WMV2", 160, 120, 25.0); };
const auto kAudio = [](HostRecord& r) { r.Audio("WMA8", 44100, 2); };
const auto kNothing = [](HostRecord&) {};

// What the create receives: the last video and the last audio record win,
// each with its own copy of the codec private data; the opaque block and
// the XMP options come from the audio record only; subpictures of type 4
// are merged, 5 and 6 are not; languages stay empty; sections without a
// record keep the record's defaults.
TEST_F(MultiStreamAdapter, MergedRecordTable) {
  uint8_t hostBytes[] = {1, 2, 3, 4, 5};  // the host's private data, reused once the adds return
  const auto videoWith = [&](const char* fourcc, uint32_t width, uint32_t extraBytes) {
    return [=, &hostBytes](HostRecord& r) {
      r.Video(fourcc, width, 144, 30.0).Extra(kVideoExtra, hostBytes, extraBytes).Fill(kOpaqueBlock, kOpaqueBytes, 0xB2);
      r.U32(kXmpOptions, 0);
    };
  };
  const auto audioWith = [&](const char* fourcc, uint8_t opaque, uint32_t xmp) {
    return [=, &hostBytes](HostRecord& r) {
      r.Audio(fourcc, 48000, 2).Fill(kOpaqueBlock, kOpaqueBytes, opaque).U32(kXmpOptions, xmp).U32(kXmpOptions + 4, xmp);
      r.Language(kAudioLanguage, "eng").Extra(kAudioExtra, hostBytes + 3, 2);
    };
  };
  const auto subpicture = [&](const char* fourcc) {
    return [=, &hostBytes](HostRecord& r) {
      r.U32(kSubpictureFourCC, FourCC(fourcc)).U32(kNoSubpicture, 0).Language(kSubpictureLanguage, "deu");
      r.Extra(kSubpictureExtra, hostBytes, 1);
    };
  };
  const struct {
    const char* name;
    std::vector<Stream> streams;
    std::vector<std::pair<size_t, uint32_t>> fields;
    uint8_t opaque;  // every byte of the opaque block
    const char* create;
  } cases[] = {
      {"later video record wins; no audio record: default opaque block and XMP",
       {{KX_STREAMTYPE_VIDEO, 0, videoWith("WMV2", 160, 2)}, {KX_STREAMTYPE_VIDEO, 1, videoWith("W264", 176, 5)}},
       {{kVideoFourCC, FourCC("W264")}, {kWidth, 176}, {kNoVideo, 0}, {kNoAudio, 1}, {kXmpOptions, 3}},
       0, "create a.wmv 1234 0102030405 null null"},
      {"later audio record wins, with its opaque block and XMP",
       {{KX_STREAMTYPE_AUDIO, 0, audioWith("WMA8", 0x11, 5)}, {KX_STREAMTYPE_AUDIO, 1, audioWith("WAAC", 0xA1, 7)},
        {KX_STREAMTYPE_VIDEO, 2, videoWith("W264", 160, 0)}},
       {{kAudioFourCC, FourCC("WAAC")}, {kSampleRate, 48000}, {kChannels, 2}, {kXmpOptions, 7}, {kXmpOptions + 4, 7},
        {kNoVideo, 0}, {kNoAudio, 0}, {kNoSubpicture, 1}},
       0xA1, "create a.wmv 1234 null 0405 null"},
      {"subpicture of type 4 only",
       {{KX_STREAMTYPE_SUBPICTURE, 0, subpicture("SUBP")}, {KX_STREAMTYPE_SUBPIC_INTERNAL, 1, subpicture("SUBI")},
        {KX_STREAMTYPE_SUBPIC_EXTERNAL, 2, subpicture("SUBE")}},
       {{kSubpictureFourCC, FourCC("SUBP")}, {kNoSubpicture, 0}, {kNoVideo, 1}, {kNoAudio, 1},
        {kVideoHostValue24, 1}, {kVideoHostValue40, 8}, {kBitsPerSample, 8}, {kXmpOptions, 3}},
       0, "create a.wmv 1234 null null 01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Create(c.streams);
    std::fill(std::begin(hostBytes), std::end(hostBytes), 0xEE);
    ASSERT_EQ(Open("WMP4", 1234), 1);
    EXPECT_EQ(g_calls, Lines{c.create});
    const uint8_t* merged = g_record.data();
    for (const auto& [offset, value] : c.fields) EXPECT_EQ(ReadU32(merged, offset), value) << "offset " << offset;
    EXPECT_EQ(ReadU32(merged, kFileFourCC), FourCC("WMP4"));
    EXPECT_TRUE(std::all_of(merged + kOpaqueBlock, merged + kOpaqueBlock + kOpaqueBytes, [&](uint8_t b) { return b == c.opaque; }));
    EXPECT_TRUE(BytesAreZero(merged, kAudioLanguage, 20) && BytesAreZero(merged, kSubpictureLanguage, 20));
    for (uint8_t i = 0; i < 5; ++i) hostBytes[i] = i + 1;
  }
}

// The transcript of a file; a language filled to its last unit is logged
// without reading beyond it.
TEST_F(MultiStreamAdapter, TranscriptOfAFile) {
  Create({});
  const auto subpicture = [](HostRecord& r) { r.U32(kSubpictureFourCC, FourCC("SUBI")); };
  const std::pair<uint32_t, std::function<void(HostRecord&)>> adds[] = {
      {KX_STREAMTYPE_VIDEO, [](HostRecord& r) { r.Video("WMV2", 160, 120, 29.97); }},
      {KX_STREAMTYPE_AUDIO,
       [](HostRecord& r) {
         r.Audio("WMA8", 44100, 2).Language(kAudioLanguage, "abcdefghij");  // 10 units, no terminator
         r.U32(kAudioExtra, 0x00585858);                                    // "XXX" right behind the field
       }},
      {KX_STREAMTYPE_SUBPIC_INTERNAL, subpicture}, {KX_STREAMTYPE_SUBPIC_EXTERNAL, subpicture}, {42, subpicture}};
  uint32_t n = 1;
  for (const auto& [type, fill] : adds) {
    HostRecord record;
    fill(record);
    EXPECT_EQ(AddStreamInfoMultiStream(file_, type, n, n + 1, n + 2, record.get()), 1);
    n += 3;
  }
  EXPECT_EQ(Open("WMP4"), 1);
  WriteExtraDataMultiStream(file_, 4, nullptr, 0);
  Close();
  EXPECT_EQ(g_calls, (Lines{"create a.wmv 0 null null null", "close file"}));
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
      "kx_WMVEX-MF: InitMediaFileMultiStream Success,file fourcc =[WMP4] ,filename =[a.wmv]",
      "kx_WMVEX-MF: WriteExtraDataMultiStream,streamidx =[4] \n",
      "kx_WMVEX-MF: CloseMediaFileMultiStream \n",
  }));
}

using Call = std::function<int32_t(MultiStreamAdapter&)>;
Call WriteTo(uint32_t index, const MediaFrame* frame = &g_frame) {
  return [=](MultiStreamAdapter& t) { return WriteFrameMultiStream(t.file_, index, frame, 77); };
}
// An extra-data block of exactly its size on the heap (the sanitizer build
// sees any read beyond it); no bytes: a null pointer with a size of 100.
Call ExtraTo(uint32_t index, std::vector<uint8_t> bytes) {
  return [=](MultiStreamAdapter& t) {
    ExactBlock block(bytes.size());
    std::copy(bytes.begin(), bytes.end(), block.data());
    WriteExtraDataMultiStream(t.file_, index, bytes.empty() ? nullptr : block.data(), bytes.empty() ? 100 : int32_t(bytes.size()));
    return 0;
  };
}
Call OpenAs(const char* fourcc) { return [=](MultiStreamAdapter& t) { return t.Open(fourcc); }; }

// One call on a file of these streams, opened first as `container` (null:
// not opened): its result, the log from the call on (the close's included)
// and every call that reached the row (the close's included). Frames go by
// output index in order of addition (a subpicture sharing an audio index is
// skipped); before the open, to the first (WMV) row with a null handle.
// Extra data is split within its bytes and goes by index too.
TEST_F(MultiStreamAdapter, CallsTable) {
  HostRecord video;
  kVideo(video);
  const std::vector<Stream> none, oneVideo = {{KX_STREAMTYPE_VIDEO, 0, kVideo}},
                                  av = {{KX_STREAMTYPE_VIDEO, 0, kVideo}, {KX_STREAMTYPE_AUDIO, 1, kAudio}},
                                  routing = {{KX_STREAMTYPE_SUBPIC_INTERNAL, 5, kNothing}, {KX_STREAMTYPE_AUDIO, 5, kAudio},
                                             {KX_STREAMTYPE_VIDEO, 3, kVideo}, {KX_STREAMTYPE_SUBPIC_EXTERNAL, 9, kNothing}};
  const std::string formats = "kx_Traxel.dll: Return file formatsEX...", init = "kx_WMVEX-MF: InitMediaFileMultiStream ";
  const std::string closed = "kx_WMVEX-MF: CloseMediaFileMultiStream \n", extra = "kx_WMVEX-MF: WriteExtraDataMultiStream,streamidx =[";
  const std::string created = "create a.wmv 0 null null null";
  const struct {
    const char* name;
    const std::vector<Stream>& streams;
    const char* container;
    Call call;
    int32_t result;
    Lines lines, calls;
  } cases[] = {
      {"write before the open", routing, nullptr, WriteTo(3), -1, {closed}, {"video null frame 3", "close null"}},
      {"write, audio index", routing, "WMP4", WriteTo(5), 11, {closed}, {"audio file frame 5 77", "close file"}},
      {"write, video index", routing, "WMP4", WriteTo(3), 22, {closed}, {"video file frame 3", "close file"}},
      {"write, subpicture index", routing, "WMP4", WriteTo(9), 0, {closed}, {"close file"}},
      {"write, no such index", routing, "WMP4", WriteTo(4), 0, {closed}, {"close file"}},
      {"write, video to the WMA row", routing, "WWMA", WriteTo(3), 0, {closed}, {"close file"}},
      {"write, null frame", routing, "WWMA", WriteTo(5, nullptr), 0, {closed}, {"close file"}},
      {"write, null handle", routing, "WWMA", [](auto&) { return WriteFrameMultiStream(nullptr, 5, &g_frame, 0); }, 0,
       {closed}, {"close file"}},
      {"extra data, audio", av, "WWMV", ExtraTo(1, {2, 0, 0, 0, 0xA, 0xB}), 0, {extra + "1] \n", closed},
       {"audio-extra file 1 0a0b", "close file"}},
      {"extra data, video", av, "WWMV", ExtraTo(0, {1, 0, 0, 0, 0xA, 2, 0, 0, 0, 0xC, 0xD}), 0, {extra + "0] \n", closed},
       {"video-extra file 0 0a 0c0d", "close file"}},
      {"extra data, second length past the end", av, "WWMV", ExtraTo(0, {1, 0, 0, 0, 0xA, 9, 0, 0, 0, 0xC}), 0,
       {extra + "0] \n", closed}, {"video-extra file 0 0a null", "close file"}},
      {"extra data, first length past the end", av, "WWMV", ExtraTo(0, {0x40, 0, 0, 0, 0xA, 0xB}), 0,
       {extra + "0] \n", closed}, {"video-extra file 0 null null", "close file"}},
      {"extra data, negative first length", av, "WWMV", ExtraTo(0, {0xFF, 0xFF, 0xFF, 0xFF, 0xA, 0xB, 0xC, 0xD}), 0,
       {extra + "0] \n", closed}, {"video-extra file 0 null null", "close file"}},
      {"extra data, null block", av, "WWMV", ExtraTo(0, {}), 0, {extra + "0] \n", closed},
       {"video-extra file 0 null null", "close file"}},
      {"extra data, four bytes", av, "WWMV", ExtraTo(1, {4, 0, 0, 0}), 0, {extra + "1] \n", closed},
       {"audio-extra file 1 null", "close file"}},
      {"extra data, no such index", av, "WWMV", ExtraTo(8, {1, 0, 0, 0, 0xA}), 0, {extra + "8] \n", closed}, {"close file"}},
      {"extra data, null handle", none, nullptr, [](auto&) { return WriteExtraDataMultiStream(nullptr, 4, nullptr, 0), 0; },
       0, {extra + "4] \n", closed}, {"close null"}},
      {"open, unknown FourCC", oneVideo, nullptr, OpenAs("WAVI"), 0,
       {formats, init + "Failed,file fourcc =[WAVI] ,filename =[a.wmv]", closed}, {}},
      {"open, no streams", none, nullptr, OpenAs("WMP4"), 0,
       {formats, init + "Failed,file fourcc =[WMP4] ,filename =[a.wmv]", closed}, {"close null"}},
      {"open, create fails", oneVideo, nullptr, [](auto& t) { return g_createResult = nullptr, t.Open("WWMV"); }, 0,
       {formats, init + "Failed,file fourcc =[WWMV] ,filename =[a.wmv]", closed}, {created, "close null"}},
      {"second open: the first file stays", oneVideo, "WWMV", OpenAs("WMP4"), 0,
       {init + "Failed, file already open,file fourcc =[WMP4] ,filename =[a.wmv]", closed}, {"close file"}},
      {"open, null handle", none, nullptr, [](auto&) { return InitMediaFileMultiStream(nullptr, 0, Wide("a").c_str(), 0); },
       0, {init + "Failed, null handle \n", closed}, {"close null"}},
      {"add, null handle", none, nullptr,
       [&](auto&) { return AddStreamInfoMultiStream(nullptr, KX_STREAMTYPE_VIDEO, 1, 0, 0, video.get()); }, 1, {closed},
       {"close null"}},
      {"add, null record: no stream", none, nullptr,
       [](auto& t) { return AddStreamInfoMultiStream(t.file_, KX_STREAMTYPE_VIDEO, 1, 0, 0, nullptr) + t.Open("WWMV"); },
       0,
       {"kx_WMVEX-MF:AddStreamInfoMultiStream::pEncParam is null, stream not added \n", formats,
        init + "Failed,file fourcc =[WWMV] ,filename =[a.wmv]", closed},
       {"close null"}},
      {"close, null handle", none, nullptr, [](auto&) { return CloseMediaFileMultiStream(nullptr), 0; }, 0, {closed, closed},
       {"close null"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Create(c.streams);
    EXPECT_EQ(c.container ? Open(c.container) : 1, 1);
    g_calls.clear();
    log_.Clear();
    EXPECT_EQ(c.call(*this), c.result);
    Close();
    EXPECT_EQ(log_.Take(), c.lines);
    EXPECT_EQ(g_calls, c.calls);
  }
}

}  // namespace
}  // namespace kx::test
