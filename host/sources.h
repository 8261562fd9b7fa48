// What kx-host encodes: pictures (planar 4:2:0) and sound (interleaved
// 16-bit PCM) from a YUV4MPEG2 stream, a WAV file, or the built-in pattern
// and tone. Malformed input throws HostError naming the byte offset.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace kxhost {

struct Picture {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> planes;  // Y (width x height), then U and V (width/2 x height/2 each)
  const uint8_t* plane(int index) const;
  int32_t stride(int index) const { return static_cast<int32_t>(index == 0 ? width : width / 2); }
};

class VideoSource {
 public:
  virtual ~VideoSource() = default;
  uint32_t width = 0, height = 0;
  uint32_t rateNumerator = 25, rateDenominator = 1;
  int64_t expectedFrames = -1;  // -1: unknown (a pipe)
  // The next picture; false at the end of the input.
  virtual bool Next(Picture& picture) = 0;
};

class AudioSource {
 public:
  virtual ~AudioSource() = default;
  uint32_t sampleRate = 48000, channels = 2;
  int64_t expectedFrames = -1;  // PCM frames; -1: unknown
  // Up to `frames` PCM frames of 16-bit samples into `out`; 0 at the end.
  virtual size_t Read(int16_t* out, size_t frames) = 0;
};

// `path` "-" is standard input.
std::unique_ptr<VideoSource> OpenY4m(const std::string& path);
std::unique_ptr<AudioSource> OpenWav(const std::string& path);

// The size an ASF file's header declares for the file up to the end of its
// data object (the header and the data packets); 0 when `path` is no ASF
// file or its header does not say (a broadcast file, sizes left unset).
int64_t AsfDeclaredSize(const std::string& path);

// Reads `source` ahead on a thread of its own (up to `depth` pictures), so
// that reading the input overlaps the plug-in's encoding.
std::unique_ptr<VideoSource> ReadAhead(std::unique_ptr<VideoSource> source, size_t depth);

// The built-in moving pattern with a frame counter, and a tone.
std::unique_ptr<VideoSource> MakePattern(uint32_t width, uint32_t height, uint32_t rateNumerator,
                                         uint32_t rateDenominator, int64_t frames);
std::unique_ptr<AudioSource> MakeTone(uint32_t sampleRate, uint32_t channels, int64_t frames);

}  // namespace kxhost
