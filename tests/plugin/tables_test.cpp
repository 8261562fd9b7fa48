// The plug-in as a separately compiled host sees it, natively and under
// Wine: exports looked up by name, table rows walked to their all-zero
// terminator and read at their byte offsets, and the entry points behind
// the rows on the paths that need no encoder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host_view.h"
#include "temp_dir.h"

namespace kx::test {
namespace {

using Lines = std::vector<std::string>;

// A codec list as "FOURCC/enabled ..." up to its all-zero terminator.
std::string CodecList(const void* list) {
  if (list == nullptr) return "(null)";
  std::string text;
  size_t at = 0;
  for (; ReadU32(list, at) != 0; at += 8) text += FourCCText(ReadU32(list, at)) + "/" + std::to_string(ReadU32(list, at + 4)) + " ";
  EXPECT_EQ(ReadU32(list, at + 4), 0u) << "terminator entry is all zero";
  return text;
}

// A wide text field, which must be NUL-terminated and zero-filled.
std::string Text(const uint8_t* row, size_t offset, size_t units) {
  bool tailZero = false;
  std::string text = WideField(row, offset, units, &tailZero);
  EXPECT_TRUE(tailZero) << "text at " << offset << " is NUL-terminated and zero-filled";
  return text;
}

class PluginTables : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(Plugin(), nullptr) << "the plug-in does not load"; log_.Clear(); }
  // Rows up to the first zero fourcc, as the host walks them; each call of
  // the export writes exactly one record and returns the same table.
  std::vector<const uint8_t*> WalkRows(const char* exportName, size_t rowBytes, const std::string& line) {
    std::vector<const uint8_t*> rows;
    const auto* row = static_cast<const uint8_t*>(Table(exportName));
    EXPECT_EQ(Table(exportName), row) << exportName;
    EXPECT_EQ(log_.Take(), (Lines{line, line})) << exportName;
    for (; ReadU32(row, 0) != 0 && rows.size() <= 64; row += rowBytes) rows.push_back(row);
    EXPECT_TRUE(BytesAreZero(row, 0, rowBytes)) << exportName << ": the terminator row is all zero";
    return rows;
  }
  LogCapture log_{PluginLogSink()};
};

// Every row as its fields' texts, read at their offsets; each text field is
// NUL-terminated and zero-filled, each reserved byte zero.
TEST_F(PluginTables, EncoderRows) {
  Lines rows;
  for (const uint8_t* row : WalkRows("GetEncoders", host::kEncoderRowBytes, "kx_Traxel.dll: Return encodersEX...")) {
    rows.push_back(FourCCText(ReadU32(row, 0)) + "|" + Text(row, 4, 64) + "|" + Text(row, 132, 128) + "|" +
                   std::to_string(ReadU32(row, 388)));
    EXPECT_TRUE(BytesAreZero(row, 392, 88)) << rows.back();
  }
  EXPECT_EQ(rows, (Lines{"WMA8|WMA8|Windows media audio 8|0", "WMA9|WMA9|Windows media audio 9|0",
                         "WMV1|WMV1|Windows video 7|1", "WMV2|WMV2|Windows video 8|1", "WMV3|WMV3|Windows video 9 |1",
                         "HVC1|WVC1|Windows video 9 HD|1", "W264|H264|Windows System H264|1",
                         "W265|H265|Windows System H264|1", "WAAC|WAAC|Windows System AAC|0"}));
}

// Both container tables: the same texts and codec lists (the multi-stream
// rows with their own copies of the lists); the single-stream rows share
// four entry points (no video on WMA, no extra-data slots), the multi-stream
// rows six, with a zero slot at 424 and the flag at 480.
TEST_F(PluginTables, ContainerRowsOfBothTables) {
  const Lines expected = {"WWMV|.wmv|WMV|Windows Media Video|WMA8/1 WMA9/1 |WMV1/1 WMV2/1 WMV3/1 HVC1/1 ",
                          "WWMA|.wma|WMA|Windows Media Audio|WMA8/1 WMA9/1 |(null)",
                          "WMP4|.mp4|mp4|Windows MP4 Video|WAAC/1 |W264/1 W265/1 "};
  const auto single = WalkRows("GetFileFormats", host::kFileFormatRowBytes, "kx_Traxel.dll: Return file formatsEX...");
  const auto multi = WalkRows("GetFileMultiStreamFormats", host::kMultiStreamRowBytes, "kx_WMVEX-MF: GetFileMultiStreamFormats... \n");
  ASSERT_TRUE(single.size() == expected.size() && multi.size() == expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    for (const uint8_t* row : {single[i], multi[i]}) {
      EXPECT_EQ(FourCCText(ReadU32(row, 0)) + "|" + Text(row, 4, 10) + "|" + Text(row, 24, 64) + "|" +
                    Text(row, 152, 128) + "|" + CodecList(ReadPointer(row, 408)) + "|" + CodecList(ReadPointer(row, 416)),
                expected[i]);
    }
    const bool audioOnly = ReadPointer(single[i], 416) == nullptr;
    SCOPED_TRACE(expected[i]);
    EXPECT_NE(ReadPointer(multi[i], 408), ReadPointer(single[i], 408)) << "own copy of the audio list";
    EXPECT_TRUE(audioOnly || ReadPointer(multi[i], 416) != ReadPointer(single[i], 416)) << "own video list";
    for (size_t slot = 424; slot <= 472; slot += 8) {
      const bool singleSlot = slot <= 448, multiSlot = slot != 424;
      EXPECT_EQ(ReadPointer(single[i], slot), !singleSlot || (slot == 440 && audioOnly) ? nullptr : ReadPointer(single[0], slot)) << slot;
      EXPECT_EQ(ReadPointer(multi[i], slot), multiSlot ? ReadPointer(multi[0], slot) : nullptr) << slot;
      EXPECT_TRUE((ReadPointer(single[0], slot) != nullptr) == singleSlot && (ReadPointer(multi[0], slot) != nullptr) == multiSlot) << slot;
    }
    EXPECT_EQ(ReadU32(multi[i], 480), 1u) << "multiStreamFlag";
    EXPECT_TRUE(BytesAreZero(multi[i], 484, 4)) << "reserved bytes";
  }
}

// Creates refused for their pointers, their container or their parameters
// (some only once the sink writer exists): each ends in its failure line
// (the whole transcript where the entry point alone speaks), and whatever
// was at the path stays byte for byte; where nothing was, nothing is left.
TEST_F(PluginTables, RefusedCreates) {
  // file null: a null path
  // fill: null: a null record
  const struct { const char *name, *file; void (*fill)(HostRecord& record); bool wholeTranscript; } cases[] = {
      {"null path", nullptr, [](HostRecord& r) { r.Container("WWMV").Audio("WMA8", 44100, 2); }, true},
      {"null record", "record.wmv", nullptr, true},
      {"unknown container", "container.wmv", [](HostRecord& r) { r.Container("WAVI").Audio("WMA8", 44100, 2); }, true},
      {"frame rate 0", "rate0.wmv", [](HostRecord& r) { r.Container("WWMV").Video("WMV2", 160, 120, 0.0); }, false},
      {"negative frame rate", "rate.mp4", [](HostRecord& r) { r.Container("WMP4").Video("W264", 160, 120, -25.0); }, false},
      {"WMV2 into .mp4", "wmv2.mp4", [](HostRecord& r) { r.Container("WMP4").Video("WMV2", 160, 120, 25.0); }, false},
      {"unknown video FourCC", "xvid.wmv", [](HostRecord& r) { r.Container("WWMV").Video("XVID", 160, 120, 25.0); }, false},
      {"7-bit audio", "bits7.wma", [](HostRecord& r) { r.Container("WWMA").Audio("WMA8", 44100, 2, 128000, 7); }, false},
      {"no audio channels", "channels0.wma", [](HostRecord& r) { r.Container("WWMA").Audio("WMA8", 44100, 0); }, false},
      {"odd sample rate", "rate12345.mp4", [](HostRecord& r) { r.Container("WMP4").Audio("WAAC", 12345, 2); }, false},
  };
  const SingleStreamRow slots = SingleStreamSlots("WWMV");
  const TempDir dir;
  const std::string kept = "bytes of a file the host already had\n";
  const auto decimal = [](const void* p) { return std::to_string(int32_t(uint32_t(reinterpret_cast<uintptr_t>(p)))); };
  for (const auto& c : cases) {
    for (const bool existed : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (existed ? ", over an existing file" : ", at a free path"));
      HostRecord record;
      if (c.fill != nullptr) c.fill(record);
      const std::filesystem::path file = dir / (c.file ? c.file : "unused");
      if (std::filesystem::remove(file), existed) std::ofstream(file, std::ios::binary) << kept;
      const auto wide = WidePath(file);
      const kx_wchar* path = c.file ? wide.c_str() : nullptr;
      const EncodeParams* params = c.fill ? record.get() : nullptr;
      log_.Clear();
      EXPECT_EQ(slots.create(path, params, 0), nullptr);
      const std::string shown = c.file ? file.string() : "(null)";
      Lines lines = log_.Take(), want = {"kx_Traxel.dll: Creating media file[" + shown + "]..."};
      if (path == nullptr || params == nullptr) {
        want.push_back("kx_Traxel.dll: wrong poiter - pFileName[" + decimal(path) + "] or pEncParam[" + decimal(params) + "]).");
      }
      want.push_back("kx_Traxel.dll: Create file[" + shown + "] failed.");
      ASSERT_FALSE(lines.empty());
      if (!c.wholeTranscript) want.erase(want.begin(), want.end() - 1), lines.erase(lines.begin(), lines.end() - 1);
      EXPECT_EQ(lines, want);
      EXPECT_EQ(FileBytes(file), existed ? kept : "");
      EXPECT_EQ(std::filesystem::exists(file), existed);
    }
  }
}

// Null handles and frames: -1, silently (a null frame before the handle is used).
TEST_F(PluginTables, NullHandlesAndFrames) {
  const SingleStreamRow slots = SingleStreamSlots("WWMV");
  MediaFrame frame{};  // also a handle that must not be used
  log_.Clear();
  EXPECT_EQ(slots.writeAudio(nullptr, &frame, 0, 0) + slots.writeAudio(&frame, nullptr, 0, 0), -2);
  EXPECT_EQ(slots.writeVideo(nullptr, &frame, 0) + slots.writeVideo(&frame, nullptr, 0), -2);
  EXPECT_TRUE(log_.Take().empty()) << "the writes say nothing";
}

}  // namespace
}  // namespace kx::test
