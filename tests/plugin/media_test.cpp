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

// What a full decode finds: "<codec> <width>x<height> <pictures>" for the
// video stream, then "<codec> <rate> <channels>" for the audio stream
// (" short" when it holds less than 90% of `seconds`), " errors" after a
// stream that did not decode cleanly.
std::string Decoded(const std::filesystem::path& path, double seconds) {
  const FileReport file = ReadMediaFile(path.string());
  if (!file.opened) return "not opened: " + file.error;
  std::ostringstream parts[2];
  for (const StreamReport& s : file.streams) {
    std::ostream& part = parts[s.type == AVMEDIA_TYPE_VIDEO ? 0 : 1];
    part << (part.tellp() > 0 ? ", " : "") << s.codecName << " ";
    if (s.type == AVMEDIA_TYPE_VIDEO) part << s.width << "x" << s.height << " " << s.decodedFrames;
    if (s.type != AVMEDIA_TYPE_VIDEO) part << s.sampleRate << " " << s.channels << (s.decodedSamples < 0.9 * seconds * s.sampleRate ? " short" : "");
    part << (s.decodeErrors != 0 ? " errors" : "");
  }
  return parts[0].str() + (parts[0].tellp() > 0 && parts[1].tellp() > 0 ? ", " : "") + parts[1].str();
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

// closeNote: single stream: an entry-point line before the close's, or "" (null: multi-stream)
struct FileCase { const char *kind, *extension, *decoded; const char* closeNote; };
void PrintTo(const FileCase& c, std::ostream* out) { *out << c.kind; }

class HostWrittenFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(HostWrittenFile, IsCompleteWhenTheHostExitsRightAfterClosing) {
  const FileCase& c = GetParam();
  const TempDir dir;
  const std::string path = (dir / (std::string("clip") + c.extension)).string();
  ASSERT_EQ(RunHost(std::string("file ") + c.kind + " '" + path + "'", dir), 0) << FileBytes(dir / "log");
  EXPECT_EQ(Decoded(path, 1.0), c.decoded);
  // The single-stream entry points' own lines, in order, around the encoder's.
  if (c.closeNote != nullptr) {
    std::vector<std::string> lines = {"kx_Traxel.dll: Return file formatsEX...",
                                      "kx_Traxel.dll: Creating media file[" + path + "]...",
                                      "kx_Traxel.dll: Create file[" + path + "] Success.", c.closeNote,
                                      "kx_Traxel.dll: media file closed."};
    if (*c.closeNote == '\0') lines.erase(lines.begin() + 3);
    EXPECT_EQ(EntryPointLines(FileBytes(dir / "log")), lines);
  }
  // The XMP duration is the create's 64-bit value (25 frames of 40 ms) in
  // units of 1/10,000,000 s, whatever the host left in those bytes.
  EXPECT_EQ(Exiftool(path, "-XMP-xmpDM:DurationValue -XMP-xmpDM:DurationScale"), "10000000\n1e-07\n");
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostWrittenFile,
    ::testing::Values(FileCase{"mp4", ".mp4", "h264 160x120 25, aac 48000 2", ""},
                      FileCase{"nothread", ".mp4", "h264 160x120 25, aac 48000 2",
                               "kx_Traxel.dll: close thread could not be started, closing on the caller's thread."},
                      // Two video records: the later one decides the file's video stream.
                      FileCase{"multi_two_videos", ".mp4", "h264 176x144 25, aac 48000 2", nullptr},
                      FileCase{"multi_wma", ".wma", "wmav2 48000 2", nullptr}),
    [](const ::testing::TestParamInfo<FileCase>& info) { return std::string(info.param.kind); });

// A full disk: the file may not grow past 64 KiB. A write that cannot reach
// the disk returns 0 with its error line naming the failed call and the
// HRESULT of "file too large"; the host closes the file, and the close
// returns and lets the process exit normally.
TEST(HostWrittenFiles, FullDiskRefusesTheWriteAndTheCloseReturns) {
  const TempDir dir;
  const std::string path = (dir / "full_disk.wmv").string();
  ASSERT_EQ(RunHost("file full_disk '" + path + "'", dir), 0) << FileBytes(dir / "log");
  EXPECT_NE(FileBytes(dir / "out").find("write refused at frame"), std::string::npos) << "64 KiB hold fewer than 300 frames";
  EXPECT_LE(std::filesystem::file_size(path), 65536u);
  const std::string log = FileBytes(dir / "log");
  for (const char* part : {"kx_Traxel error [Media Foundation ]: mfsinkwriter->WriteSample(", "failed,  ",
                           "(0x800700df)", "kx_Traxel.dll: media file closed."}) {
    EXPECT_NE(log.find(part), std::string::npos) << part << " in\n" << log;
  }
}

// What the host program's first six kinds decode to (25 pictures, 1 s).
const std::pair<const char*, const char*> kRoundRobin[] = {
    {".wmv", "wmv2 160x120 25, wmav2 48000 2"}, {".mp4", "h264 160x120 25, aac 48000 2"}, {".wma", "wmav2 48000 2"},
    {".mp4", "hevc 160x120 25"}, {".wmv", "wmv1 160x120 25"}, {".mp4", "h264 160x120 25, aac 48000 2"}};

TEST(HostWrittenFiles, EightThreadsWriteAndTheHostReturnsFromMainRightAfter) {
  const TempDir dir;
  ASSERT_EQ(RunHost("threads 8 '" + dir.path().string() + "'", dir), 0) << FileBytes(dir / "log");
  for (int i = 0; i < 8; ++i) {
    const auto& [extension, decoded] = kRoundRobin[i % 6];
    EXPECT_EQ(Decoded(dir / ("file" + std::to_string(i) + extension), 1.0), decoded) << i;
  }
}

// A host thread closes a file while the main thread exits or unloads the
// plug-in (whose unload is still waiting for another file's close thread):
// the process ends normally and both files are complete.
TEST(HostWrittenFiles, CloseWhileAnotherThreadExitsOrUnloads) {
  for (const char* how : {"exit", "unload"}) {
    SCOPED_TRACE(how);
    const TempDir dir(std::string("late_close_") + how);
    ASSERT_EQ(RunHost(std::string("late_close ") + how + " '" + dir.path().string() + "'", dir), 0) << FileBytes(dir / "log");
    for (const char* file : {"file0.mp4", "file1.mp4"}) EXPECT_EQ(Decoded(dir / file, 0.12), "h264 64x48 3, aac 48000 2") << file;
    EXPECT_NE(FileBytes(dir / "log").find("the library is being unloaded, closing on the caller's thread."), std::string::npos);
  }
}

TEST(HostWrittenFiles, UnloadRightAfterCloseWhileTheHostKeepsRunning) {
  const TempDir dir;
  ASSERT_EQ(RunHost("unload 30 '" + dir.path().string() + "'", dir), 0) << FileBytes(dir / "log");
  for (int i = 0; i < 30; ++i) EXPECT_EQ(Decoded(dir / ("file" + std::to_string(i) + ".mp4"), 1.0), kRoundRobin[1].second) << i;
}

TEST(HostWrittenFiles, ThreeHundredCyclesLeaveNoThreadsDescriptorsOrMemoryBehind) {
  const TempDir dir;
  ASSERT_EQ(RunHost("cycles 300 '" + dir.path().string() + "'", dir), 0) << FileBytes(dir / "log");
  std::istringstream out(FileBytes(dir / "out"));
  // After the 5th, the 150th and the 300th cycle.
  long fds[3] = {}, threads[3] = {}, heapKb[3] = {};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(out >> fds[i] >> threads[i] >> heapKb[i]) << FileBytes(dir / "out");
  EXPECT_EQ(fds[2], fds[0]);
  EXPECT_EQ(threads[2], threads[0]);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Only the plain build's allocator says anything (the sanitizers keep
  // freed memory in quarantine). What is in use must not grow. (The
  // resident size says nothing here: the C library's per-thread arenas
  // fill and fragment by the scheduling of the close threads.)
  EXPECT_LT(heapKb[2] - heapKb[0], 2 * 1024) << heapKb[0] << " kB in use after 5 cycles";
#endif
  EXPECT_EQ(Decoded(dir / "file299.mp4", 0.1), "h264 64x48 3, aac 48000 2");
}

}  // namespace
}  // namespace kx::test
