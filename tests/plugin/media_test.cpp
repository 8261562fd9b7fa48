// Real files written through the tables by a separate host program that
// exits right after closing, read back with libavformat: the close thread's
// work is complete when the process is gone, the multi-stream merge decides
// the file's streams, and every frame routed by index is in the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

struct StreamSummary {
  std::string codec;
  int width = 0, height = 0;
  int sampleRate = 0, channels = 0;
  int packets = 0;
};

struct FileSummary {
  bool opened = false;
  std::string error;
  std::vector<StreamSummary> video, audio;
};

FileSummary Probe(const std::string& path) {
  FileSummary summary;
  AVFormatContext* context = nullptr;
  int result = avformat_open_input(&context, path.c_str(), nullptr, nullptr);
  if (result < 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(result, text, sizeof text);
    summary.error = text;
    return summary;
  }
  summary.opened = avformat_find_stream_info(context, nullptr) >= 0;
  std::map<int, StreamSummary*> byIndex;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVCodecParameters* codec = context->streams[i]->codecpar;
    StreamSummary stream;
    stream.codec = avcodec_get_name(codec->codec_id);
    stream.width = codec->width;
    stream.height = codec->height;
    stream.sampleRate = codec->sample_rate;
    stream.channels = codec->ch_layout.nb_channels;
    if (codec->codec_type == AVMEDIA_TYPE_VIDEO) summary.video.push_back(stream);
    if (codec->codec_type == AVMEDIA_TYPE_AUDIO) summary.audio.push_back(stream);
  }
  // Pointers only after the vectors stopped growing.
  size_t video = 0, audio = 0;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVMediaType type = context->streams[i]->codecpar->codec_type;
    if (type == AVMEDIA_TYPE_VIDEO) byIndex[static_cast<int>(i)] = &summary.video[video++];
    if (type == AVMEDIA_TYPE_AUDIO) byIndex[static_cast<int>(i)] = &summary.audio[audio++];
  }
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(context, packet) >= 0) {
    auto found = byIndex.find(packet->stream_index);
    if (found != byIndex.end()) ++found->second->packets;
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&context);
  return summary;
}

std::string OutputPath(const std::string& name) {
  std::filesystem::create_directories(KX_TEST_OUTPUT_DIR);
  const std::string path = std::string(KX_TEST_OUTPUT_DIR) + "/" + name;
  std::filesystem::remove(path);
  return path;
}

// Runs the host program with its log going to `logPath`; its exit status.
// The program ends while the library's close thread is just ending too: in
// the sanitizer build LeakSanitizer's check at exit can trip over a thread
// that is ending at that moment, so it is off for this program only (the
// encoder's memory is checked in-process by the sink writer's tests).
int RunHost(const std::string& arguments, const std::string& logPath) {
  std::filesystem::remove(logPath);
  const std::string command = "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 ZQ_LOG_FILE=\"" + logPath +
                              "\" \"" + KX_TEST_HOST_WRITER + "\" \"" +
                              KX_TEST_TRAXEL_PATH + "\" " + arguments;
  return std::system(command.c_str());
}

// The output of a shell command.
std::string CommandOutput(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  pclose(pipe);
  return output;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The texts of the log file's records ("time thread text") that begin with
// the single-stream entry points' prefix.
std::vector<std::string> EntryPointLines(const std::string& log) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    const size_t text = line.find(' ', line.find(' ') + 1);
    if (text == std::string::npos) continue;
    if (line.compare(text + 1, 15, "kx_Traxel.dll: ") == 0) lines.push_back(line.substr(text + 1));
  }
  return lines;
}

struct FileCase {
  const char* name;
  const char* arguments;  // mode, container; the output path follows
  const char* extension;
  std::vector<std::string> videoCodecs;  // expected video streams (codec names)
  int width, height;
  std::vector<std::string> audioCodecs;
};

void PrintTo(const FileCase& c, std::ostream* out) { *out << c.name; }

class HostWrittenFileTest : public ::testing::TestWithParam<FileCase> {};

TEST_P(HostWrittenFileTest, IsCompleteWhenTheHostExitsRightAfterClosing) {
  const FileCase& c = GetParam();
  const std::string path = OutputPath(std::string(c.name) + c.extension);
  const std::string arguments = std::string(c.arguments);
  const size_t split = arguments.find(' ', arguments.find(' ') + 1);
  const std::string logPath = path + ".log";
  ASSERT_EQ(RunHost(arguments.substr(0, split) + " \"" + path + "\"" + arguments.substr(split), logPath), 0)
      << ReadText(logPath);

  const FileSummary file = Probe(path);
  ASSERT_TRUE(file.opened) << path << ": " << file.error << "\n" << ReadText(logPath);
  ASSERT_EQ(file.video.size(), c.videoCodecs.size());
  for (size_t i = 0; i < file.video.size(); ++i) {
    EXPECT_EQ(file.video[i].codec, c.videoCodecs[i]);
    EXPECT_EQ(file.video[i].width, c.width);
    EXPECT_EQ(file.video[i].height, c.height);
    EXPECT_EQ(file.video[i].packets, 10) << "every frame written reached the file";
  }
  ASSERT_EQ(file.audio.size(), c.audioCodecs.size());
  for (size_t i = 0; i < file.audio.size(); ++i) {
    EXPECT_EQ(file.audio[i].codec, c.audioCodecs[i]);
    EXPECT_EQ(file.audio[i].sampleRate, 48000);
    EXPECT_EQ(file.audio[i].channels, 2);
    EXPECT_GT(file.audio[i].packets, 0);
  }

  // The entry points' own lines, in order, around the encoder's.
  if (std::string(c.arguments).rfind("single", 0) == 0) {
    EXPECT_EQ(EntryPointLines(ReadText(logPath)),
              (std::vector<std::string>{"kx_Traxel.dll: Return file formatsEX...",
                                        "kx_Traxel.dll: Creating media file[" + path + "]...",
                                        "kx_Traxel.dll: Create file[" + path + "] Success.",
                                        "kx_Traxel.dll: media file closed."}));
  }

  // The XMP packet read by an independent reader: the duration is the
  // create's 64-bit value (10 frames of 40 ms) in units of 1/10,000,000 s,
  // whatever the host left in those bytes of its record.
  EXPECT_EQ(CommandOutput("exiftool -s3 -XMP-xmpDM:DurationValue -XMP-xmpDM:DurationScale \"" + path + "\""),
            "4000000\n1e-07\n")
      << ReadText(logPath);
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostWrittenFileTest,
    ::testing::Values(
        FileCase{"single_h264_aac", "single WMP4 video=W264:160x120 audio=WAAC", ".mp4", {"h264"}, 160, 120, {"aac"}},
        FileCase{"single_wmv2_wma8", "single WWMV video=WMV2:160x120 audio=WMA8", ".wmv", {"wmv2"}, 160, 120,
                 {"wmav2"}},
        // Two video records: the later one decides the file's video stream.
        FileCase{"multi_two_videos", "multi WMP4 video=W265:320x240 video=W264:176x144 audio=WAAC", ".mp4",
                 {"h264"}, 176, 144, {"aac"}},
        FileCase{"multi_video_only", "multi WWMV video=WMV1:160x120", ".wmv", {"wmv1"}, 160, 120, {}},
        FileCase{"multi_audio_only", "multi WWMA audio=WMA8", ".wma", {}, 0, 0, {"wmav2"}}),
    [](const ::testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

TEST(HostWrittenFile, IsCompleteWhenTheCloseThreadCannotStart) {
  const std::string path = OutputPath("close_without_thread.mp4");
  const std::string logPath = path + ".log";
  ASSERT_EQ(RunHost("single WMP4 \"" + path + "\" video=W264:160x120 audio=WAAC nothread", logPath), 0)
      << ReadText(logPath);
  EXPECT_EQ(EntryPointLines(ReadText(logPath)),
            (std::vector<std::string>{
                "kx_Traxel.dll: Return file formatsEX...",
                "kx_Traxel.dll: Creating media file[" + path + "]...",
                "kx_Traxel.dll: Create file[" + path + "] Success.",
                "kx_Traxel.dll: close thread could not be started, closing on the caller's thread.",
                "kx_Traxel.dll: media file closed.",
            }));
  const FileSummary file = Probe(path);
  ASSERT_TRUE(file.opened) << file.error;
  ASSERT_EQ(file.video.size(), 1u);
  EXPECT_EQ(file.video[0].packets, 10);
  EXPECT_EQ(file.audio.size(), 1u);
}

// A full disk, as a host meets it: the file may not grow past 64 KiB
// (RLIMIT_FSIZE, SIGXFSZ ignored). A write that cannot reach the disk returns
// 0 with its error line naming the failed call and the HRESULT of "file too
// large"; the host then closes the file, and the close returns and lets the
// process exit normally.
TEST(HostWrittenFile, FullDiskRefusesTheWriteAndTheCloseReturns) {
  const std::string path = OutputPath("full_disk.wmv");
  const std::string logPath = path + ".log";
  const std::string outPath = path + ".out";
  ASSERT_EQ(RunHost("single WWMV \"" + path + "\" video=WMV2:320x240 audio=WMA8 frames=300 fsize=65536 > \"" +
                        outPath + "\"",
                    logPath),
            0)
      << ReadText(logPath);
  EXPECT_NE(ReadText(outPath).find("write refused at frame"), std::string::npos) << "64 KiB hold fewer than 300 frames";
  EXPECT_LE(std::filesystem::file_size(path), 65536u);

  const std::string log = ReadText(logPath);
  EXPECT_NE(log.find("kx_Traxel error [Media Foundation ]: mfsinkwriter->WriteSample("), std::string::npos) << log;
  EXPECT_NE(log.find("failed,  "), std::string::npos) << log;
  EXPECT_NE(log.find("(0x800700df)"), std::string::npos) << "the log says why: " << log;
  EXPECT_NE(log.find("kx_Traxel.dll: media file closed."), std::string::npos) << log;
}

}  // namespace

namespace {

// Decoded frames per stream type, as a player sees them: ffprobe decodes
// every packet ("video:25 audio:47"); empty when the file does not open.
std::map<std::string, int> DecodedFrames(const std::string& path) {
  std::map<std::string, int> frames;
  std::istringstream lines(CommandOutput("ffprobe -v error -count_frames -show_entries stream=codec_type,nb_read_frames "
                                         "-of csv=p=0 \"" + path + "\" 2>&1"));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos) return {{"error: " + line, 0}};
    frames[line.substr(0, comma)] += std::atoi(line.c_str() + comma + 1);
  }
  return frames;
}

std::string HostFolder(const std::string& name) {
  const std::string folder = std::string(KX_TEST_OUTPUT_DIR) + "/" + name;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

// The host program in one of its many-file modes, its standard output in
// <folder>/out and its log in <folder>/log; stopped if it hangs.
int RunManyFileHost(const std::string& mode, int count, const std::string& folder) {
  const std::string command = "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 ZQ_LOG_FILE=\"" + folder +
                              "/log\" timeout 240 \"" + KX_TEST_HOST_WRITER + "\" \"" + KX_TEST_TRAXEL_PATH + "\" " +
                              mode + " " + std::to_string(count) + " \"" + folder + "\" > \"" + folder + "/out\"";
  return std::system(command.c_str());
}

// The kinds the host program writes round robin, by the file's index: the
// extension and the decoded frames of each stream (25 pictures; 25 blocks of
// 40 ms of sound, which the encoders regroup).
struct ExpectedKind {
  const char* extension;
  bool video, audio;
};
constexpr ExpectedKind kHostKinds[] = {
    {".wmv", true, true}, {".mp4", true, true}, {".wma", false, true},
    {".mp4", true, false}, {".wmv", true, false}, {".mp4", true, true},
};

void ExpectEveryFrame(const std::string& path, const ExpectedKind& kind) {
  const std::map<std::string, int> frames = DecodedFrames(path);
  if (kind.video) {
    EXPECT_EQ(frames.count("video") ? frames.at("video") : -1, 25) << path;
  } else {
    EXPECT_EQ(frames.count("video"), 0u) << path;
  }
  if (kind.audio) {
    // 1 s of sound: at least 1 s of decoded frames of at most 2048 samples.
    EXPECT_GE(frames.count("audio") ? frames.at("audio") : 0, 48000 / 2048) << path;
  } else {
    EXPECT_EQ(frames.count("audio"), 0u) << path;
  }
}

}  // namespace

TEST(ManyFileHost, EightThreadsWriteAndTheHostReturnsFromMainRightAfter) {
  const std::string folder = HostFolder("threads");
  ASSERT_EQ(RunManyFileHost("threads", 8, folder), 0) << ReadText(folder + "/log");
  for (int i = 0; i < 8; ++i) {
    const ExpectedKind& kind = kHostKinds[i % 6];
    ExpectEveryFrame(folder + "/file" + std::to_string(i) + kind.extension, kind);
  }
}

TEST(ManyFileHost, UnloadRightAfterCloseWhileTheHostKeepsRunning) {
  const std::string folder = HostFolder("unload");
  ASSERT_EQ(RunManyFileHost("unload", 30, folder), 0) << ReadText(folder + "/log");
  for (int i = 0; i < 30; ++i) ExpectEveryFrame(folder + "/file" + std::to_string(i) + ".mp4", kHostKinds[1]);
}

TEST(ManyFileHost, ThreeHundredCyclesLeaveNoThreadsDescriptorsOrMemoryBehind) {
  const std::string folder = HostFolder("cycles");
  ASSERT_EQ(RunManyFileHost("cycles", 300, folder), 0) << ReadText(folder + "/log");
  std::istringstream out(ReadText(folder + "/out"));
  // After the 5th, the 150th and the 300th cycle.
  long fds[3] = {}, threads[3] = {}, residentKb[3] = {}, heapKb[3] = {};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(out >> fds[i] >> threads[i] >> residentKb[i] >> heapKb[i]) << ReadText(folder + "/out");
  }
  EXPECT_EQ(fds[2], fds[0]);
  EXPECT_EQ(threads[2], threads[0]);
#if !defined(__SANITIZE_ADDRESS__)
  // The sanitizer build has its own allocator and keeps freed memory in
  // quarantine: only the plain build's figures say anything. What is in use
  // must not grow. The resident size grows while the C library's caches of
  // freed memory and thread stacks fill (about 60 MiB over the first hundred
  // cycles here), then stays flat.
  EXPECT_LT(heapKb[2] - heapKb[0], 2 * 1024) << heapKb[0] << " kB in use after 5 cycles";
  EXPECT_LT(residentKb[2] - residentKb[1], 32 * 1024) << residentKb[1] << " kB resident after 150 cycles";
#endif
  EXPECT_EQ(DecodedFrames(folder + "/file299.mp4")["video"], 3);
}
