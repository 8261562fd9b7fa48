// A host program: loads the plug-in by path, writes one small file through
// the discovery tables (records filled by byte offset) and returns from main
// right after closing it, without waiting for anything. The library must
// still leave a complete file behind.
//
// kx_host_writer <plug-in> <single|multi> <container FourCC> <output path>
//                [video=<FourCC>:<width>x<height>]... [audio=<FourCC>] [frames=<n>]
//                [nothread]
//
// single: one EncodeParams through the GetFileFormats row.
// multi:  one record per video= / audio= through the GetFileMultiStreamFormats
//         row; video records get output indexes 0, 1, ..., the audio record 10.
//         Frames go to the last video record's index, sized as that record.
// nothread: the thread start of the close fails (single mode), as when the
//         system cannot start another thread.
// Exit status 0 when every call succeeded.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host_slots.h"

extern "C" void kx_test_fail_next_thread_start(void);

namespace {

using namespace kxtest;

struct VideoSpec {
  std::string fourcc;
  uint32_t width = 0, height = 0;
};

constexpr double kFrameRate = 25.0;
constexpr uint32_t kSampleRate = 48000;
constexpr uint32_t kChannels = 2;
constexpr int64_t kFrameDuration100ns = 400000;
constexpr uint32_t kSamplesPerFrame = kSampleRate / 25;

std::unique_ptr<EncodeParams> DefaultRecord() {
  auto record = std::make_unique<EncodeParams>();
  auto* bytes = reinterpret_cast<uint8_t*>(record.get());
  std::memset(bytes, 0, sizeof(EncodeParams));
  for (auto [offset, value] : {std::pair<size_t, uint32_t>{24, 1}, {40, 8}, {12424, 8}, {39240, 1}, {39244, 1},
                               {39248, 1}, {70912, 3}}) {
    WriteU32(bytes, offset, value);
  }
  // Bytes 8..23 of the XMP record belong to the create, which replaces them
  // with its own value and time scale: the host's are junk here.
  std::memset(bytes + 70912 + 8, 0xEE, 16);
  return record;
}

void SetVideo(EncodeParams* record, const VideoSpec& video) {
  WriteU32(record, 0, FourCC(video.fourcc.c_str()));
  WriteU32(record, 4, video.width);
  WriteU32(record, 8, video.height);
  WriteDouble(record, 16, kFrameRate);
  WriteU32(record, 28, 400000);
  WriteU32(record, 39240, 0);
}

void SetAudio(EncodeParams* record, const std::string& fourcc) {
  WriteU32(record, 12400, FourCC(fourcc.c_str()));
  WriteU32(record, 12404, kSampleRate);
  WriteU32(record, 12408, kChannels);
  WriteU32(record, 12412, 128000);
  WriteU32(record, 12424, 16);
  WriteU32(record, 39244, 0);
}

// One 4:2:0 picture and its frame record (planes Y, U, V).
struct Picture {
  Picture(uint32_t width, uint32_t height, int index)
      : y(width * height), u(width / 2 * (height / 2)), v(width / 2 * (height / 2)) {
    for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<uint8_t>((i % width) * 2 + index * 8);
    std::memset(u.data(), 100, u.size());
    std::memset(v.data(), 160, v.size());
    std::memset(&frame, 0, sizeof frame);
    WritePointer(&frame, 24, y.data());
    WritePointer(&frame, 32, u.data());
    WritePointer(&frame, 40, v.data());
    WriteU32(&frame, 64, width);
    WriteU32(&frame, 68, width / 2);
    WriteU32(&frame, 72, width / 2);
    WriteU64(&frame, 104, static_cast<uint64_t>(index * kFrameDuration100ns));
    WriteU64(&frame, 120, static_cast<uint64_t>(kFrameDuration100ns));
  }
  std::vector<uint8_t> y, u, v;
  MediaFrame frame;
};

// 40 ms of 16-bit stereo PCM and its frame record.
struct Sound {
  explicit Sound(int index) : pcm(kSamplesPerFrame * kChannels) {
    for (uint32_t i = 0; i < kSamplesPerFrame; ++i) {
      const double t = (index * kSamplesPerFrame + i) / static_cast<double>(kSampleRate);
      const auto sample = static_cast<int16_t>(8000 * std::sin(2 * 3.14159265358979 * 440 * t));
      pcm[2 * i] = pcm[2 * i + 1] = sample;
    }
    std::memset(&frame, 0, sizeof frame);
    WritePointer(&frame, 24, pcm.data());
    WriteU32(&frame, 32, static_cast<uint32_t>(pcm.size() * sizeof(int16_t)));
    WriteU64(&frame, 104, static_cast<uint64_t>(index * kFrameDuration100ns));
  }
  std::vector<int16_t> pcm;
  MediaFrame frame;
};

int Fail(const std::string& what) {
  std::fprintf(stderr, "kx_host_writer: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return Fail("usage: kx_host_writer <plug-in> <single|multi> <FourCC> <output> [options]");
  setenv("KX_TRAXEL_LIBRARY", argv[1], 1);
  if (!Plugin().loaded()) return Fail("cannot load the plug-in: " + Plugin().error());
  const std::string mode = argv[2];
  const std::string container = argv[3];
  const auto path = Wide(argv[4]);
  std::vector<VideoSpec> videos;
  std::string audio;
  int frames = 10;
  bool noThread = false;
  for (int i = 5; i < argc; ++i) {
    const std::string arg = argv[i];
    VideoSpec video;
    char fourcc[5] = {};
    if (std::sscanf(arg.c_str(), "video=%4s:%ux%u", fourcc, &video.width, &video.height) == 3) {
      video.fourcc = fourcc;
      videos.push_back(video);
    } else if (arg.rfind("audio=", 0) == 0) {
      audio = arg.substr(6);
    } else if (arg == "nothread") {
      noThread = true;
    } else if (arg.rfind("frames=", 0) == 0) {
      frames = std::atoi(arg.c_str() + 7);
    } else {
      return Fail("unknown option " + arg);
    }
  }

  if (mode == "single") {
    const uint8_t* row = FindRow(FileFormatTableOfPlugin(), 480, container.c_str());
    if (row == nullptr) return Fail("no file-format row " + container);
    const SingleStreamRow slots = SingleStreamSlots(row);
    auto record = DefaultRecord();
    WriteU32(record.get(), 39252, FourCC(container.c_str()));
    if (!videos.empty()) SetVideo(record.get(), videos.back());
    if (!audio.empty()) SetAudio(record.get(), audio);
    void* file = slots.create(path.c_str(), record.get(), static_cast<uint64_t>(frames * kFrameDuration100ns));
    if (file == nullptr) return Fail("create failed");
    for (int i = 0; i < frames; ++i) {
      if (!videos.empty()) {
        Picture picture(videos.back().width, videos.back().height, i);
        if (slots.writeVideo(file, &picture.frame, 0) != 1) return Fail("video frame " + std::to_string(i));
      }
      if (!audio.empty()) {
        Sound sound(i);
        if (slots.writeAudio(file, &sound.frame, 0, 1) != 1) return Fail("audio frame " + std::to_string(i));
      }
    }
    if (noThread) kx_test_fail_next_thread_start();
    slots.close(file);
    return 0;
  }

  if (mode == "multi") {
    const uint8_t* row = FindRow(MultiStreamTableOfPlugin(), 488, container.c_str());
    if (row == nullptr) return Fail("no multi-stream row " + container);
    const MultiStreamRow slots = MultiStreamSlots(row);
    void* file = slots.create();
    if (file == nullptr) return Fail("create failed");
    uint32_t videoIndex = 0;
    for (uint32_t i = 0; i < videos.size(); ++i) {
      auto record = DefaultRecord();
      SetVideo(record.get(), videos[i]);
      slots.addStream(file, KX_STREAMTYPE_VIDEO, 1, i, i, record.get());
      videoIndex = i;
    }
    constexpr uint32_t kAudioIndex = 10;
    if (!audio.empty()) {
      auto record = DefaultRecord();
      SetAudio(record.get(), audio);
      slots.addStream(file, KX_STREAMTYPE_AUDIO, 1, kAudioIndex, kAudioIndex, record.get());
    }
    if (slots.init(file, FourCC(container.c_str()), path.c_str(),
                   static_cast<uint64_t>(frames * kFrameDuration100ns)) != 1) {
      slots.close(file);
      return Fail("init failed");
    }
    for (int i = 0; i < frames; ++i) {
      if (!videos.empty()) {
        Picture picture(videos.back().width, videos.back().height, i);
        if (slots.writeFrame(file, videoIndex, &picture.frame, 0) != 1) return Fail("video frame " + std::to_string(i));
      }
      if (!audio.empty()) {
        Sound sound(i);
        if (slots.writeFrame(file, kAudioIndex, &sound.frame, 0) != 1) return Fail("audio frame " + std::to_string(i));
      }
    }
    slots.close(file);
    return 0;
  }
  return Fail("unknown mode " + mode);
}
