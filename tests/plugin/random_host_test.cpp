// A host that tries values from the edges, drawn from a fixed seed: records
// with zero, odd and huge sizes, rates that are zero, negative, not a number
// or huge, PCM formats nobody uses, codec private data of any size, short,
// empty and negative strides, null planes, PCM blocks of any length, and
// time stamps that go backwards, repeat or sit at the ends of the 64-bit
// range. The plug-in is loaded by path and driven through its tables; every
// buffer is exactly as long as its record says. Whatever comes in: each
// create returns a handle or null with its log line, each write 1, or 0 with
// a log line, nothing crashes (in the sanitizer build
// no single allocation may pass a cap: no size from a record is taken
// unchecked), and every file that was created opens, decodes without an
// error and holds exactly the pictures that were accepted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <thread>
#include <utility>

#include "host_view.h"
#include "media_probe.h"
#include "temp_dir.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator refuses (and reports) any single request above
// the cap, so a size taken from a record without a check fails the run.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=256:allocator_may_return_null=0"; }
#endif

namespace kx::test {
namespace {

constexpr int64_t kFrameDuration = 400000;  // 25 fps in 100-ns units
// Pictures larger than this are declared but not written (time).
constexpr uint64_t kLargestWrittenPicture = uint64_t{1} << 20;

struct Dice {
  std::mt19937_64 engine;
  uint64_t Below(uint64_t n) { return engine() % n; }
  bool Chance(unsigned percent) { return Below(100) < percent; }
  template <typename T> T Pick(std::initializer_list<T> values) { return *(values.begin() + Below(values.size())); }
  // A usual value (`percent` of the time) or one from the edges.
  template <typename T> T Either(unsigned percent, std::initializer_list<T> usual, std::initializer_list<T> edges) {
    return Chance(percent) ? Pick(usual) : Pick(edges);
  }
};

struct Container { const char *fourcc, *extension; std::initializer_list<const char*> video, audio; };
const Container kContainers[] = {
    {"WWMV", ".wmv", {"WMV1", "WMV2", "WMV3", "HVC1"}, {"WMA8", "WMA9"}},
    {"WWMA", ".wma", {}, {"WMA8", "WMA9"}},
    {"WMP4", ".mp4", {"W264", "W265"}, {"WAAC"}},
};

// One host record and what the host keeps alive while it is in use.
struct HostFile {
  HostRecord record;
  std::vector<ExactBlock> extraData;
  std::string extension;
  uint32_t U32(size_t offset) const { return record.Read(offset); }
};

// Codec private data: none, a few bytes, or a size that is not one
// (negative, or no buffer). A buffer is exactly its size.
void MaybeAttachExtraData(Dice& dice, HostFile& file, size_t block) {
  if (!dice.Chance(15)) return;
  const uint32_t size = dice.Pick<uint32_t>({0, 1, 17, 300, 0x80000000, 0xFFFFFFFF});
  const bool withBuffer = size <= 300 && dice.Chance(80);
  withBuffer ? file.record.Extra(block, file.extraData.emplace_back(size).data(), size) : file.record.U32(block + host::kExtraSize, size | 5);
}

HostFile DrawRecord(Dice& dice) {
  HostFile file;
  const Container& container = kContainers[dice.Below(3)];
  const uint32_t fileFourCC = dice.Chance(95) ? FourCC(container.fourcc) : dice.Pick<uint32_t>({0, FourCC("WMV2"), 0xFFFFFFFF});
  file.extension = dice.Either<const char*>(90, {container.extension}, {".wmv", ".wma", ".mp4", ".avi", ""});
  file.record.U32(host::kFileFourCC, fileFourCC);
  if (container.video.size() > 0 ? dice.Chance(80) : dice.Chance(10)) {
    const uint32_t usual = FourCC(container.video.size() > 0 ? dice.Pick(container.video) : "WMV2");
    const uint32_t fourcc = dice.Either<uint32_t>(92, {usual}, {0, FourCC("H264"), FourCC("WMA8"), 0xFFFFFFFF});
    const std::initializer_list<uint32_t> sides = {0, 1, 2, 3, 15, 17, 18, 31, 16384, 16385, 65536, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    const uint32_t width = dice.Either<uint32_t>(60, {16, 32, 64, 96, 176}, sides);
    uint32_t height = dice.Either<uint32_t>(60, {16, 32, 48, 120, 144}, sides);
    // Sizes the layer takes are kept small enough to encode quickly.
    if (width <= 16384 && height <= 16384 && uint64_t{width} * height > kLargestWrittenPicture) height = 16;
    const double rate = dice.Either<double>(70, {25.0, 30.0, 29.97, 23.976, 50.0}, {0.0, -0.0, -25.0, std::nan(""), HUGE_VAL,
                                            -HUGE_VAL, DBL_MIN, 1e-9, 0.5, 1e6, 2147483648.0, 4294967296.0, DBL_MAX});
    const uint32_t bitrate = dice.Either<uint32_t>(85, {300000}, {0, 1, 0x7FFFFFFF, 0xFFFFFFFF});
    file.record.Video(FourCCText(fourcc).c_str(), width, height, rate, bitrate);
    if (dice.Chance(3)) file.record.U32(host::kNoVideo, 7);
    MaybeAttachExtraData(dice, file, host::kVideoExtra);
  }
  if (dice.Chance(60)) {
    const uint32_t fourcc = dice.Either<uint32_t>(92, {FourCC(dice.Pick(container.audio))}, {0, FourCC("W264"), FourCC("MP3 "), 0xFFFFFFFF});
    const uint32_t rate = dice.Either<uint32_t>(60, {22050, 32000, 44100, 48000},
                                                {0, 1, 7999, 8000, 11025, 44101, 96000, 384001, 0x7FFFFFFF, 0xFFFFFFFF});
    const uint32_t channels = dice.Either<uint32_t>(70, {1, 2}, {0, 3, 6, 8, 9, 255, 0xFFFFFFFF});
    const uint32_t bits = dice.Either<uint32_t>(70, {16}, {0, 7, 8, 24, 32, 33, 0xFFFFFFFF});
    const uint32_t bitrate = dice.Pick<uint32_t>({128000, 128000, 64000, 0, 0xFFFFFFFF});
    file.record.Audio(FourCCText(fourcc).c_str(), rate, channels, bitrate, bits);
    if (dice.Chance(3)) file.record.U32(host::kNoAudio, 3);
    MaybeAttachExtraData(dice, file, host::kAudioExtra);
  }
  return file;
}

// A time stamp: the next one, or (`percent` of the time) one from the edges.
int64_t DrawTime(Dice& dice, int64_t& next, unsigned percent) {
  if (!dice.Chance(percent)) return std::exchange(next, next + kFrameDuration);
  return dice.Pick<int64_t>({next - 2 * kFrameDuration, next - kFrameDuration, next + 36000000000,
                             std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min(), -kFrameDuration});
}

size_t Count(const LogCapture& log, const std::string& text) {
  const auto records = log.Records();
  return static_cast<size_t>(std::count(records.begin(), records.end(), text));
}

TEST(RandomHost, RecordsFramesAndTimeStampsFromTheEdges) {
  ASSERT_NE(Plugin(), nullptr) << "the plug-in does not load";
  LogCapture log{PluginLogSink()};
  const TempDir dir;
  Dice dice{std::mt19937_64(20240611)};
  constexpr int kCases = 3000;
  int created = 0;
  for (int index = 0; index < kCases && !::testing::Test::HasFatalFailure(); ++index) {
    HostFile file = DrawRecord(dice);
    SCOPED_TRACE("case " + std::to_string(index) + " of seed 20240611");
    const SingleStreamRow found = SingleStreamSlots(FourCCText(file.U32(host::kFileFourCC)).c_str());
    const SingleStreamRow slots = found.create != nullptr ? found : SingleStreamSlots("WWMV");
    const std::string path = (dir / ("case" + std::to_string(index) + file.extension)).string();
    log.Clear();
    void* handle = slots.create(Wide(path).c_str(), file.record.get(), 1000);
    if (handle == nullptr) {
      EXPECT_EQ(Count(log, "kx_Traxel.dll: Create file[" + path + "] failed."), 1u) << "a refused create says so";
      continue;
    }
    ++created;
    const uint32_t width = file.U32(host::kWidth), height = file.U32(host::kHeight);
    const uint32_t rate = file.U32(host::kSampleRate), channels = file.U32(host::kChannels);
    const bool hasVideo = file.U32(host::kNoVideo) == 0, hasAudio = file.U32(host::kNoAudio) == 0;
    const unsigned timeEdges = dice.Pick<unsigned>({0, 0, 25});
    int written = 0, pictures = 0;
    int64_t videoPts = dice.Chance(10) ? -5 * kFrameDuration : 0, audioPts = videoPts;
    std::string what, history;
    for (int w = 0, writes = static_cast<int>(dice.Below(12)); w < writes; ++w) {
      const bool drawPicture = dice.Below(100) < 60;
      const size_t before = log.Records().size();
      int32_t result = 0;
      bool absent = false;  // a frame of a stream the file does not have: dropped without a word
      if (drawPicture && slots.writeVideo != nullptr && uint64_t{width} * height <= kLargestWrittenPicture) {
        const auto W = static_cast<int32_t>(width), C = static_cast<int32_t>(width / 2);
        const int32_t luma = dice.Either<int32_t>(60, {W}, {W + 1, 2 * W, W / 2, 1, 0, -W, -(W + 3)});
        const int32_t chroma = dice.Either<int32_t>(60, {C}, {C + 1, W, C / 2, 0, -C, -(C + 5)});
        HostPicture picture(width, height, w, {luma, chroma, chroma});
        const int64_t pts = DrawTime(dice, videoPts, timeEdges);
        picture.record().Times(pts);
        const bool nullPlane = dice.Chance(5), finish = dice.Chance(3);
        if (nullPlane) picture.record().Set<const void*>(host::kPlanes + 8 * dice.Below(3), nullptr);
        if (finish) picture.record().Set<int64_t>(host::kDuration, KX_FINISH_REQUEST_DURATION);
        result = slots.writeVideo(handle, picture.frame(), 0);
        what = "picture at " + std::to_string(pts) + " strides " + std::to_string(luma) + "/" + std::to_string(chroma) +
               (nullPlane ? " null plane" : "") + (finish ? " finish" : "");
        EXPECT_TRUE(!nullPlane || result == 0) << what << ": a picture without a plane is refused";
        pictures += result == 1;
        absent = !hasVideo;
      } else {
        const auto block = static_cast<int32_t>(std::min<uint64_t>(65536, uint64_t{rate % 400000} * (channels % 16) * 2 / 25));
        const int32_t bytes = dice.Either<int32_t>(60, {block}, {0, 1, 3, 4095, 65535, -1, INT32_MIN});
        HostPcm sound(HostPcm::Bytes{bytes}, channels, rate);
        const int64_t pts = DrawTime(dice, audioPts, timeEdges);
        sound.record().Times(pts);
        result = slots.writeAudio(handle, sound.frame(), 0, 1);
        what = "sound at " + std::to_string(pts) + " of " + std::to_string(bytes) + " bytes";
        absent = !hasAudio;
      }
      EXPECT_TRUE(result == 0 || result == 1) << what << " returned " << result;
      EXPECT_TRUE(result == 1 || absent || log.Records().size() > before) << what << " was refused without a log line";
      written += result == 1;
      history += what + ": " + std::to_string(result) + "; ";
    }
    slots.close(handle);
    // The encoder's callback says "release" once the close thread let the
    // finished writer go: from then on the file is complete.
    for (int i = 0; i < 60000 && Count(log, "release \n") == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(Count(log, "release \n"), 1u) << "the close finished the file";
    if (written > 0 || created % 10 == 0) {
      const FileReport report = ReadMediaFile(path);
      EXPECT_TRUE(report.opened) << "a created file opens";
      for (const auto& stream : report.streams) EXPECT_EQ(stream.decodeErrors, 0) << "every packet decodes";
      EXPECT_EQ(report.DecodedFrames(AVMEDIA_TYPE_VIDEO), pictures) << "every accepted picture is in the file: " << history;
    }
    std::filesystem::remove(path);
  }
  std::printf("%d cases, %d files created\n", kCases, created);
  EXPECT_GT(created, kCases / 20) << "the draw creates files too";
}

}  // namespace
}  // namespace kx::test
