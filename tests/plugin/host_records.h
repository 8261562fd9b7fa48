// The records a host builds, by byte offset: an EncodeParams with its
// defaults and the video / audio sections a host fills, and MediaFrames
// over picture planes and PCM that the host owns. Every buffer is exactly as
// long as the frame record says, so a reader that strays past it is caught
// by AddressSanitizer.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <kx_traxel/kx_traxel.h>

#include "host_view.h"

namespace kxtest {

// Offsets of the EncodeParams fields hosts fill.
inline constexpr size_t kVideoFourCCOffset = 0, kWidthOffset = 4, kHeightOffset = 8, kFrameRateOffset = 16,
                        kVideoBitrateOffset = 28;
inline constexpr size_t kAudioFourCCOffset = 12400, kSampleRateOffset = 12404, kChannelsOffset = 12408,
                        kAudioBitrateOffset = 12412, kBitsPerSampleOffset = 12424;
inline constexpr size_t kVideoExtraOffset = 48, kAudioExtraOffset = 12448, kSubpictureExtraOffset = 26888;
inline constexpr size_t kExtraPointerOffset = 12336, kExtraSizeOffset = 12344;  // inside a StreamExtraBlock
inline constexpr size_t kNoVideoOffset = 39240, kNoAudioOffset = 39244, kNoSubpictureOffset = 39248,
                        kFileFourCCOffset = 39252, kXmpOffset = 70912;

// The record's defaults, written by offset into `bytes` (70944 bytes).
inline void WriteDefaultRecord(void* bytes) {
  std::memset(bytes, 0, sizeof(EncodeParams));
  for (auto [offset, value] : {std::pair<size_t, uint32_t>{24, 1}, {40, 8}, {kBitsPerSampleOffset, 8},
                               {kNoVideoOffset, 1}, {kNoAudioOffset, 1}, {kNoSubpictureOffset, 1}, {kXmpOffset, 3}}) {
    WriteU32(bytes, offset, value);
  }
}

inline std::unique_ptr<EncodeParams> DefaultRecord() {
  auto record = std::make_unique<EncodeParams>();
  WriteDefaultRecord(record.get());
  return record;
}

inline void SetVideo(void* record, uint32_t fourcc, uint32_t width, uint32_t height, double frameRate,
                     uint32_t bitrate = 400000) {
  WriteU32(record, kVideoFourCCOffset, fourcc);
  WriteU32(record, kWidthOffset, width);
  WriteU32(record, kHeightOffset, height);
  WriteDouble(record, kFrameRateOffset, frameRate);
  WriteU32(record, kVideoBitrateOffset, bitrate);
  WriteU32(record, kNoVideoOffset, 0);
}

inline void SetAudio(void* record, uint32_t fourcc, uint32_t sampleRate, uint32_t channels,
                     uint32_t bitsPerSample = 16, uint32_t bitrate = 128000) {
  WriteU32(record, kAudioFourCCOffset, fourcc);
  WriteU32(record, kSampleRateOffset, sampleRate);
  WriteU32(record, kChannelsOffset, channels);
  WriteU32(record, kAudioBitrateOffset, bitrate);
  WriteU32(record, kBitsPerSampleOffset, bitsPerSample);
  WriteU32(record, kNoAudioOffset, 0);
}

// A host's plane: `rows` rows of `width` bytes, `stride` bytes apart (any
// sign). The buffer holds exactly the bytes those rows cover; with a
// negative stride the rows go upwards in memory (a bottom-up picture) and the
// plane pointer names the last row of the buffer.
class HostPlane {
 public:
  HostPlane(uint32_t width, uint32_t rows, int32_t stride, uint8_t seed) {
    const uint64_t step = static_cast<uint64_t>(std::llabs(int64_t{stride}));
    const size_t bytes = rows == 0 ? 0 : static_cast<size_t>(step * (rows - 1) + width);
    memory_ = std::make_unique<uint8_t[]>(bytes > 0 ? bytes : 1);
    for (size_t i = 0; i < bytes; ++i) memory_[i] = static_cast<uint8_t>(seed + i * 7);
    first_ = memory_.get() + (stride < 0 && rows > 0 ? step * (rows - 1) : 0);
  }
  const uint8_t* first() const { return first_; }

 private:
  std::unique_ptr<uint8_t[]> memory_;
  const uint8_t* first_ = nullptr;
};

// One 4:2:0 picture (planes Y, U, V at strides `lumaStride` and
// `chromaStride`) and its frame record.
struct Picture {
  Picture(uint32_t width, uint32_t height, int64_t pts, int32_t lumaStride, int32_t chromaStride, uint8_t seed = 0)
      : y(width, height, lumaStride, seed), u(width / 2, height / 2, chromaStride, 100),
        v(width / 2, height / 2, chromaStride, 160) {
    std::memset(&frame, 0, sizeof frame);
    WritePointer(&frame, 24, y.first());
    WritePointer(&frame, 32, u.first());
    WritePointer(&frame, 40, v.first());
    WriteU32(&frame, 64, static_cast<uint32_t>(lumaStride));
    WriteU32(&frame, 68, static_cast<uint32_t>(chromaStride));
    WriteU32(&frame, 72, static_cast<uint32_t>(chromaStride));
    WriteU64(&frame, 104, static_cast<uint64_t>(pts));
  }
  // Tightly packed rows.
  Picture(uint32_t width, uint32_t height, int64_t pts, uint8_t seed = 0)
      : Picture(width, height, pts, static_cast<int32_t>(width), static_cast<int32_t>(width / 2), seed) {}
  HostPlane y, u, v;
  MediaFrame frame;
};

// `nBytes` bytes of a 440 Hz tone in 16-bit PCM of `channels` channels, and
// their frame record; the buffer is exactly `nBytes` long (none for 0 or less).
struct Sound {
  Sound(int32_t nBytes, int64_t pts, uint32_t sampleRate = 48000, uint32_t channels = 2, int64_t firstSample = 0)
      : pcm(nBytes > 0 ? std::make_unique<uint8_t[]>(static_cast<size_t>(nBytes)) : nullptr) {
    for (int32_t i = 0; i + 1 < nBytes; i += 2) {
      const int64_t sample = firstSample + i / 2 / static_cast<int64_t>(channels == 0 ? 1 : channels);
      const double t = static_cast<double>(sample) / (sampleRate == 0 ? 48000.0 : sampleRate);
      const auto value = static_cast<int16_t>(8000 * std::sin(2 * 3.14159265358979 * 440 * t));
      std::memcpy(&pcm[static_cast<size_t>(i)], &value, 2);
    }
    std::memset(&frame, 0, sizeof frame);
    WritePointer(&frame, 24, pcm.get());
    WriteU32(&frame, 32, static_cast<uint32_t>(nBytes));
    WriteU64(&frame, 104, static_cast<uint64_t>(pts));
  }
  std::unique_ptr<uint8_t[]> pcm;
  MediaFrame frame;
};

}  // namespace kxtest
