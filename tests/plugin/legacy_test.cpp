// The legacy rows (WWMV, WWMA) and the MFWMVMuxer_ exports on the paths that
// write nothing: refused creates with their exact lines, the answers of the
// write slots, null handles, and the process-wide extra-data blocks. No
// export returns the legacy table, so this program is linked with the
// plug-in's own objects and reads the table through the library's symbol.
// Runs natively and, against the system's Media Foundation, under Wine.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "discovery_tables.h"
#include "host_view.h"
#include "kxplatform/mf.h"

namespace kx::test {
namespace {

using Lines = std::vector<std::string>;

struct LegacyRow {
  CreateMediaFileFn create;
  WriteAudioFrameFn writeAudio;
  WriteVideoFrameFn writeVideo;
  CloseMediaFileFn close;
  SetAudioExtraDataFn setAudio;
  SetVideoExtraDataFn setVideo;
};

LegacyRow LegacySlots(const char* fourcc) {
  const uint8_t* row = FindRow(kx::LegacyFileFormatTable(), host::kFileFormatRowBytes, fourcc);
  if (row == nullptr) return {};
  const SingleStreamRow s = SingleStreamSlots(row);
  return {s.create, s.writeAudio, s.writeVideo, s.close, SlotAt<SetAudioExtraDataFn>(row, host::kCloseSlot + 8),
          SlotAt<SetVideoExtraDataFn>(row, host::kCloseSlot + 16)};
}

// A block of `bytes` bytes whose last 8 hold `type` (shorter: zeros).
std::vector<uint8_t> Block(IMFMediaType* type, size_t bytes = 10) {
  std::vector<uint8_t> block(bytes, 0);
  if (bytes >= sizeof(type)) std::memcpy(block.data() + bytes - sizeof(type), &type, sizeof(type));
  return block;
}

// Wine's mf.dll has no ASF media sink: its MFCreateASFContentInfo is a stub
// that ends the process. Real Windows and our layer answer it.
bool AsfSinkMissing() {
#if defined(_WIN32)
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

class LegacyRows : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
    ASSERT_EQ(MFCreateMediaType(&audioType), S_OK);
    ASSERT_EQ(audioType->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio), S_OK);
    wmv = LegacySlots("WWMV");
    wma = LegacySlots("WWMA");
    log.Clear();
  }
  void TearDown() override {
    audioType = nullptr;
    (void)MFShutdown();
  }
  Lines Transcript(const std::string& path) {
    return {"kx_Traxel.dll: Creating media file[" + path + "]...", "kx_Traxel.dll: Create file[" + path + "] failed."};
  }

  LegacyRow wmv{}, wma{};
  ComPtr<IMFMediaType> audioType;
  LogCapture log;
};

TEST_F(LegacyRows, RefusedCreatesLogTheirLinesAndCloseAlwaysAnnouncesItself) {
  for (const LegacyRow& row : {wmv, wma}) {
    ASSERT_TRUE(row.create && row.writeAudio && row.close && row.setAudio && row.setVideo);
  }
  EXPECT_NE(wmv.writeVideo, nullptr);
  EXPECT_EQ(wma.writeVideo, nullptr);

  // In this order: the first create runs before any block was handed over.
  const auto path = Wide("legacy.wmv");
  struct Case {
    const char* name;
    const char* container;
    bool bNoVideo;
    std::vector<uint8_t> videoBlock;
  } cases[] = {
      {"no block handed over", "WWMV", true, {}},
      {"container not in the legacy table", "WMP4", true, Block(audioType.Get())},
      {"video track whose block is under 10 bytes", "WWMV", false, Block(audioType.Get(), 9)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.videoBlock.empty()) {
      const auto audio = Block(audioType.Get());
      wmv.setAudio(nullptr, audio.data(), static_cast<int32_t>(audio.size()), 0);
      wmv.setVideo(nullptr, c.videoBlock.data(), static_cast<int32_t>(c.videoBlock.size()), nullptr, 0, 0);
    }
    HostRecord record;
    record.Container(c.container).Audio("WMA9", 44100, 2);
    if (!c.bNoVideo) record.Video("WMV3", 320, 240, 29.97);
    log.Clear();
    EXPECT_EQ(wmv.create(path.c_str(), record.get(), 0), nullptr);
    EXPECT_EQ(log.Take(), Transcript("legacy.wmv"));
  }
  wma.close(nullptr);
  EXPECT_EQ(log.Take(), Lines{"kx_Traxel.dll: media file closed."});
}

TEST_F(LegacyRows, ABlockServesLaterCreatesUntilReplacedByABlock) {
  if (AsfSinkMissing()) GTEST_SKIP() << "no ASF media sink in this Media Foundation";
  const auto block = Block(audioType.Get());
  wma.setAudio(nullptr, block.data(), 10, 0);
  wma.setAudio(nullptr, nullptr, 10, 0);         // null: the stored block stays
  wma.setAudio(nullptr, block.data(), -4, 0);    // negative count: ignored
  wma.setVideo(nullptr, nullptr, 0, nullptr, 0, 0);
  HostRecord record;
  record.Container("WWMA").Audio("WMA8", 48000, 2);
  const auto path = Wide("kept-block.wma");
  MediaFileHandle file = wma.create(path.c_str(), record.get(), 0);
  // The muxer was made from the kept block: either the file is open or the
  // sink set-up on the platform logged why not.
  const Lines lines = log.Take();
  bool setUpReached = file != nullptr;
  for (const auto& line : lines) setUpReached |= line.find("[Media Foundation MuxerWMV: 'MuxerWMV']") != std::string::npos;
  EXPECT_TRUE(setUpReached) << ::testing::PrintToString(lines);
  wma.close(file);
  wma.setAudio(nullptr, block.data(), 0, 0);  // an empty block replaces it
  EXPECT_EQ(wma.create(path.c_str(), record.get(), 0), nullptr);
  EXPECT_EQ(log.Take().back(), "kx_Traxel.dll: Create file[kept-block.wma] failed.");
}

TEST_F(LegacyRows, WritesAndExportsAnswerNullHandlesEmptyFramesAndUnconfiguredFiles) {
  const auto block = Block(audioType.Get());
  const auto path = Wide("unconfigured.wmv");
  MFWMVMuxerHandle handle = MFWMVMuxer_Create(path.c_str(), block.data(), 10, block.data(), 10);
  ASSERT_NE(handle, nullptr);
  const uint8_t bytes[3] = {1, 2, 3};
  struct Case {
    const char* name;
    MediaFileHandle handle;
    bool frame;
    const uint8_t* data;
    int32_t count;
    int32_t result;
  } cases[] = {
      {"null handle", nullptr, true, bytes, 3, -1},     {"null frame", handle, false, bytes, 3, -1},
      {"empty frame", handle, true, bytes, 0, 0},       {"negative count", handle, true, bytes, -7, 0},
      {"no track sink yet", handle, true, bytes, 3, 1}, {"null data with a count", handle, true, nullptr, 3, 1},
  };
  for (const Case& c : cases) {
    HostFrame audio, video;
    audio.Set(host::kPcm, c.data).Set(host::kPcmBytes, c.count);
    video.Set(host::kPacket, c.data).Set(host::kPacketBytes, c.count);
    EXPECT_EQ(wmv.writeAudio(c.handle, c.frame ? audio.get() : nullptr, 0, 0), c.result) << c.name;
    EXPECT_EQ(wmv.writeVideo(c.handle, c.frame ? video.get() : nullptr, 0), c.result) << c.name;
  }
  const std::string nullData =
      "kx_Traxel error [Media Foundation MuxerWMV: 'MuxerWMV']: WritePacket: no packet data for 3 bytes, nothing "
      "written\n";
  EXPECT_EQ(log.Take(), (Lines{nullData, nullData}));

  const MFWMVMuxerPacket packet{.pData = bytes, .nLength = 3, .reserved12 = {}, .nPts = 0, .reserved24 = {},
                                .nDuration = 0};
  EXPECT_EQ(MFWMVMuxer_Create(nullptr, nullptr, 10, block.data(), 9), nullptr);
  EXPECT_EQ(MFWMVMuxer_SetAudioParam(nullptr, 1, 2, 44100, 128000, 16, 3), 0);
  EXPECT_EQ(MFWMVMuxer_SetVideoParam(nullptr, 2, 320, 240, 25, 1, 500000, 3, 5), 0);
  EXPECT_EQ(MFWMVMuxer_ConfigInit(nullptr), 0);
  EXPECT_EQ(MFWMVMuxer_WriteAudioPacket(nullptr, &packet), 0);
  EXPECT_EQ(MFWMVMuxer_WriteVideoPacket(handle, nullptr), 0);
  EXPECT_EQ(MFWMVMuxer_WriteVideoPacket(handle, &packet), 1);
  EXPECT_EQ(MFWMVMuxer_SetAudioParam(handle, 0, 2, 44100, 128000, 16, 3), 1);
  EXPECT_EQ(MFWMVMuxer_ConfigInit(handle), 0);  // track number 0
  MFWMVMuxer_Destroy(nullptr);
  MFWMVMuxer_Destroy(handle);
  EXPECT_EQ(log.Take(), Lines{});
}

}  // namespace
}  // namespace kx::test
