// A host that tries values from the edges, drawn from a fixed seed: records
// with zero, odd and huge sizes, rates that are zero, negative, not a number
// or huge, PCM formats nobody uses, short, empty and negative strides, null
// planes, PCM blocks of any length, and time stamps that go backwards, repeat
// or sit at the ends of the 64-bit range. The plug-in is loaded by path and
// driven through its tables. Every buffer the host hands over is exactly as
// long as its record says. Whatever comes in: each create returns a handle or
// null with its log line, each write 1 or 0 (-1 for a null frame), nothing
// crashes, no allocation is larger than the declared picture implies, and
// every file that was created opens and decodes without an error.
#include <gtest/gtest.h>

#include <cfloat>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "host_view.h"
#include "media_probe.h"
#include "temp_dir.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KX_TEST_WATCHES_THE_HEAP 0
#else
#define KX_TEST_WATCHES_THE_HEAP 1
#endif

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator refuses (and reports) any single request above
// the cap, so a size taken from a record without a check fails the run.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=256:allocator_may_return_null=0"; }
#endif
#if KX_TEST_WATCHES_THE_HEAP
// largest_allocation.c, linked only where no sanitizer owns the allocator.
extern "C" size_t kx_test_take_largest_allocation(void);
#endif

namespace kx::test {
namespace {

constexpr uint64_t kSeed = 20240611;
constexpr int64_t kFrameDuration = 400000;  // 25 fps in 100-ns units
// Largest single allocation of a create-write-close whose picture size is
// refused or tiny: the encoders' own tables and buffers.
constexpr size_t kBaselineAllocationBytes = size_t{8} << 20;
// Pictures larger than this are declared but not written (time).
constexpr uint64_t kLargestWrittenPicture = uint64_t{1} << 20;

class Dice {
 public:
  explicit Dice(uint64_t seed) : engine_(seed) {}
  uint64_t Below(uint64_t n) { return engine_() % n; }
  bool Chance(unsigned percent) { return Below(100) < percent; }
  template <typename T>
  T Pick(std::initializer_list<T> values) {
    return *(values.begin() + Below(values.size()));
  }

 private:
  std::mt19937_64 engine_;
};

uint32_t F(const char* text) { return FourCC(text); }

struct Container {
  const char* fourcc;
  const char* extension;
  std::initializer_list<const char*> video, audio;
};

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
  std::ostringstream text;  // the case, for failure messages

  uint32_t U32(size_t offset) const { return record.Read(offset); }
  bool HasVideo() const { return U32(host::kNoVideo) == 0; }
  bool HasAudio() const { return U32(host::kNoAudio) == 0; }
};

uint32_t EdgeSide(Dice& dice) {
  return dice.Pick<uint32_t>({0, 1, 2, 3, 15, 17, 18, 31, 16384, 16385, 16386, 65536, 0x7FFFFFFF, 0x80000000,
                              0xFFFFFFFE, 0xFFFFFFFF});
}

double EdgeRate(Dice& dice) {
  return dice.Pick<double>({0.0, -0.0, -1.0, -25.0, std::nan(""), HUGE_VAL, -HUGE_VAL, DBL_MIN, 1e-9, 0.5, 1.0,
                            1000.0, 1e6, 2147483647.0, 2147483648.0, 4294967296.0, 1e300, DBL_MAX});
}

// Any codec private data the host may attach: none, a few bytes, or a size
// that is not one (negative, or no buffer). A buffer is exactly its size.
void MaybeAttachExtraData(Dice& dice, HostFile& file, size_t block) {
  if (!dice.Chance(15)) return;
  const uint32_t size = dice.Pick<uint32_t>({0, 1, 17, 300, 0x80000000, 0xFFFFFFFF});
  const bool withBuffer = size <= 300 && dice.Chance(80);
  if (withBuffer) {
    file.extraData.emplace_back(size);
    WriteAt<const void*>(file.record.bytes(), block + host::kExtraPointer, file.extraData.back().data());
  }
  file.record.U32(block + host::kExtraSize, withBuffer ? size : size | 5);
  file.text << " extra@" << block << "=" << size << (withBuffer ? "" : "(no buffer)");
}

HostFile DrawRecord(Dice& dice) {
  HostFile file;
  const Container& container = kContainers[dice.Below(3)];
  uint32_t fileFourCC = F(container.fourcc);
  if (dice.Chance(5)) fileFourCC = dice.Pick<uint32_t>({0, F("WMV2"), F("ABCD"), 0xFFFFFFFF});
  file.extension = dice.Chance(90) ? container.extension : dice.Pick<const char*>({".wmv", ".wma", ".mp4", ".avi", ""});
  file.record.U32(host::kFileFourCC, fileFourCC);
  file.text << FourCCText(fileFourCC) << " '" << file.extension << "'";

  if (container.video.size() > 0 ? dice.Chance(80) : dice.Chance(10)) {
    uint32_t fourcc = container.video.size() > 0 ? F(*(container.video.begin() + dice.Below(container.video.size())))
                                                 : F("WMV2");
    if (dice.Chance(8)) fourcc = dice.Pick<uint32_t>({0, F("H264"), F("WMA8"), 0xFFFFFFFF});
    uint32_t width = dice.Chance(60) ? dice.Pick<uint32_t>({16, 32, 64, 96, 176}) : EdgeSide(dice);
    uint32_t height = dice.Chance(60) ? dice.Pick<uint32_t>({16, 32, 48, 120, 144}) : EdgeSide(dice);
    // Sizes the layer takes are kept small enough to encode quickly.
    if (width <= 16384 && height <= 16384 && uint64_t{width} * height > (uint64_t{1} << 20)) height = 16;
    const double rate = dice.Chance(70) ? dice.Pick<double>({25.0, 30.0, 29.97, 23.976, 50.0}) : EdgeRate(dice);
    const uint32_t bitrate = dice.Chance(85) ? 300000 : dice.Pick<uint32_t>({0, 1, 0x7FFFFFFF, 0xFFFFFFFF});
    file.record.Video(fourcc, width, height, rate, bitrate);
    if (dice.Chance(3)) file.record.U32(host::kNoVideo, 7);
    file.text << " video " << FourCCText(fourcc) << " " << width << "x" << height << " @" << rate << " "
              << bitrate << "b/s" << (file.HasVideo() ? "" : " (flag 7)");
    MaybeAttachExtraData(dice, file, host::kVideoExtra);
  }
  if (dice.Chance(60)) {
    uint32_t fourcc = F(*(container.audio.begin() + dice.Below(container.audio.size())));
    if (dice.Chance(8)) fourcc = dice.Pick<uint32_t>({0, F("W264"), F("MP3 "), 0xFFFFFFFF});
    const uint32_t rate = dice.Chance(60) ? dice.Pick<uint32_t>({22050, 32000, 44100, 48000})
                                          : dice.Pick<uint32_t>({0, 1, 7999, 8000, 11025, 44101, 96000, 384000,
                                                                 384001, 0x7FFFFFFF, 0xFFFFFFFF});
    const uint32_t channels = dice.Chance(70) ? dice.Pick<uint32_t>({1, 2}) : dice.Pick<uint32_t>({0, 3, 6, 8, 9, 255, 0xFFFFFFFF});
    const uint32_t bits = dice.Chance(70) ? 16 : dice.Pick<uint32_t>({0, 7, 8, 24, 32, 33, 0xFFFFFFFF});
    const uint32_t bitrate = dice.Pick<uint32_t>({128000, 128000, 64000, 0, 0xFFFFFFFF});
    file.record.Audio(fourcc, rate, channels, bitrate, bits);
    if (dice.Chance(3)) file.record.U32(host::kNoAudio, 3);
    file.text << " audio " << FourCCText(fourcc) << " " << rate << "Hz " << channels << "ch " << bits << "bit "
              << bitrate << "b/s" << (file.HasAudio() ? "" : " (flag 3)");
    MaybeAttachExtraData(dice, file, host::kAudioExtra);
  }
  return file;
}

// How many records of the log read exactly `text`.
size_t Count(const LogCapture& log, const std::string& text) {
  size_t count = 0;
  for (const std::string& record : log.Records()) count += record == text;
  return count;
}

// The encoder's callback says "release" when the close thread lets the
// writer go, after the file was finished: from then on the file is complete.
bool WaitForRelease(const LogCapture& log, size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (Count(log, "release \n") < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class RandomHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Plugin().loaded()) << Plugin().error();
    ASSERT_TRUE(log_.active());
  }

  // Creates, writes and closes one file as `file` says, with the writes
  // `writeFrames` makes; checks every result and, after the close, the file.
  template <typename WriteFrames, typename CheckFile>
  void Play(int index, HostFile& file, WriteFrames writeFrames, CheckFile checkFile) {
    SCOPED_TRACE("case " + std::to_string(index) + ": " + file.text.str());
    log_.Clear();
#if KX_TEST_WATCHES_THE_HEAP
    kx_test_take_largest_allocation();
#endif
    const uint8_t* row = SingleStreamRowOf("WWMV");
    if (const uint8_t* named = SingleStreamRowOf(FourCCText(file.U32(host::kFileFourCC)).c_str())) row = named;
    const SingleStreamRow slots = SingleStreamSlots(row);
    const std::string path = (dir_ / ("case" + std::to_string(index) + file.extension)).string();
    std::filesystem::remove(path);

    void* handle = slots.create(Wide(path).c_str(), file.record.get(), 1000);
    if (handle == nullptr) {
      EXPECT_EQ(Count(log_, "kx_Traxel.dll: Create file[" + path + "] failed."), 1u) << "a refused create says so";
    } else {
      ++created_;
      const int written = writeFrames(slots, handle);
      slots.close(handle);
      ASSERT_TRUE(WaitForRelease(log_, 1)) << "the close never finished the file";
      if (written > 0 || created_ % 10 == 0) {
        const FileReport report = ReadMediaFile(path);
        EXPECT_TRUE(report.opened) << "a created file opens";
        for (const auto& stream : report.streams) EXPECT_EQ(stream.decodeErrors, 0) << "every packet decodes";
        checkFile(report);
        ++probed_;
      }
    }
    std::filesystem::remove(path);
#if KX_TEST_WATCHES_THE_HEAP
    const size_t largest = kx_test_take_largest_allocation();
    size_t bound = kBaselineAllocationBytes;
    const uint32_t width = file.U32(host::kWidth), height = file.U32(host::kHeight);
    if (file.HasVideo() && width <= 16384 && height <= 16384) {
      bound += size_t{48} * width * height;
    }
    EXPECT_LE(largest, bound) << "no allocation grows past what the declared picture implies";
#endif
  }

  // A write: 1 or 0, -1 only for a null frame; a refused frame is logged,
  // except a frame for a stream the file does not have (`streamAbsent`),
  // which the encoder drops without a word.
  void CheckWrite(int32_t result, bool nullFrame, bool streamAbsent, size_t recordsBefore, const std::string& what) {
    if (nullFrame) {
      EXPECT_EQ(result, -1) << what;
      return;
    }
    EXPECT_TRUE(result == 0 || result == 1) << what << " returned " << result;
    if (result == 0 && !streamAbsent) {
      EXPECT_GT(log_.Records().size(), recordsBefore) << what << " was refused without a log line";
    }
  }

  LogCapture log_{PluginLogSink()};
  TempDir dir_;
  int created_ = 0;
  int probed_ = 0;
};

TEST_F(RandomHostTest, RecordsAndFramesFromTheEdges) {
  Dice dice(kSeed);
  constexpr int kCases = 3000;
  for (int index = 0; index < kCases && !HasFatalFailure(); ++index) {
    HostFile file = DrawRecord(dice);
    Play(index, file, [&](const SingleStreamRow& slots, void* handle) {
      const uint32_t width = file.U32(host::kWidth), height = file.U32(host::kHeight);
      const uint32_t rate = file.U32(host::kSampleRate), channels = file.U32(host::kChannels);
      int written = 0;
      int64_t videoPts = 0, audioPts = 0;
      const int writes = static_cast<int>(dice.Below(7));
      for (int w = 0; w < writes; ++w) {
        const uint64_t kind = dice.Below(100);
        const size_t before = log_.Records().size();
        if (kind < 60 && slots.writeVideo != nullptr && uint64_t{width} * height <= kLargestWrittenPicture) {
          const auto W = static_cast<int32_t>(width), C = static_cast<int32_t>(width / 2);
          const int32_t luma = dice.Chance(60) ? W : dice.Pick<int32_t>({W + 1, 2 * W, W / 2, 1, 0, -W, -(W + 3)});
          const int32_t chroma = dice.Chance(60) ? C : dice.Pick<int32_t>({C + 1, W, C / 2, 0, -C, -(C + 5)});
          HostPicture picture(width, height, w, {luma, chroma, chroma});
          picture.record().Times(videoPts);
          const bool nullPlane = dice.Chance(5);
          if (nullPlane) picture.record().Set<const void*>(host::kPlanes + 8 * dice.Below(3), nullptr);
          const bool finish = dice.Chance(3);
          if (finish) picture.record().Set<int64_t>(host::kDuration, KX_FINISH_REQUEST_DURATION);
          const int32_t result = slots.writeVideo(handle, picture.frame(), 0);
          CheckWrite(result, false, !file.HasVideo(), before,
                     "video frame " + std::to_string(w) + " strides " + std::to_string(luma) + "/" +
                         std::to_string(chroma) + (nullPlane ? " null plane" : "") + (finish ? " finish" : ""));
          if (nullPlane) {
            EXPECT_EQ(result, 0) << "a picture without a plane is refused";
          }
          written += result == 1;
          videoPts += kFrameDuration;
        } else if (kind < 92) {
          const int32_t block = static_cast<int32_t>(std::min<uint64_t>(
              65536, uint64_t{rate % 400000} * (channels % 16) * 2 / 25));
          const int32_t nBytes = dice.Chance(60) ? block
                                                 : dice.Pick<int32_t>({0, 1, 3, 4095, 4096, 65535, -1,
                                                                       std::numeric_limits<int32_t>::min()});
          HostPcm sound(HostPcm::Bytes{nBytes}, channels, rate);
          sound.record().Times(audioPts);
          const int32_t result = slots.writeAudio(handle, sound.frame(), 0, 1);
          CheckWrite(result, false, !file.HasAudio(), before, "audio frame " + std::to_string(w) + " of " + std::to_string(nBytes) + " bytes");
          written += result == 1;
          audioPts += kFrameDuration;
        } else {
          const bool video = slots.writeVideo != nullptr && dice.Chance(50);
          const int32_t result = video ? slots.writeVideo(handle, nullptr, 0) : slots.writeAudio(handle, nullptr, 0, 1);
          CheckWrite(result, true, false, before, "null frame");
        }
      }
      return written;
    }, [](const FileReport&) {});
  }
  std::printf("%d cases, %d files created, %d read back\n", kCases, created_, probed_);
  EXPECT_GT(created_, kCases / 20) << "the draw creates files too";
}

// Sound files and clips with both streams whose time stamps jump: an hour
// ahead and back, backwards, repeated, at the ends of the 64-bit range,
// negative from the start. A frame the container cannot hold is refused; a
// frame that was accepted is in the file, and decodes.
TEST_F(RandomHostTest, TimeStampsFromTheEdges) {
  Dice dice(kSeed + 1);
  constexpr int kCases = 60;
  for (int index = 0; index < kCases && !HasFatalFailure(); ++index) {
    HostFile file;
    const Container& container = kContainers[dice.Below(3)];
    file.extension = container.extension;
    file.record.Container(container.fourcc).Audio(*container.audio.begin(), 48000, 2);
    if (container.video.size() > 0) file.record.Video(*container.video.begin(), 64, 48, 25.0);
    file.text << container.fourcc;
    int64_t videoAccepted = 0;
    std::string stamps;
    Play(index, file, [&](const SingleStreamRow& slots, void* handle) {
      int written = 0;
      int64_t next = dice.Chance(20) ? -5 * kFrameDuration : 0;
      int64_t audioPts = next;
      for (int w = 0; w < 12; ++w) {
        int64_t pts = next;
        if (dice.Chance(25)) {
          pts = dice.Pick<int64_t>({next - 2 * kFrameDuration, next - kFrameDuration, next + 36000000000,
                                    std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max() - 1,
                                    std::numeric_limits<int64_t>::min(), -kFrameDuration});
        } else {
          next += kFrameDuration;
        }
        stamps += " " + std::to_string(pts);
        const size_t before = log_.Records().size();
        if (slots.writeVideo != nullptr) {
          HostPicture picture(64, 48, w);
          picture.record().Times(pts);
          const int32_t result = slots.writeVideo(handle, picture.frame(), 0);
          CheckWrite(result, false, false, before, "video at " + std::to_string(pts));
          written += result == 1;
          videoAccepted += result == 1;
        }
        HostPcm sound(1920, 2, 48000, static_cast<uint64_t>(audioPts / 10000000 * 48000));
        sound.record().Times(audioPts);
        const int32_t result = slots.writeAudio(handle, sound.frame(), 0, 1);
        CheckWrite(result, false, false, before, "audio at " + std::to_string(audioPts));
        written += result == 1;
        audioPts += kFrameDuration;
      }
      return written;
    }, [&](const FileReport& report) {
      const StreamReport* video = report.Find(AVMEDIA_TYPE_VIDEO);
      if (container.video.size() == 0) return;
      ASSERT_NE(video, nullptr);
      EXPECT_EQ(video->decodedFrames, videoAccepted)
          << "every accepted picture is in the file, no other; video times" << stamps;
    });
  }
}

}  // namespace
}  // namespace kx::test
