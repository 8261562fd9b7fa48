// kx-host killed (SIGKILL) while it writes a file fed in real time, as a
// crashed converter is: the temporary file it leaves must decode every
// picture handed over but for at most the last 3 s, each picture the one
// handed in at its place (pictures carry their index in blocks that lossy
// coding keeps), with the sound alongside.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "media_probe.h"
#include "temp_dir.h"

extern char** environ;

namespace kx::test {
namespace {

constexpr int kWidth = 320, kHeight = 240, kRate = 25, kBlock = 32, kBits = kWidth / kBlock;

// Picture `index`: its bits as dark and light blocks across the top, a moving gradient below.
std::string Picture(int index) {
  std::string bytes = "FRAME\n" + std::string(kWidth * kHeight * 3 / 2, '\x80');
  for (int i = 0; i < kWidth * kHeight; ++i) {
    const int x = i % kWidth, y = i / kWidth;
    bytes[6 + i] = static_cast<char>(y < kBlock ? ((index >> (x / kBlock)) & 1 ? 216 : 40) : (x + y + 4 * index) & 255);
  }
  return bytes;
}

// The bits back from the middle of each block.
int IndexOf(const AVFrame& frame) {
  int index = 0;
  for (int bit = 0; bit < kBits; ++bit) index |= (frame.data[0][16 * frame.linesize[0] + bit * kBlock + 16] > 128) << bit;
  return index;
}

struct Cut {
  std::filesystem::path output;
  double seconds;
  pid_t pid = -1;
  int written = 0;  // pictures written to kx-host's input
};

// kx-host encode OUT --video - --audio WAV, fed at the frame rate; the
// writes block while kx-host lags, so they follow its own progress. SIGKILL
// once the cut's pictures are in and their time has passed.
void WriteAndKill(Cut& cut, const std::string& wav) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  const std::string output = cut.output.string();
  const char* argv[] = {KX_TEST_HOST, "encode", output.c_str(), "--video", "-", "--audio", wav.c_str(), "--quiet", nullptr};
  const int spawned = posix_spawn(&cut.pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[0]);
  const auto start = std::chrono::steady_clock::now();
  const auto at = [&](int picture) { return start + std::chrono::microseconds(1000000LL * picture / kRate); };
  const int pictures = static_cast<int>(cut.seconds * kRate);
  FILE* input = fdopen(fds[1], "w");
  setvbuf(input, nullptr, _IONBF, 0);
  bool reading = spawned == 0 && std::fputs("YUV4MPEG2 W320 H240 F25:1 Ip A1:1\n", input) >= 0;
  for (std::string picture; reading && cut.written < pictures; cut.written += reading) {
    std::this_thread::sleep_until(at(cut.written));
    picture = Picture(cut.written);
    reading = std::fwrite(picture.data(), 1, picture.size(), input) == picture.size();
  }
  EXPECT_TRUE(reading) << output << ": kx-host did not start or stopped reading";
  std::this_thread::sleep_until(at(pictures));
  if (spawned == 0) kill(cut.pid, SIGKILL), waitpid(cut.pid, nullptr, 0);
  std::fclose(input);
}

class KillTest : public ::testing::TestWithParam<const char*> {};

TEST_P(KillTest, TemporaryFilePlaysUpToTheCut) {
  signal(SIGPIPE, SIG_IGN);
  TempDir dir;
  const std::string wav = (dir / "tone.wav").string();
  RunCommand(KX_TEST_FFMPEG " -nostdin -v error -f lavfi -i sine=r=48000 -t 12 -ac 2 -c:a pcm_s16le " + wav);
  const std::string extension = GetParam();
  std::vector<Cut> cuts = {{dir / ("a" + extension), 2.5}, {dir / ("b" + extension), 5}, {dir / ("c" + extension), 8}};
  std::vector<std::thread> writers;
  for (Cut& cut : cuts) writers.emplace_back(WriteAndKill, std::ref(cut), wav);
  for (std::thread& writer : writers) writer.join();

  for (const Cut& cut : cuts) {
    const auto kept = dir / (cut.output.stem().string() + ".kxpart-" + std::to_string(cut.pid) + extension);
    SCOPED_TRACE(kept.string() + ", killed at " + std::to_string(cut.written) + " pictures");
    EXPECT_FALSE(std::filesystem::exists(cut.output));
    std::vector<int> indexes;
    const FileReport report = ReadMediaFile(kept.string(), [&](const AVFrame& frame) { indexes.push_back(IndexOf(frame)); });
    std::printf("%s: %d pictures handed in, %zu decoded, duration %.2f s\n", kept.filename().c_str(), cut.written,
                indexes.size(), report.durationSeconds);
    EXPECT_GE(int(indexes.size()), cut.written - 3 * kRate) << report.error;
    // The pictures in order from the first; a cut in decoding order may leave
    // out a few (B-frames) just before it.
    int next = 0, lost = 0;
    for (int index : indexes) {
      const int gap = (index - next + (1 << kBits)) % (1 << kBits);
      ASSERT_LE(gap, 4) << "after picture " << next;
      lost += gap, next = (index + 1) % (1 << kBits);
    }
    EXPECT_LE(lost, 4);
    const StreamReport* sound = report.Find(AVMEDIA_TYPE_AUDIO);
    EXPECT_GE(sound ? sound->decodedSamples : 0, (cut.written / double{kRate} - 3) * 48000);
    if (extension == ".wmv") {
      EXPECT_NEAR(report.durationSeconds, cut.written / double{kRate}, 5);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, KillTest, ::testing::Values(".wmv", ".mp4"),
                         [](const auto& info) { return std::string(info.param + 1); });

}  // namespace
}  // namespace kx::test
