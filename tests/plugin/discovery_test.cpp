// The discovery tables as a separately compiled host sees them: exports looked
// up by name, rows walked to their all-zero terminator, every field read at
// its byte offset.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "host_view.h"

namespace kx::test {
namespace {

using host::kEncoderRowBytes, host::kFileFormatRowBytes, host::kMultiStreamRowBytes;

struct CodecEntry {
  std::string fourcc;
  uint32_t enabled;
  bool operator==(const CodecEntry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const CodecEntry& entry) {
  return out << entry.fourcc << "/" << entry.enabled;
}

std::vector<CodecEntry> ReadCodecList(const void* list) {
  std::vector<CodecEntry> entries;
  if (list == nullptr) return entries;
  for (size_t offset = 0;; offset += 8) {
    const uint32_t fourcc = ReadU32(list, offset);
    if (fourcc == 0) {
      EXPECT_EQ(ReadU32(list, offset + 4), 0u) << "terminator entry is all zero";
      break;
    }
    entries.push_back({FourCCText(fourcc), ReadU32(list, offset + 4)});
  }
  return entries;
}

// Rows up to the first zero fourcc, as the host walks them.
std::vector<const uint8_t*> WalkRows(const void* table, size_t rowBytes) {
  std::vector<const uint8_t*> rows;
  const auto* row = static_cast<const uint8_t*>(table);
  for (; ReadU32(row, 0) != 0; row += rowBytes) {
    rows.push_back(row);
    if (rows.size() > 64) break;  // a missing terminator; the count check fails
  }
  EXPECT_TRUE(BytesAreZero(row, 0, rowBytes)) << "the terminator row is all zero";
  return rows;
}

TableFn Export(const char* name) { return Plugin().Function<TableFn>(name); }

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Plugin().loaded()) << Plugin().error();
    ASSERT_TRUE(LogLibrary().loaded()) << LogLibrary().error();
  }
};

TEST_F(DiscoveryTest, EachExportReturnsTheSameTableOnEveryCall) {
  for (const char* name : {"GetEncoders", "GetFileFormats", "GetFileMultiStreamFormats"}) {
    const TableFn get = Export(name);
    ASSERT_NE(get, nullptr) << name;
    const void* first = get();
    ASSERT_NE(first, nullptr) << name;
    for (int call = 0; call < 3; ++call) EXPECT_EQ(get(), first) << name << " call " << call;
  }
}

struct EncoderRow {
  std::string fourcc, shortName, description;
  uint32_t isVideo;
};

const std::vector<EncoderRow> kEncoderRows = {
    {"WMA8", "WMA8", "Windows media audio 8", 0},  {"WMA9", "WMA9", "Windows media audio 9", 0},
    {"WMV1", "WMV1", "Windows video 7", 1},        {"WMV2", "WMV2", "Windows video 8", 1},
    {"WMV3", "WMV3", "Windows video 9 ", 1},       {"HVC1", "WVC1", "Windows video 9 HD", 1},
    {"W264", "H264", "Windows System H264", 1},    {"W265", "H265", "Windows System H264", 1},
    {"WAAC", "WAAC", "Windows System AAC", 0},
};

TEST_F(DiscoveryTest, EncoderTableHasNineRowsWithTheirExactTexts) {
  const auto rows = WalkRows(Export("GetEncoders")(), kEncoderRowBytes);
  ASSERT_EQ(rows.size(), kEncoderRows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const EncoderRow& want = kEncoderRows[i];
    SCOPED_TRACE("encoder row " + std::to_string(i + 1) + " " + want.fourcc);
    bool shortTail = false, descriptionTail = false;
    EXPECT_EQ(FourCCText(ReadU32(rows[i], 0)), want.fourcc);
    EXPECT_EQ(WideField(rows[i], 4, 64, &shortTail), want.shortName);
    EXPECT_EQ(WideField(rows[i], 132, 128, &descriptionTail), want.description);
    EXPECT_TRUE(shortTail) << "shortName is NUL-terminated and zero-filled";
    EXPECT_TRUE(descriptionTail) << "description is NUL-terminated and zero-filled";
    EXPECT_EQ(ReadU32(rows[i], 388), want.isVideo) << "isVideo at offset 388";
    EXPECT_TRUE(BytesAreZero(rows[i], 392, 88)) << "reserved bytes";
  }
}

struct FileFormatRow {
  std::string fourcc, extension, shortName, description;
  std::vector<CodecEntry> audioCodecs, videoCodecs;
};

std::vector<FileFormatRow> ExpectedContainerRows(uint32_t enabled) {
  return {
      {"WWMV", ".wmv", "WMV", "Windows Media Video", {{"WMA8", enabled}, {"WMA9", enabled}},
       {{"WMV1", enabled}, {"WMV2", enabled}, {"WMV3", enabled}, {"HVC1", enabled}}},
      {"WWMA", ".wma", "WMA", "Windows Media Audio", {{"WMA8", enabled}, {"WMA9", enabled}}, {}},
      {"WMP4", ".mp4", "mp4", "Windows MP4 Video", {{"WAAC", enabled}}, {{"W264", enabled}, {"W265", enabled}}},
  };
}

// The part both row kinds share: fourcc, texts, codec lists.
void ExpectContainerHead(const uint8_t* row, const FileFormatRow& want) {
  bool extensionTail = false, shortTail = false, descriptionTail = false;
  EXPECT_EQ(FourCCText(ReadU32(row, 0)), want.fourcc);
  EXPECT_EQ(WideField(row, 4, 10, &extensionTail), want.extension);
  EXPECT_EQ(WideField(row, 24, 64, &shortTail), want.shortName);
  EXPECT_EQ(WideField(row, 152, 128, &descriptionTail), want.description);
  EXPECT_TRUE(extensionTail && shortTail && descriptionTail) << "texts are NUL-terminated and zero-filled";
  ASSERT_NE(ReadPointer(row, 408), nullptr) << "every container takes audio";
  EXPECT_EQ(ReadCodecList(ReadPointer(row, 408)), want.audioCodecs);
  if (want.videoCodecs.empty()) {
    EXPECT_EQ(ReadPointer(row, 416), nullptr) << "an audio-only container has no video list";
  } else {
    ASSERT_NE(ReadPointer(row, 416), nullptr);
    EXPECT_EQ(ReadCodecList(ReadPointer(row, 416)), want.videoCodecs);
  }
}

TEST_F(DiscoveryTest, FileFormatTableHasThreeRowsWithTheirTextsAndCodecLists) {
  const auto rows = WalkRows(Export("GetFileFormats")(), kFileFormatRowBytes);
  const auto expected = ExpectedContainerRows(1);
  ASSERT_EQ(rows.size(), expected.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("file-format row " + expected[i].fourcc);
    ExpectContainerHead(rows[i], expected[i]);
    EXPECT_TRUE(BytesAreZero(rows[i], 472, 8)) << "reserved bytes";
  }
}

TEST_F(DiscoveryTest, FileFormatRowsShareTheFourEntryPointsAndHaveNoExtraDataSlots) {
  const auto rows = WalkRows(Export("GetFileFormats")(), kFileFormatRowBytes);
  ASSERT_EQ(rows.size(), 3u);
  const uint8_t* wmv = rows[0];
  const uint8_t* wma = rows[1];
  const uint8_t* mp4 = rows[2];
  for (size_t slot : {424u, 432u, 448u}) {
    EXPECT_NE(ReadPointer(wmv, slot), nullptr) << "slot " << slot;
    EXPECT_EQ(ReadPointer(wma, slot), ReadPointer(wmv, slot)) << "slot " << slot;
    EXPECT_EQ(ReadPointer(mp4, slot), ReadPointer(wmv, slot)) << "slot " << slot;
  }
  EXPECT_NE(ReadPointer(wmv, 440), nullptr) << "WMV takes video";
  EXPECT_EQ(ReadPointer(mp4, 440), ReadPointer(wmv, 440)) << "MP4 takes video through the same function";
  EXPECT_EQ(ReadPointer(wma, 440), nullptr) << "the WMA row has no WriteVideoFrame";
  for (const uint8_t* row : rows) {
    EXPECT_EQ(ReadPointer(row, 456), nullptr) << FourCCText(ReadU32(row, 0)) << " SetAudioExtraData";
    EXPECT_EQ(ReadPointer(row, 464), nullptr) << FourCCText(ReadU32(row, 0)) << " SetVideoExtraData";
  }
}

TEST_F(DiscoveryTest, MultiStreamTableHasThreeRowsWithTheirOwnCodecLists) {
  const auto rows = WalkRows(Export("GetFileMultiStreamFormats")(), kMultiStreamRowBytes);
  const auto fileRows = WalkRows(Export("GetFileFormats")(), kFileFormatRowBytes);
  const auto expected = ExpectedContainerRows(1);
  ASSERT_EQ(rows.size(), expected.size());
  ASSERT_EQ(fileRows.size(), expected.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("multi-stream row " + expected[i].fourcc);
    ExpectContainerHead(rows[i], expected[i]);
    EXPECT_NE(ReadPointer(rows[i], 408), ReadPointer(fileRows[i], 408)) << "own copy of the audio list";
    if (!expected[i].videoCodecs.empty()) {
      EXPECT_NE(ReadPointer(rows[i], 416), ReadPointer(fileRows[i], 416)) << "own copy of the video list";
    }
    EXPECT_EQ(ReadPointer(rows[i], 424), nullptr) << "offset 424 is zero";
    EXPECT_EQ(ReadU32(rows[i], 480), 1u) << "multiStreamFlag";
    EXPECT_TRUE(BytesAreZero(rows[i], 484, 4)) << "reserved bytes";
  }
}

TEST_F(DiscoveryTest, MultiStreamRowsPointToTheSameSixFunctions) {
  const auto rows = WalkRows(Export("GetFileMultiStreamFormats")(), kMultiStreamRowBytes);
  ASSERT_EQ(rows.size(), 3u);
  for (size_t slot = 432; slot <= 472; slot += 8) {
    EXPECT_NE(ReadPointer(rows[0], slot), nullptr) << "slot " << slot;
    EXPECT_EQ(ReadPointer(rows[1], slot), ReadPointer(rows[0], slot)) << "slot " << slot;
    EXPECT_EQ(ReadPointer(rows[2], slot), ReadPointer(rows[0], slot)) << "slot " << slot;
  }
}

// Each export writes exactly one record, with its exact text.
TEST_F(DiscoveryTest, EachExportWritesItsOneLogLine) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"GetEncoders", "kx_Traxel.dll: Return encodersEX..."},
      {"GetFileFormats", "kx_Traxel.dll: Return file formatsEX..."},
      {"GetFileMultiStreamFormats", "kx_WMVEX-MF: GetFileMultiStreamFormats... \n"},
  };
  for (const auto& [name, line] : cases) {
    LogCapture log{PluginLogSink()};
    ASSERT_TRUE(log.active()) << "ZqLog_SetSink not found";
    Export(name)();
    EXPECT_EQ(log.Records(), std::vector<std::string>{line}) << name;
  }
}

}  // namespace
}  // namespace kx::test
