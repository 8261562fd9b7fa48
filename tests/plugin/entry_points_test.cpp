// The entry points behind the real tables, on the paths that need no encoder:
// refused creates, null handles and frames, the multi-stream adapter in front
// of the real single-stream row. Runs natively and under Wine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "host_view.h"
#include "temp_dir.h"

namespace kx::test {
namespace {

// "%d" of a pointer: its low 32 bits as a signed number.
std::string PointerAsDecimal(const void* pointer) {
  return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer))));
}

class EntryPointsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Plugin().loaded()) << Plugin().error();
    ASSERT_TRUE(log_.active());
    const uint8_t* wmv = SingleStreamRowOf("WWMV");
    ASSERT_NE(wmv, nullptr);
    slots_ = SingleStreamSlots(wmv);
    ASSERT_TRUE(slots_.create && slots_.writeAudio && slots_.writeVideo && slots_.close);
    log_.Clear();
  }

  LogCapture log_{PluginLogSink()};
  SingleStreamRow slots_{};
};

TEST_F(EntryPointsTest, CreateRefusesANullPathOrRecordWithItsLines) {
  HostRecord record;
  record.Container("WWMV");
  const auto path = Wide("refused.wmv");
  struct Case {
    const char* name;
    const kx_wchar* path;
    const EncodeParams* record;
    std::string shownPath;
  };
  const Case cases[] = {
      {"null path", nullptr, record.get(), "(null)"},
      {"null record", path.c_str(), nullptr, "refused.wmv"},
      {"both null", nullptr, nullptr, "(null)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    EXPECT_EQ(slots_.create(c.path, c.record, 0), nullptr);
    EXPECT_EQ(log_.Records(),
              (std::vector<std::string>{
                  "kx_Traxel.dll: Creating media file[" + c.shownPath + "]...",
                  "kx_Traxel.dll: wrong poiter - pFileName[" + PointerAsDecimal(c.path) + "] or pEncParam[" +
                      PointerAsDecimal(c.record) + "]).",
                  "kx_Traxel.dll: Create file[" + c.shownPath + "] failed.",
              }));
  }
}

TEST_F(EntryPointsTest, CreateRefusesAContainerFourCCNotInTheTable) {
  const auto path = Wide("unknown.wmv");
  for (const char* fourcc : {"WAVI", "\0\0\0\0", "WMV2"}) {
    HostRecord record;
    record.U32(host::kFileFourCC, FourCC(fourcc));
    log_.Clear();
    EXPECT_EQ(slots_.create(path.c_str(), record.get(), 0), nullptr) << FourCCText(FourCC(fourcc));
    EXPECT_EQ(log_.Records(), (std::vector<std::string>{"kx_Traxel.dll: Creating media file[unknown.wmv]...",
                                                        "kx_Traxel.dll: Create file[unknown.wmv] failed."}));
  }
}

std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Creates refused for their parameters, some only once the sink writer
// exists: whatever was at the path stays byte for byte, and where nothing
// was, nothing is left.
TEST_F(EntryPointsTest, ARefusedCreateLeavesThePathAsItWas) {
  struct Case {
    const char* name;
    const char* file;
    const char* container;
    const char* video;  // 160x120 at `rate`, or audio of `audio` when null
    double rate;
    const char* audio;
    uint32_t sampleRate, channels, bits;
  };
  const Case cases[] = {
      {"frame rate 0", "rate0.wmv", "WWMV", "WMV2", 0.0, nullptr, 0, 0, 0},
      {"negative frame rate", "rate_negative.mp4", "WMP4", "W264", -25.0, nullptr, 0, 0, 0},
      {"WMV2 into .mp4", "wmv2.mp4", "WMP4", "WMV2", 25.0, nullptr, 0, 0, 0},
      {"unknown video FourCC", "unknown_video.wmv", "WWMV", "XVID", 25.0, nullptr, 0, 0, 0},
      {"7-bit audio", "bits7.wma", "WWMA", nullptr, 0, "WMA8", 44100, 2, 7},
      {"no audio channels", "channels0.wma", "WWMA", nullptr, 0, "WMA8", 44100, 0, 16},
      {"odd sample rate", "rate12345.mp4", "WMP4", nullptr, 0, "WAAC", 12345, 2, 16},
      {"unknown container", "unknown_container.wmv", "WAVI", nullptr, 0, "WMA8", 44100, 2, 16},
  };
  TempDir dir;
  const std::string kept = "bytes of a file the host already had\n";
  for (const Case& c : cases) {
    for (const bool existed : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (existed ? ", over an existing file" : ", at a free path"));
      HostRecord record;
      record.Container(c.container);
      if (c.video != nullptr) record.Video(c.video, 160, 120, c.rate);
      if (c.video == nullptr) record.Audio(c.audio, c.sampleRate, c.channels, 128000, c.bits);
      const std::filesystem::path file = dir / c.file;
      std::filesystem::remove(file);
      if (existed) std::ofstream(file, std::ios::binary) << kept;
      log_.Clear();
      EXPECT_EQ(slots_.create(WidePath(file).c_str(), record.get(), 0), nullptr);
      ASSERT_FALSE(log_.Records().empty());
      EXPECT_EQ(log_.Records().back(), "kx_Traxel.dll: Create file[" + file.string() + "] failed.");
      if (existed) {
        EXPECT_EQ(FileBytes(file), kept);
      } else {
        EXPECT_FALSE(std::filesystem::exists(file));
      }
    }
  }
}

TEST_F(EntryPointsTest, WritesWithANullHandleOrFrameReturnMinusOneSilently) {
  MediaFrame frame{};
  int dummy = 0;
  EXPECT_EQ(slots_.writeAudio(nullptr, &frame, 0, 0), -1);
  EXPECT_EQ(slots_.writeAudio(&dummy, nullptr, 0, 0), -1);
  EXPECT_EQ(slots_.writeVideo(nullptr, &frame, 0), -1);
  EXPECT_EQ(slots_.writeVideo(&dummy, nullptr, 0), -1);
  EXPECT_TRUE(log_.Records().empty());
}

TEST_F(EntryPointsTest, ClosingANullHandleOnlyLogs) {
  slots_.close(nullptr);
  EXPECT_EQ(log_.Records(), std::vector<std::string>{"kx_Traxel.dll: media file closed."});
}

TEST_F(EntryPointsTest, MultiStreamOpenWithoutStreamsClosesTheRowWithANullHandle) {
  const uint8_t* row = MultiStreamRowOf("WMP4");
  ASSERT_NE(row, nullptr);
  const MultiStreamRow multi = MultiStreamSlots(row);
  void* file = multi.create();
  ASSERT_NE(file, nullptr);
  const auto path = Wide("nothing.mp4");
  MediaFrame frame{};
  log_.Clear();
  EXPECT_EQ(multi.init(file, FourCC("WMP4"), path.c_str(), 0), 0);
  EXPECT_EQ(multi.writeFrame(file, 0, &frame, 0), 0) << "no stream at index 0";
  multi.close(file);
  EXPECT_EQ(log_.Records(), (std::vector<std::string>{
                                "kx_Traxel.dll: Return file formatsEX...",
                                "kx_WMVEX-MF: InitMediaFileMultiStream Failed,file fourcc =[WMP4] ,filename =[nothing.mp4]",
                                "kx_Traxel.dll: media file closed.",
                                "kx_WMVEX-MF: CloseMediaFileMultiStream \n",
                            }));
}

TEST_F(EntryPointsTest, MultiStreamWritesBeforeTheOpenReachTheRowWithANullHandle) {
  const uint8_t* row = MultiStreamRowOf("WWMV");
  ASSERT_NE(row, nullptr);
  const MultiStreamRow multi = MultiStreamSlots(row);
  void* file = multi.create();
  HostRecord video;
  video.U32(host::kVideoFourCC, FourCC("WMV2")).U32(host::kNoVideo, 0);
  ASSERT_EQ(multi.addStream(file, KX_STREAMTYPE_VIDEO, 1, 0, 4, video.get()), 1);
  MediaFrame frame{};
  EXPECT_EQ(multi.writeFrame(file, 4, &frame, 0), -1) << "the single-stream write answers the null handle";
  EXPECT_EQ(multi.writeFrame(file, 4, nullptr, 0), 0) << "a null frame stops in the adapter";
  const auto path = Wide("x.wmv");
  log_.Clear();
  EXPECT_EQ(multi.init(file, FourCC("XXXX"), path.c_str(), 0), 0);
  multi.close(file);
  EXPECT_EQ(log_.Records(), (std::vector<std::string>{
                                "kx_Traxel.dll: Return file formatsEX...",
                                "kx_WMVEX-MF: InitMediaFileMultiStream Failed,file fourcc =[XXXX] ,filename =[x.wmv]",
                                "kx_WMVEX-MF: CloseMediaFileMultiStream \n",
                            }))
      << "an unknown FourCC leaves no row: the close calls no single-stream close";
}

}  // namespace
}  // namespace kx::test
