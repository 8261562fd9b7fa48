// Real files written through the tables by a separate host program
// (kx_host_writer) that returns from main right after closing, decoded in
// full with libavcodec and read by exiftool: the close thread's work is
// complete when the process is gone, the multi-stream merge decides the
// file's streams, and every frame routed by index is in the file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "media_probe.h"
#include "temp_dir.h"

namespace kx::test {
namespace {

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the host program with `arguments`, its log in <dir>/log and its
// standard output in <dir>/out; its exit status. It ends while the library's
// close thread is just ending too, where LeakSanitizer's check at exit can
// trip over a thread that is ending: off for this program only (the
// encoder's memory is checked in-process by the sink writer's tests).
int RunHost(const std::string& arguments, const TempDir& dir) {
  const std::string command = "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 ZQ_LOG_FILE='" +
                              (dir / "log").string() + "' timeout 240 '" + KX_TEST_HOST_WRITER + "' '" +
                              KX_TEST_TRAXEL_PATH + "' " + arguments + " > '" + (dir / "out").string() + "'";
  return std::system(command.c_str());
}

// The texts of the log file's records ("time thread text") of the
// single-stream entry points.
std::vector<std::string> EntryPointLines(const std::string& log) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    const size_t text = line.find(' ', line.find(' ') + 1);
    if (text != std::string::npos && line.compare(text + 1, 15, "kx_Traxel.dll: ") == 0) lines.push_back(line.substr(text + 1));
  }
  return lines;
}

// Every stream decodes without an error: `pictures` pictures (-1: no video
// stream), and at least 90% of `seconds` of sound (0: no audio stream).
FileReport ExpectDecoded(const std::string& path, int pictures, double seconds) {
  const FileReport file = ReadMediaFile(path);
  EXPECT_TRUE(file.opened) << path << ": " << file.error;
  const StreamReport* video = file.Find(AVMEDIA_TYPE_VIDEO);
  const StreamReport* audio = file.Find(AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(video != nullptr ? video->decodedFrames : -1, pictures) << path;
  EXPECT_EQ(audio != nullptr, seconds > 0) << path;
  EXPECT_GE(audio ? audio->decodedSamples : 0, audio ? int64_t(0.9 * seconds * audio->sampleRate) : 0) << path;
  EXPECT_EQ(file.streams.size(), size_t{video != nullptr} + size_t{audio != nullptr}) << path;
  for (const StreamReport& stream : file.streams) EXPECT_EQ(stream.decodeErrors, 0) << path;
  return file;
}

struct FileCase {
  const char *name, *mode, *streams, *extension;
  const char* videoCodec;  // the file's video stream, or null
  int width, height;
  const char* audioCodec;
  const char* closeNote;  // an entry-point line before the close's, or null
};
void PrintTo(const FileCase& c, std::ostream* out) { *out << c.name; }

class HostWrittenFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(HostWrittenFile, IsCompleteWhenTheHostExitsRightAfterClosing) {
  const FileCase& c = GetParam();
  const TempDir dir;
  const std::string path = (dir / (std::string("clip") + c.extension)).string();
  ASSERT_EQ(RunHost(std::string(c.mode) + " '" + path + "' " + c.streams, dir), 0) << ReadText(dir / "log");
  const FileReport file = ExpectDecoded(path, c.videoCodec ? 10 : -1, c.audioCodec ? 0.4 : 0);
  if (const StreamReport* video = file.Find(AVMEDIA_TYPE_VIDEO)) {
    EXPECT_EQ(video->codecName + " " + std::to_string(video->width) + "x" + std::to_string(video->height),
              std::string(c.videoCodec) + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
  }
  if (const StreamReport* audio = file.Find(AVMEDIA_TYPE_AUDIO)) {
    EXPECT_EQ(audio->codecName + " " + std::to_string(audio->sampleRate) + " " + std::to_string(audio->channels),
              std::string(c.audioCodec) + " 48000 2");
  }
  // The single-stream entry points' own lines, in order, around the encoder's.
  if (std::string(c.mode).rfind("single", 0) == 0) {
    std::vector<std::string> lines = {"kx_Traxel.dll: Return file formatsEX...",
                                      "kx_Traxel.dll: Creating media file[" + path + "]...",
                                      "kx_Traxel.dll: Create file[" + path + "] Success."};
    if (c.closeNote != nullptr) lines.push_back(c.closeNote);
    lines.push_back("kx_Traxel.dll: media file closed.");
    EXPECT_EQ(EntryPointLines(ReadText(dir / "log")), lines);
  }
  // The XMP duration is the create's 64-bit value (10 frames of 40 ms) in
  // units of 1/10,000,000 s, whatever the host left in those bytes.
  EXPECT_EQ(Exiftool(path, "-XMP-xmpDM:DurationValue -XMP-xmpDM:DurationScale"), "4000000\n1e-07\n");
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostWrittenFile,
    ::testing::Values(
        FileCase{"single_h264_aac", "single WMP4", "video=W264:160x120 audio=WAAC", ".mp4", "h264", 160, 120, "aac", nullptr},
        FileCase{"single_wmv2_wma8", "single WWMV", "video=WMV2:160x120 audio=WMA8", ".wmv", "wmv2", 160, 120, "wmav2",
                 nullptr},
        FileCase{"close_thread_cannot_start", "single WMP4", "video=W264:160x120 audio=WAAC nothread", ".mp4", "h264", 160,
                 120, "aac", "kx_Traxel.dll: close thread could not be started, closing on the caller's thread."},
        // Two video records: the later one decides the file's video stream.
        FileCase{"multi_two_videos", "multi WMP4", "video=W265:320x240 video=W264:176x144 audio=WAAC", ".mp4", "h264", 176,
                 144, "aac", nullptr},
        FileCase{"multi_wmv1", "multi WWMV", "video=WMV1:160x120", ".wmv", "wmv1", 160, 120, nullptr, nullptr},
        FileCase{"multi_wma8", "multi WWMA", "audio=WMA8", ".wma", nullptr, 0, 0, "wmav2", nullptr}),
    [](const ::testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

// A full disk: the file may not grow past 64 KiB. A write that cannot reach
// the disk returns 0 with its error line naming the failed call and the
// HRESULT of "file too large"; the host closes the file, and the close
// returns and lets the process exit normally.
TEST(HostWrittenFiles, FullDiskRefusesTheWriteAndTheCloseReturns) {
  const TempDir dir;
  const std::string path = (dir / "full_disk.wmv").string();
  ASSERT_EQ(RunHost("single WWMV '" + path + "' video=WMV2:320x240 audio=WMA8 frames=300 fsize=65536", dir), 0)
      << ReadText(dir / "log");
  EXPECT_NE(ReadText(dir / "out").find("write refused at frame"), std::string::npos) << "64 KiB hold fewer than 300 frames";
  EXPECT_LE(std::filesystem::file_size(path), 65536u);
  const std::string log = ReadText(dir / "log");
  for (const char* part : {"kx_Traxel error [Media Foundation ]: mfsinkwriter->WriteSample(", "failed,  ",
                           "(0x800700df)", "kx_Traxel.dll: media file closed."}) {
    EXPECT_NE(log.find(part), std::string::npos) << part << " in\n" << log;
  }
}

// The host program's many-file kinds, round robin by index (its kKinds):
// 25 pictures and 1 s of sound.
void ExpectEveryFrame(const TempDir& dir, int index, int kindIndex) {
  const struct {
    const char* extension;
    bool video, audio;
  } kinds[] = {{".wmv", true, true}, {".mp4", true, true}, {".wma", false, true},
               {".mp4", true, false}, {".wmv", true, false}, {".mp4", true, true}};
  const auto& kind = kinds[kindIndex % 6];
  ExpectDecoded((dir / ("file" + std::to_string(index) + kind.extension)).string(), kind.video ? 25 : -1, kind.audio ? 1 : 0);
}

TEST(HostWrittenFiles, EightThreadsWriteAndTheHostReturnsFromMainRightAfter) {
  const TempDir dir;
  ASSERT_EQ(RunHost("threads 8 '" + dir.path().string() + "'", dir), 0) << ReadText(dir / "log");
  for (int i = 0; i < 8; ++i) ExpectEveryFrame(dir, i, i);
}

TEST(HostWrittenFiles, UnloadRightAfterCloseWhileTheHostKeepsRunning) {
  const TempDir dir;
  ASSERT_EQ(RunHost("unload 30 '" + dir.path().string() + "'", dir), 0) << ReadText(dir / "log");
  for (int i = 0; i < 30; ++i) ExpectEveryFrame(dir, i, 1);
}

TEST(HostWrittenFiles, ThreeHundredCyclesLeaveNoThreadsDescriptorsOrMemoryBehind) {
  const TempDir dir;
  ASSERT_EQ(RunHost("cycles 300 '" + dir.path().string() + "'", dir), 0) << ReadText(dir / "log");
  std::istringstream out(ReadText(dir / "out"));
  // After the 5th, the 150th and the 300th cycle.
  long fds[3] = {}, threads[3] = {}, residentKb[3] = {}, heapKb[3] = {};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(out >> fds[i] >> threads[i] >> residentKb[i] >> heapKb[i]) << ReadText(dir / "out");
  EXPECT_EQ(fds[2], fds[0]);
  EXPECT_EQ(threads[2], threads[0]);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Only the plain build's allocator says anything (the sanitizers keep
  // freed memory in quarantine). What is in use must not grow; the resident
  // size grows while the C library's caches fill (about 60 MiB over the
  // first hundred cycles here), then stays flat.
  EXPECT_LT(heapKb[2] - heapKb[0], 2 * 1024) << heapKb[0] << " kB in use after 5 cycles";
  EXPECT_LT(residentKb[2] - residentKb[1], 32 * 1024) << residentKb[1] << " kB resident after 150 cycles";
#endif
  ExpectDecoded((dir / "file299.mp4").string(), 3, 0.1);
}

}  // namespace
}  // namespace kx::test
