// The discovery tables as a separately compiled host sees them: exports looked
// up by name, rows walked to their all-zero terminator, every field read at
// its byte offset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_view.h"

namespace kx::test {
namespace {

// A codec list as "FOURCC/enabled ..." up to its all-zero terminator.
std::string CodecList(const void* list) {
  if (list == nullptr) return "(null)";
  std::string text;
  size_t at = 0;
  for (; ReadU32(list, at) != 0; at += 8) {
    text += FourCCText(ReadU32(list, at)) + "/" + std::to_string(ReadU32(list, at + 4)) + " ";
  }
  EXPECT_EQ(ReadU32(list, at + 4), 0u) << "terminator entry is all zero";
  return text;
}

// Rows up to the first zero fourcc, as the host walks them.
std::vector<const uint8_t*> WalkRows(const char* exportName, size_t rowBytes) {
  const auto get = Plugin().Function<TableFn>(exportName);
  std::vector<const uint8_t*> rows;
  if (get == nullptr) return rows;
  const auto* row = static_cast<const uint8_t*>(get());
  for (; ReadU32(row, 0) != 0 && rows.size() <= 64; row += rowBytes) rows.push_back(row);
  EXPECT_TRUE(BytesAreZero(row, 0, rowBytes)) << exportName << ": the terminator row is all zero";
  return rows;
}

// A wide text field, which must be NUL-terminated and zero-filled.
std::string Text(const uint8_t* row, size_t offset, size_t units) {
  bool tailZero = false;
  std::string text = WideField(row, offset, units, &tailZero);
  EXPECT_TRUE(tailZero) << "text at " << offset << " is NUL-terminated and zero-filled";
  return text;
}

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Plugin().loaded()) << Plugin().error();
    ASSERT_TRUE(LogLibrary().loaded()) << LogLibrary().error();
  }
};

// Each export writes exactly one record and returns the same table every time.
TEST_F(DiscoveryTest, EachExportLogsOneLineAndReturnsOneTable) {
  const std::pair<const char*, const char*> cases[] = {
      {"GetEncoders", "kx_Traxel.dll: Return encodersEX..."},
      {"GetFileFormats", "kx_Traxel.dll: Return file formatsEX..."},
      {"GetFileMultiStreamFormats", "kx_WMVEX-MF: GetFileMultiStreamFormats... \n"},
  };
  for (const auto& [name, line] : cases) {
    const TableFn get = Plugin().Function<TableFn>(name);
    ASSERT_NE(get, nullptr) << name;
    LogCapture log{PluginLogSink()};
    const void* first = get();
    EXPECT_EQ(log.Records(), std::vector<std::string>{line}) << name;
    EXPECT_NE(first, nullptr) << name;
    EXPECT_EQ(get(), first) << name;
  }
}

TEST_F(DiscoveryTest, EncoderRowsWithTheirExactTexts) {
  const struct {
    const char *fourcc, *shortName, *description;
    uint32_t isVideo;
  } expected[] = {
      {"WMA8", "WMA8", "Windows media audio 8", 0},  {"WMA9", "WMA9", "Windows media audio 9", 0},
      {"WMV1", "WMV1", "Windows video 7", 1},        {"WMV2", "WMV2", "Windows video 8", 1},
      {"WMV3", "WMV3", "Windows video 9 ", 1},       {"HVC1", "WVC1", "Windows video 9 HD", 1},
      {"W264", "H264", "Windows System H264", 1},    {"W265", "H265", "Windows System H264", 1},
      {"WAAC", "WAAC", "Windows System AAC", 0},
  };
  const auto rows = WalkRows("GetEncoders", host::kEncoderRowBytes);
  ASSERT_EQ(rows.size(), std::size(expected));
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(std::string("encoder row ") + expected[i].fourcc);
    EXPECT_EQ(FourCCText(ReadU32(rows[i], 0)), expected[i].fourcc);
    EXPECT_EQ(Text(rows[i], 4, 64), expected[i].shortName);
    EXPECT_EQ(Text(rows[i], 132, 128), expected[i].description);
    EXPECT_EQ(ReadU32(rows[i], 388), expected[i].isVideo);
    EXPECT_TRUE(BytesAreZero(rows[i], 392, 88)) << "reserved bytes";
  }
}

// Both container tables: the same texts and codec lists (the multi-stream
// rows with their own copies of the lists); the single-stream rows share
// four entry points (no video on WMA, no extra-data slots), the multi-stream
// rows six, with a zero slot at 424 and the flag at 480.
TEST_F(DiscoveryTest, ContainerRowsOfBothTables) {
  const struct {
    const char *fourcc, *extension, *shortName, *description, *audio, *video;
  } expected[] = {
      {"WWMV", ".wmv", "WMV", "Windows Media Video", "WMA8/1 WMA9/1 ", "WMV1/1 WMV2/1 WMV3/1 HVC1/1 "},
      {"WWMA", ".wma", "WMA", "Windows Media Audio", "WMA8/1 WMA9/1 ", "(null)"},
      {"WMP4", ".mp4", "mp4", "Windows MP4 Video", "WAAC/1 ", "W264/1 W265/1 "},
  };
  const auto single = WalkRows("GetFileFormats", host::kFileFormatRowBytes);
  const auto multi = WalkRows("GetFileMultiStreamFormats", host::kMultiStreamRowBytes);
  ASSERT_EQ(single.size(), std::size(expected));
  ASSERT_EQ(multi.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const auto& want = expected[i];
    const bool audioOnly = std::string(want.video) == "(null)";
    for (const uint8_t* row : {single[i], multi[i]}) {
      SCOPED_TRACE(std::string(row == multi[i] ? "multi-stream row " : "file-format row ") + want.fourcc);
      EXPECT_EQ(FourCCText(ReadU32(row, 0)), want.fourcc);
      EXPECT_EQ(Text(row, 4, 10), want.extension);
      EXPECT_EQ(Text(row, 24, 64), want.shortName);
      EXPECT_EQ(Text(row, 152, 128), want.description);
      EXPECT_EQ(CodecList(ReadPointer(row, 408)), want.audio);
      EXPECT_EQ(CodecList(ReadPointer(row, 416)), want.video);
    }
    EXPECT_NE(ReadPointer(multi[i], 408), ReadPointer(single[i], 408)) << "own copy of the audio list";
    EXPECT_TRUE(audioOnly || ReadPointer(multi[i], 416) != ReadPointer(single[i], 416)) << "own video list";
    for (size_t slot : {424u, 432u, 448u}) EXPECT_EQ(ReadPointer(single[i], slot), ReadPointer(single[0], slot));
    EXPECT_EQ(ReadPointer(single[i], 440), audioOnly ? nullptr : ReadPointer(single[0], 440))
        << "WriteVideoFrame";
    EXPECT_TRUE(BytesAreZero(single[i], 456, 24)) << "no extra-data slots, reserved bytes";
    EXPECT_EQ(ReadPointer(multi[i], 424), nullptr);
    for (size_t slot = 432; slot <= 472; slot += 8) EXPECT_EQ(ReadPointer(multi[i], slot), ReadPointer(multi[0], slot));
    EXPECT_EQ(ReadU32(multi[i], 480), 1u) << "multiStreamFlag";
    EXPECT_TRUE(BytesAreZero(multi[i], 484, 4)) << "reserved bytes";
  }
  for (size_t slot : {424u, 432u, 440u, 448u}) EXPECT_NE(ReadPointer(single[0], slot), nullptr) << slot;
  for (size_t slot = 432; slot <= 472; slot += 8) EXPECT_NE(ReadPointer(multi[0], slot), nullptr) << slot;
}

}  // namespace
}  // namespace kx::test
