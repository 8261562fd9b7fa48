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

#include "host_records.h"
#include "host_slots.h"

namespace kxtest {
namespace {

constexpr size_t kFileFourCC = 39252;

// "%d" of a pointer: its low 32 bits as a signed number.
std::string PointerAsDecimal(const void* pointer) {
  return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer))));
}

class EntryPointsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Plugin().loaded()) << Plugin().error();
    ASSERT_TRUE(log_.active());
    const uint8_t* wmv = FindRow(FileFormatTableOfPlugin(), 480, "WWMV");
    ASSERT_NE(wmv, nullptr);
    slots_ = SingleStreamSlots(wmv);
    ASSERT_TRUE(slots_.create && slots_.writeAudio && slots_.writeVideo && slots_.close);
    log_.Clear();
  }

  LogCapture log_;
  SingleStreamRow slots_{};
};

TEST_F(EntryPointsTest, CreateRefusesANullPathOrRecordWithItsLines) {
  auto record = DefaultRecord();
  WriteU32(record.get(), kFileFourCC, FourCC("WWMV"));
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
    auto record = DefaultRecord();
    WriteU32(record.get(), kFileFourCC, FourCC(fourcc));
    log_.Clear();
    EXPECT_EQ(slots_.create(path.c_str(), record.get(), 0), nullptr) << FourCCText(FourCC(fourcc));
    EXPECT_EQ(log_.Records(), (std::vector<std::string>{"kx_Traxel.dll: Creating media file[unknown.wmv]...",
                                                        "kx_Traxel.dll: Create file[unknown.wmv] failed."}));
  }
}

// A record with a video stream of `fourcc` at 160x120, `frameRate` frames
// per second, and no audio.
std::unique_ptr<EncodeParams> VideoRecord(const char* container, const char* fourcc, double frameRate) {
  auto record = DefaultRecord();
  WriteU32(record.get(), kFileFourCC, FourCC(container));
  WriteU32(record.get(), 0, FourCC(fourcc));
  WriteU32(record.get(), 4, 160);
  WriteU32(record.get(), 8, 120);
  WriteDouble(record.get(), 16, frameRate);
  WriteU32(record.get(), 28, 400000);
  WriteU32(record.get(), 39240, 0);
  return record;
}

// A record with only an audio stream of `fourcc`.
std::unique_ptr<EncodeParams> AudioRecord(const char* container, const char* fourcc, uint32_t sampleRate,
                                          uint32_t channels, uint32_t bitsPerSample) {
  auto record = DefaultRecord();
  WriteU32(record.get(), kFileFourCC, FourCC(container));
  WriteU32(record.get(), 12400, FourCC(fourcc));
  WriteU32(record.get(), 12404, sampleRate);
  WriteU32(record.get(), 12408, channels);
  WriteU32(record.get(), 12412, 128000);
  WriteU32(record.get(), 12424, bitsPerSample);
  WriteU32(record.get(), 39244, 0);
  return record;
}

std::string FileBytes(const std::string& path) {
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
    std::unique_ptr<EncodeParams> record;
  };
  Case cases[] = {
      {"frame rate 0", "rate0.wmv", VideoRecord("WWMV", "WMV2", 0.0)},
      {"negative frame rate", "rate_negative.mp4", VideoRecord("WMP4", "W264", -25.0)},
      {"WMV2 into .mp4", "wmv2.mp4", VideoRecord("WMP4", "WMV2", 25.0)},
      {"unknown video FourCC", "unknown_video.wmv", VideoRecord("WWMV", "XVID", 25.0)},
      {"7-bit audio", "bits7.wma", AudioRecord("WWMA", "WMA8", 44100, 2, 7)},
      {"no audio channels", "channels0.wma", AudioRecord("WWMA", "WMA8", 44100, 0, 16)},
      {"odd sample rate", "rate12345.mp4", AudioRecord("WMP4", "WAAC", 12345, 2, 16)},
      {"unknown container", "unknown_container.wmv", AudioRecord("WAVI", "WMA8", 44100, 2, 16)},
  };
  const std::string kept = "bytes of a file the host already had\n";
  for (const Case& c : cases) {
    for (const bool existed : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (existed ? ", over an existing file" : ", at a free path"));
      std::filesystem::remove(c.file);
      if (existed) std::ofstream(c.file, std::ios::binary) << kept;
      const auto path = Wide(c.file);
      log_.Clear();
      EXPECT_EQ(slots_.create(path.c_str(), c.record.get(), 0), nullptr);
      ASSERT_FALSE(log_.Records().empty());
      EXPECT_EQ(log_.Records().back(), "kx_Traxel.dll: Create file[" + std::string(c.file) + "] failed.");
      if (existed) {
        EXPECT_EQ(FileBytes(c.file), kept);
      } else {
        EXPECT_FALSE(std::filesystem::exists(c.file));
      }
      std::filesystem::remove(c.file);
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
  const uint8_t* row = FindRow(MultiStreamTableOfPlugin(), 488, "WMP4");
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
  const uint8_t* row = FindRow(MultiStreamTableOfPlugin(), 488, "WWMV");
  ASSERT_NE(row, nullptr);
  const MultiStreamRow multi = MultiStreamSlots(row);
  void* file = multi.create();
  auto video = DefaultRecord();
  WriteU32(video.get(), 0, FourCC("WMV2"));
  WriteU32(video.get(), 39240, 0);
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
}  // namespace kxtest
