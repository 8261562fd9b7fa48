// The multi-stream adapter as the host drives it, in front of a stand-in of
// the GetFileFormats table whose slots note every call as a line: what the
// merged record holds when it reaches the create, where each frame and each
// extra-data block goes, which calls are refused, and the log of each path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <numeric>
#include <sstream>
#include <string>
#include <utility>
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
const MediaFrame g_frame{};     // the host's frame
uint8_t g_hostBytes[5];         // the host's private data, reused once the adds return

std::string Hex(const uint8_t* data, int64_t count) {
  std::string text = data ? "" : "null";
  for (int64_t i = 0; data && i < count; ++i) text.append({"0123456789abcdef"[data[i] >> 4], "0123456789abcdef"[data[i] & 15]});
  return text;
}
const char* Name(const void* p) { return p == nullptr ? "null" : p == &g_file ? "file" : p == &g_frame ? "frame" : "?"; }
template <typename... Parts>
int32_t Note(int32_t result, const Parts&... parts) {
  std::ostringstream line;
  ((line << parts << ' '), ...);
  g_calls.push_back(line.str().substr(0, line.str().size() - 1));
  return result;
}

MediaFileHandle FakeCreate(const kx_wchar* pFileName, const EncodeParams* p, uint64_t value) {
  g_record.assign(reinterpret_cast<const uint8_t*>(p), reinterpret_cast<const uint8_t*>(p + 1));
  Note(0, "create", ToUtf8(pFileName), value, Hex(p->video.extra.pExtraData, p->video.extra.nExtraDataSize),
       Hex(p->audio.extra.pExtraData, p->audio.extra.nExtraDataSize), Hex(p->subpicture.extra.pExtraData, p->subpicture.extra.nExtraDataSize));
  return g_createResult;
}
int32_t FakeAudio(MediaFileHandle handle, const MediaFrame* pFrame, uint64_t value, uint32_t index) {
  return Note(handle && pFrame ? 11 : -1, "audio", Name(handle), Name(pFrame), index, value);
}
int32_t FakeVideo(MediaFileHandle handle, const MediaFrame* pFrame, uint32_t index) {
  return Note(handle && pFrame ? 22 : -1, "video", Name(handle), Name(pFrame), index);
}
void FakeClose(MediaFileHandle handle) { Note(0, "close", Name(handle)); }
void FakeAudioExtra(MediaFileHandle handle, const uint8_t* pData, int32_t nBytes, uint32_t index) {
  Note(0, "audio-extra", Name(handle), index, Hex(pData, nBytes));
}
void FakeVideoExtra(MediaFileHandle handle, const uint8_t* p2, int32_t n2, const uint8_t* p1, int32_t n1, uint32_t index) {
  Note(0, "video-extra", Name(handle), index, Hex(p1, n1), Hex(p2, n2));
}

FileFormatDescriptor Row(const char* fourcc, bool video, bool extraData) {
  FileFormatDescriptor row{};
  row.fourcc = FourCC(fourcc), row.CreateMediaFile = FakeCreate, row.WriteAudioFrame = FakeAudio, row.CloseMediaFile = FakeClose;
  row.WriteVideoFrame = video ? FakeVideo : nullptr;
  row.SetAudioExtraData = extraData ? FakeAudioExtra : nullptr, row.SetVideoExtraData = extraData ? FakeVideoExtra : nullptr;
  return row;
}
// WMA takes no video. The WMV and WMA rows take extra data, so that the
// adapter's hand-over is visible; the MP4 row, like the real rows, does not.
FileFormatDescriptor g_rows[] = {Row("WWMV", true, true), Row("WWMA", false, true), Row("WMP4", true, false), {}};

// A stream as the host describes it: type, output index, record.
struct Stream { uint32_t type, out; std::function<void(HostRecord&)> fill; };

class MultiStreamAdapter : public ::testing::Test {
 public:
  void TearDown() override { Close(); }
  // A new file with these streams: program 3i+1, input index 3i+2.
  void Create(const std::vector<Stream>& streams) {
    Close();
    g_calls.clear();
    g_createResult = &g_file;
    file_ = CreateMediaFileMultiStream();
    ASSERT_NE(file_, nullptr);
    for (uint32_t i = 0; i < streams.size(); ++i) {
      HostRecord record;
      streams[i].fill(record);
      EXPECT_EQ(AddStreamInfoMultiStream(file_, streams[i].type, 3 * i + 1, 3 * i + 2, streams[i].out, record.get()), 1);
    }
  }
  int32_t Open(const char* fourcc, uint64_t value = 0) { return InitMediaFileMultiStream(file_, FourCC(fourcc), Wide("a.wmv").c_str(), value); }
  void Close() { file_ ? CloseMediaFileMultiStream(std::exchange(file_, nullptr)) : void(); }
  LogCapture log_;
  MultiStreamFileHandle file_ = nullptr;
};

// Streams whose records carry the host's private data and an opaque block.
Stream VideoWith(uint32_t out, const char* fourcc, uint32_t width, uint32_t extraBytes) {
  return {KX_STREAMTYPE_VIDEO, out, [=](HostRecord& r) {
            r.Video(fourcc, width, 144, 30.0).Extra(kVideoExtra, g_hostBytes, extraBytes).U32(kXmpOptions, 0);
            r.Fill(kOpaqueBlock, kOpaqueBytes, 0xB2);
          }};
}
Stream AudioWith(uint32_t out, const char* fourcc, uint8_t opaque, uint32_t xmp) {
  return {KX_STREAMTYPE_AUDIO, out, [=](HostRecord& r) {
            r.Audio(fourcc, 48000, 2).Fill(kOpaqueBlock, kOpaqueBytes, opaque).U32(kXmpOptions, xmp).U32(kXmpOptions + 4, xmp);
            r.Language(kAudioLanguage, "eng").Extra(kAudioExtra, g_hostBytes + 3, 2);
          }};
}
Stream Subpicture(uint32_t type, const char* fourcc) {
  return {type, type, [=](HostRecord& r) {
            r.U32(kSubpictureFourCC, FourCC(fourcc)).U32(kNoSubpicture, 0).Language(kSubpictureLanguage, "deu");
            r.Extra(kSubpictureExtra, g_hostBytes, 1);
          }};
}

// What the create receives: the last video and the last audio record win,
// each with its own copy of the codec private data; the opaque block and
// the XMP options come from the audio record only; subpictures of type 4
// are merged, 5 and 6 are not; languages stay empty; sections without a
// record keep the record's defaults.
TEST_F(MultiStreamAdapter, MergedRecordTable) {
  // opaque: every byte of the opaque block
  const struct { std::vector<Stream> streams; std::vector<std::pair<size_t, uint32_t>> fields; uint8_t opaque;
      const char* create; } cases[] = {
      {{VideoWith(0, "WMV2", 160, 2), VideoWith(1, "W264", 176, 5)},  // no audio record: default opaque block and XMP
       {{kVideoFourCC, FourCC("W264")}, {kWidth, 176}, {kNoVideo, 0}, {kNoAudio, 1}, {kXmpOptions, 3}},
       0, "create a.wmv 1234 0102030405 null null"},
      {{AudioWith(0, "WMA8", 0x11, 5), AudioWith(1, "WAAC", 0xA1, 7), VideoWith(2, "W264", 160, 0)},
       {{kAudioFourCC, FourCC("WAAC")}, {kSampleRate, 48000}, {kChannels, 2}, {kXmpOptions, 7}, {kXmpOptions + 4, 7},
        {kNoVideo, 0}, {kNoAudio, 0}, {kNoSubpicture, 1}},
       0xA1, "create a.wmv 1234 null 0405 null"},
      {{Subpicture(KX_STREAMTYPE_SUBPICTURE, "SUBP"), Subpicture(KX_STREAMTYPE_SUBPIC_INTERNAL, "SUBI"),
        Subpicture(KX_STREAMTYPE_SUBPIC_EXTERNAL, "SUBE")},
       {{kSubpictureFourCC, FourCC("SUBP")}, {kNoSubpicture, 0}, {kNoVideo, 1}, {kNoAudio, 1},
        {kVideoHostValue24, 1}, {kVideoHostValue40, 8}, {kBitsPerSample, 8}, {kXmpOptions, 3}},
       0, "create a.wmv 1234 null null 01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.create);
    std::iota(std::begin(g_hostBytes), std::end(g_hostBytes), 1);
    Create(c.streams);
    std::fill(std::begin(g_hostBytes), std::end(g_hostBytes), 0xEE);
    ASSERT_EQ(Open("WMP4", 1234), 1);
    EXPECT_EQ(g_calls, Lines{c.create});
    const uint8_t* merged = g_record.data();
    for (const auto& [offset, value] : c.fields) EXPECT_EQ(ReadU32(merged, offset), value) << "offset " << offset;
    EXPECT_EQ(ReadU32(merged, kFileFourCC), FourCC("WMP4"));
    EXPECT_TRUE(std::all_of(merged + kOpaqueBlock, merged + kOpaqueBlock + kOpaqueBytes, [&](uint8_t b) { return b == c.opaque; }));
    EXPECT_TRUE(BytesAreZero(merged, kAudioLanguage, 20) && BytesAreZero(merged, kSubpictureLanguage, 20));
  }
}

// The transcript of a file; a language filled to its last unit is logged
// without reading beyond it.
TEST_F(MultiStreamAdapter, TranscriptOfAFile) {
  const auto subpicture = [](HostRecord& r) { r.U32(kSubpictureFourCC, FourCC("SUBI")); };
  Create({{KX_STREAMTYPE_VIDEO, 3, [](HostRecord& r) { r.Video("WMV2", 160, 120, 29.97); }},
          // A language of 10 units and no terminator, "XXX" right behind the field.
          {KX_STREAMTYPE_AUDIO, 6, [](HostRecord& r) {
             r.Audio("WMA8", 44100, 2).Language(kAudioLanguage, "abcdefghij").U32(kAudioExtra, 0x00585858);
           }},
          {KX_STREAMTYPE_SUBPIC_INTERNAL, 9, subpicture}, {KX_STREAMTYPE_SUBPIC_EXTERNAL, 12, subpicture}, {42, 15, subpicture}});
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

// One call on a file of these streams, opened first as `container` (null:
// not opened): its result, the log from the call on (the close's line is the
// last) and every call that reached the row (the close's included). Frames go
// by output index in order of addition (a subpicture sharing an audio index
// is skipped); before the open, to the first (WMV) row with a null handle.
// Extra data is split within its bytes and goes by index too.
// One call on a file of the routing streams (none: no streams), opened
// first as `container` (null: not opened): its result, the log from the
// call on (the close's line last) and every call that reached the row (the
// close's included). Frames go by output index in order of addition (a
// subpicture sharing an audio index is skipped); before the open, to the
// first (WMV) row with a null handle. Extra data is split within its bytes
// and goes by index too; its block is exactly its size on the heap (the
// sanitizer build sees any read beyond it; no bytes: a null pointer with a
// size of 100).
TEST_F(MultiStreamAdapter, CallsTable) {
  const auto nothing = [](HostRecord&) {};
  const std::vector<Stream> routing = {{KX_STREAMTYPE_SUBPIC_INTERNAL, 5, nothing},
                                       {KX_STREAMTYPE_AUDIO, 5, [](HostRecord& r) { r.Audio("WMA8", 44100, 2); }},
                                       {KX_STREAMTYPE_VIDEO, 3, [](HostRecord& r) { r.Video("WMV2", 160, 120, 25.0); }},
                                       {KX_STREAMTYPE_SUBPIC_EXTERNAL, 9, nothing}};
  const std::string formats = "kx_Traxel.dll: Return file formatsEX...", init = "kx_WMVEX-MF: InitMediaFileMultiStream ";
  const auto extra = [](int index) { return "kx_WMVEX-MF: WriteExtraDataMultiStream,streamidx =[" + std::to_string(index) + "] \n"; };
  const auto failed = [&](const char* fourcc) { return init + "Failed,file fourcc =[" + fourcc + "] ,filename =[a.wmv]"; };
  using Call = std::function<int32_t(MultiStreamAdapter&)>;
  const auto write = [](uint32_t index, const MediaFrame* frame = &g_frame) -> Call {
    return [=](auto& t) { return WriteFrameMultiStream(t.file_, index, frame, 77); };
  };
  const auto extraData = [](uint32_t index, std::vector<uint8_t> bytes) -> Call {
    return [=](auto& t) {
      const ExactBlock block(bytes.data(), bytes.size());
      return WriteExtraDataMultiStream(t.file_, index, bytes.empty() ? nullptr : block.data(), bytes.empty() ? 100 : int32_t(bytes.size())), 0;
    };
  };
  const auto open = [](const char* fourcc) -> Call { return [=](auto& t) { return t.Open(fourcc); }; };
  const struct { const char* name; bool streams; const char* container; Call call; int32_t result; Lines lines, calls;
      } cases[] = {
      {"write before the open", true, nullptr, write(3), -1, {}, {"video null frame 3", "close null"}},
      {"write, audio index", true, "WMP4", write(5), 11, {}, {"audio file frame 5 77", "close file"}},
      {"write, video index", true, "WMP4", write(3), 22, {}, {"video file frame 3", "close file"}},
      {"write, subpicture index", true, "WMP4", write(9), 0, {}, {"close file"}},
      {"write, no such index", true, "WMP4", write(4), 0, {}, {"close file"}},
      {"write, video to the WMA row", true, "WWMA", write(3), 0, {}, {"close file"}},
      {"write, null frame", true, "WWMA", write(5, nullptr), 0, {}, {"close file"}},
      {"write, null handle", true, "WWMA", [](auto&) { return WriteFrameMultiStream(nullptr, 5, &g_frame, 0); }, 0, {}, {"close file"}},
      {"extra data, audio", true, "WWMV", extraData(5, {2, 0, 0, 0, 0xA, 0xB}), 0, {extra(5)}, {"audio-extra file 5 0a0b", "close file"}},
      {"extra data, video", true, "WWMV", extraData(3, {1, 0, 0, 0, 0xA, 2, 0, 0, 0, 0xC, 0xD}), 0, {extra(3)},
       {"video-extra file 3 0a 0c0d", "close file"}},
      {"extra data, second length past the end", true, "WWMV", extraData(3, {1, 0, 0, 0, 0xA, 9, 0, 0, 0, 0xC}), 0, {extra(3)},
       {"video-extra file 3 0a null", "close file"}},
      {"extra data, first length past the end", true, "WWMV", extraData(3, {0x40, 0, 0, 0, 0xA, 0xB}), 0, {extra(3)},
       {"video-extra file 3 null null", "close file"}},
      {"extra data, negative first length", true, "WWMV", extraData(3, {0xFF, 0xFF, 0xFF, 0xFF, 0xA, 0xB, 0xC, 0xD}), 0, {extra(3)},
       {"video-extra file 3 null null", "close file"}},
      {"extra data, null block", true, "WWMV", extraData(3, {}), 0, {extra(3)}, {"video-extra file 3 null null", "close file"}},
      {"extra data, four bytes", true, "WWMV", extraData(5, {4, 0, 0, 0}), 0, {extra(5)}, {"audio-extra file 5 null", "close file"}},
      {"extra data, no such index", true, "WWMV", extraData(8, {1, 0, 0, 0, 0xA}), 0, {extra(8)}, {"close file"}},
      {"extra data, null handle", false, nullptr, [](auto&) { return WriteExtraDataMultiStream(nullptr, 4, nullptr, 0), 0; }, 0,
       {extra(4)}, {"close null"}},
      {"open, unknown FourCC", true, nullptr, open("WAVI"), 0, {formats, failed("WAVI")}, {}},
      {"open, no streams", false, nullptr, open("WMP4"), 0, {formats, failed("WMP4")}, {"close null"}},
      {"open, create fails", true, nullptr, [](auto& t) { return g_createResult = nullptr, t.Open("WWMV"); }, 0,
       {formats, failed("WWMV")}, {"create a.wmv 0 null null null", "close null"}},
      {"second open: the first file stays", true, "WWMV", open("WMP4"), 0,
       {init + "Failed, file already open,file fourcc =[WMP4] ,filename =[a.wmv]"}, {"close file"}},
      {"open, null handle", false, nullptr, [](auto&) { return InitMediaFileMultiStream(nullptr, 0, Wide("a").c_str(), 0); }, 0,
       {init + "Failed, null handle \n"}, {"close null"}},
      {"add, null handle", false, nullptr, [](auto&) { return AddStreamInfoMultiStream(nullptr, 2, 1, 0, 0, HostRecord().get()); }, 1, {},
       {"close null"}},
      {"add, null record: no stream", false, nullptr,
       [](auto& t) { return AddStreamInfoMultiStream(t.file_, KX_STREAMTYPE_VIDEO, 1, 0, 0, nullptr) + t.Open("WWMV"); }, 0,
       {"kx_WMVEX-MF:AddStreamInfoMultiStream::pEncParam is null, stream not added \n", formats, failed("WWMV")}, {"close null"}},
      {"close, null handle", false, nullptr, [](auto&) { return CloseMediaFileMultiStream(nullptr), 0; }, 0,
       {"kx_WMVEX-MF: CloseMediaFileMultiStream \n"}, {"close null"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Create(c.streams ? routing : std::vector<Stream>{});
    EXPECT_EQ(c.container ? Open(c.container) : 1, 1);
    g_calls.clear();
    log_.Clear();
    EXPECT_EQ(c.call(*this), c.result);
    Close();
    Lines lines = c.lines;
    lines.push_back("kx_WMVEX-MF: CloseMediaFileMultiStream \n");
    EXPECT_EQ(log_.Take(), lines);
    EXPECT_EQ(g_calls, c.calls);
  }
}

}  // namespace
}  // namespace kx::test

FileFormatDescriptor* kx::FileFormatTable() { return kx::test::g_rows; }
