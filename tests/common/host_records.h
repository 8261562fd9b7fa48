// The host's records as a host builds them: EncodeParams and MediaFrame
// filled by byte offset (each offset named once, here, apart from the
// header's structs), in heap blocks of exactly the record's size, with
// pictures whose planes may have padded or negative strides and PCM that
// ends where its byte count says. AddressSanitizer then reports any read
// past what a host hands over.
#pragma once

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <kx_traxel/kx_traxel.h>

namespace kx::test {

inline uint32_t ReadU32(const void* base, size_t offset) {
  uint32_t value;
  std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
  return value;
}
inline const void* ReadPointer(const void* base, size_t offset) {
  const void* value;
  std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
  return value;
}
template <typename T>
void WriteAt(void* base, size_t offset, T value) {
  std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}
inline bool BytesAreZero(const void* base, size_t offset, size_t count) {
  const auto* bytes = static_cast<const uint8_t*>(base) + offset;
  for (size_t i = 0; i < count; ++i) if (bytes[i] != 0) return false;
  return true;
}

inline uint32_t FourCC(const char* text) {
  return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) | static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

inline std::string FourCCText(uint32_t fourcc) {
  std::string text;
  for (int i = 0; i < 4; ++i) text += static_cast<char>((fourcc >> (8 * i)) & 0xFF);
  return text;
}

// An ASCII text as the host's UTF-16.
inline std::basic_string<kx_wchar> Wide(const std::string& ascii) {
  return std::basic_string<kx_wchar>(ascii.begin(), ascii.end());
}

// The NUL-terminated text of a fixed wide field of `units` code units (non-
// ASCII as '?'); `tailZero`: a terminator exists and every unit after it is 0.
inline std::string WideField(const void* base, size_t offset, size_t units, bool* tailZero = nullptr) {
  std::string text;
  size_t i = 0;
  uint16_t unit = 0;
  for (; i < units && (std::memcpy(&unit, static_cast<const uint8_t*>(base) + offset + 2 * i, 2), unit != 0); ++i) {
    text += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  if (tailZero != nullptr) *tailZero = i < units && BytesAreZero(base, offset + 2 * i, 2 * (units - i));
  return text;
}

// An extra-data block as a caller of the direct muxer hands it over: `bytes`
// bytes whose last 8 hold `pointer` (fewer than 8: zeros).
inline std::vector<uint8_t> PointerBlock(const void* pointer, size_t bytes = 10) {
  std::vector<uint8_t> block(bytes, 0);
  if (bytes >= sizeof pointer) std::memcpy(block.data() + bytes - sizeof pointer, &pointer, sizeof pointer);
  return block;
}

// Byte offsets of the host interface.
namespace host {
// EncodeParams: 70944 bytes.
constexpr size_t kEncodeParamsBytes = 70944;
constexpr size_t kVideoFourCC = 0, kWidth = 4, kHeight = 8, kFrameRate = 16, kVideoHostValue24 = 24;
constexpr size_t kVideoBitrate = 28, kVideoHostValue40 = 40, kVideoExtra = 48;
constexpr size_t kAudioFourCC = 12400, kSampleRate = 12404, kChannels = 12408, kAudioBitrate = 12412;
constexpr size_t kBitsPerSample = 12424, kAudioLanguage = 12428, kAudioExtra = 12448;
constexpr size_t kSubpictureFourCC = 24800, kSubpictureLanguage = 24816, kSubpictureExtra = 26888;
constexpr size_t kExtraPointer = 12336, kExtraSize = 12344;  // within each stream's extra block
constexpr size_t kNoVideo = 39240, kNoAudio = 39244, kNoSubpicture = 39248, kFileFourCC = 39252;
constexpr size_t kOpaqueBlock = 39256, kOpaqueBytes = 31656;
constexpr size_t kXmpOptions = 70912;
// MediaFrame: 128 bytes.
constexpr size_t kMediaFrameBytes = 128;
constexpr size_t kPacket = 16, kPlanes = 24, kPacketBytes = 24, kStrides = 64;  // video
constexpr size_t kPcm = 24, kPcmBytes = 32;                                       // audio
constexpr size_t kPts = 104, kDuration = 120;
// The discovery tables: row sizes, and the entry-point slots of each row.
constexpr size_t kEncoderRowBytes = 480, kFileFormatRowBytes = 480, kMultiStreamRowBytes = 488;
constexpr size_t kCreateSlot = 424, kWriteAudioSlot = 432, kWriteVideoSlot = 440, kCloseSlot = 448;
constexpr size_t kMultiCreateSlot = 432;  // then AddStreamInfo, Init, WriteFrame, Close, WriteExtraData, 8 apart
}  // namespace host

// A heap block of exactly `bytes` bytes, zeroed.
class ExactBlock {
 public:
  explicit ExactBlock(size_t bytes) : bytes_(new uint8_t[bytes == 0 ? 1 : bytes]()), size_(bytes) {}
  // A copy of `bytes` bytes at `from`.
  ExactBlock(const void* from, size_t bytes) : ExactBlock(bytes) { bytes > 0 ? void(std::memcpy(data(), from, bytes)) : void(); }
  uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_;
};

// An EncodeParams record: the host's defaults first, then fields by offset.
class HostRecord {
 public:
  HostRecord() : block_(host::kEncodeParamsBytes) {
    U32(host::kVideoHostValue24, 1).U32(host::kVideoHostValue40, 8).U32(host::kBitsPerSample, 8);
    U32(host::kNoVideo, 1).U32(host::kNoAudio, 1).U32(host::kNoSubpicture, 1).U32(host::kXmpOptions, 3);
  }
  uint8_t* bytes() const { return block_.data(); }
  EncodeParams* get() const { return reinterpret_cast<EncodeParams*>(block_.data()); }

  HostRecord& U32(size_t offset, uint32_t value) { return WriteAt(bytes(), offset, value), *this; }
  HostRecord& Fill(size_t offset, size_t count, uint8_t byte) { return std::memset(bytes() + offset, byte, count), *this; }
  // A wide field of up to 10 units, from ASCII.
  HostRecord& Language(size_t offset, const char* text) {
    for (size_t i = 0; text[i] != 0 && i < 10; ++i) WriteAt(bytes(), offset + 2 * i, uint16_t{static_cast<uint8_t>(text[i])});
    return *this;
  }
  HostRecord& Container(const char* fourcc) { return U32(host::kFileFourCC, FourCC(fourcc)); }
  HostRecord& Video(const char* fourcc, uint32_t width, uint32_t height, double rate, uint32_t bitrate = 500000) {
    WriteAt(bytes(), host::kFrameRate, rate);
    return U32(host::kVideoFourCC, FourCC(fourcc)).U32(host::kWidth, width).U32(host::kHeight, height)
        .U32(host::kVideoBitrate, bitrate).U32(host::kNoVideo, 0);
  }
  HostRecord& Audio(const char* fourcc, uint32_t sampleRate, uint32_t channels, uint32_t bitrate = 128000,
                    uint32_t bitsPerSample = 16) {
    return U32(host::kAudioFourCC, FourCC(fourcc)).U32(host::kSampleRate, sampleRate).U32(host::kChannels, channels)
        .U32(host::kAudioBitrate, bitrate).U32(host::kBitsPerSample, bitsPerSample).U32(host::kNoAudio, 0);
  }
  uint32_t Read(size_t offset) const { return ReadU32(bytes(), offset); }
  // Extra data of the stream whose extra block starts at `extraBlock`.
  HostRecord& Extra(size_t extraBlock, const void* data, uint32_t size) {
    return WriteAt(bytes(), extraBlock + host::kExtraPointer, data), U32(extraBlock + host::kExtraSize, size);
  }

 private:
  ExactBlock block_;
};

// A MediaFrame record of exactly 128 bytes.
class HostFrame {
 public:
  HostFrame() : block_(host::kMediaFrameBytes) {}
  const MediaFrame* get() const { return reinterpret_cast<const MediaFrame*>(block_.data()); }
  HostFrame& Times(int64_t pts100ns, int64_t duration100ns = 0) {
    return Set(host::kPts, pts100ns).Set(host::kDuration, duration100ns);
  }
  template <typename T>
  HostFrame& Set(size_t offset, T value) { return WriteAt(block_.data(), offset, value), *this; }

 private:
  ExactBlock block_;
};

// A 4:2:0 picture of planes Y, U, V (chroma width/2 x height/2, as the
// sink writer reads them). Each plane is its own heap block of exactly
// |stride| * (rows - 1) + row width bytes; the bytes between rows are 0xEE
// and must never reach a sample. A negative stride makes the plane
// bottom-up: its pointer is the last block row, and rows go backwards.
// Luma is a ramp that differs per picture index; chroma is constant.
class HostPicture {
 public:
  // kPacked: tightly packed rows; any other stride (0 too) is the host's.
  static constexpr int32_t kPacked = INT32_MIN;
  HostPicture(uint32_t width, uint32_t height, int index = 0,
              const int32_t (&strides)[3] = {kPacked, kPacked, kPacked}, uint8_t u = 100, uint8_t v = 160) {
    const uint32_t widths[3] = {width, width / 2, width / 2};
    const uint32_t rows[3] = {height, height / 2, height / 2};
    for (int p = 0; p < 3; ++p) {
      const int32_t stride = strides[p] != kPacked ? strides[p] : static_cast<int32_t>(widths[p]);
      const size_t step = static_cast<size_t>(stride < 0 ? -int64_t{stride} : stride);
      const size_t bytes = rows[p] == 0 ? 0 : step * (rows[p] - 1) + widths[p];
      planes_.emplace_back(bytes);
      std::memset(planes_[p].data(), 0xEE, bytes);
      for (uint32_t r = 0; r < rows[p]; ++r) {
        // Row r as the reader walks it from the plane pointer.
        const size_t at = stride < 0 ? step * (rows[p] - 1 - r) : step * r;
        for (uint32_t x = 0; x < widths[p]; ++x) {
          const uint8_t value =
              p == 0 ? static_cast<uint8_t>(16 + (x * 2 + r + static_cast<uint32_t>(index) * 8) % 200) : (p == 1 ? u : v);
          if (at + x < bytes) planes_[p].data()[at + x] = value;  // rows of a 0 stride overlap
          packed_[p].push_back(value);
        }
      }
      const uint8_t* pointer = planes_[p].data() + (stride < 0 && rows[p] > 0 ? step * (rows[p] - 1) : 0);
      frame_.Set(host::kPlanes + 8 * static_cast<size_t>(p), pointer).Set(host::kStrides + 4 * static_cast<size_t>(p), stride);
    }
  }
  const MediaFrame* frame() const { return frame_.get(); }
  HostFrame& record() { return frame_; }
  // Plane p (0 Y, 1 U, 2 V) as tightly packed rows, in reading order.
  const std::vector<uint8_t>& packed(int p) const { return packed_[p]; }

 private:
  std::vector<ExactBlock> planes_;
  std::vector<uint8_t> packed_[3];
  HostFrame frame_;
};

// Interleaved 16-bit PCM: a 440 Hz sine at a quarter of full scale, sample
// frames [first, first + count) of a stream at `sampleRate`, in a heap block
// of exactly its byte count.
class HostPcm {
 public:
  // A block of `bytes` bytes (none for 0 or less), whatever the frame size.
  struct Bytes { int32_t count; };
  HostPcm(Bytes bytes, uint32_t channels, uint32_t sampleRate, uint64_t first = 0)
      : block_(bytes.count > 0 ? static_cast<size_t>(bytes.count) : 0) {
    const uint64_t frameBytes = 2 * uint64_t{channels == 0 ? 1 : channels};
    Fill(static_cast<uint32_t>(block_.size() / frameBytes), channels, sampleRate == 0 ? 48000 : sampleRate, first);
    frame_.Set(host::kPcm, static_cast<const uint8_t*>(bytes.count > 0 ? block_.data() : nullptr))
        .Set(host::kPcmBytes, bytes.count);
  }
  // `count` whole frames.
  HostPcm(uint32_t count, uint32_t channels, uint32_t sampleRate, uint64_t first = 0)
      : HostPcm(Bytes{static_cast<int32_t>(count * channels * 2)}, channels, sampleRate, first) {}
  const MediaFrame* frame() const { return frame_.get(); }
  HostFrame& record() { return frame_; }
  const uint8_t* bytes() const { return block_.data(); }
  size_t size() const { return block_.size(); }

 private:
  void Fill(uint32_t count, uint32_t channels, uint32_t sampleRate, uint64_t first) {
    for (uint32_t i = 0; i < count; ++i) {
      const double t = static_cast<double>(first + i) / sampleRate;
      const auto sample = static_cast<int16_t>(8192 * std::sin(2 * 3.14159265358979 * 440 * t));
      for (uint32_t c = 0; c < channels; ++c) WriteAt(block_.data(), (size_t{i} * channels + c) * 2, sample);
    }
  }
  ExactBlock block_;
  HostFrame frame_;
};

}  // namespace kx::test
