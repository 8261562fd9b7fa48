#include "sources.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "error.h"
#include "os.h"

namespace kxhost {

const uint8_t* Picture::plane(int index) const {
  const size_t luma = size_t{width} * height;
  const size_t chroma = size_t{width / 2} * (height / 2);
  return planes.data() + (index == 0 ? 0 : luma + chroma * static_cast<size_t>(index - 1));
}

namespace {

// A file or standard input, read in order, counting the bytes read so far.
class Input {
 public:
  Input(const std::string& path, const char* what) : name_(path == "-" ? "standard input" : path), what_(what) {
    if (path == "-") {
      file_ = stdin;
      SetBinaryMode(stdin);
    } else {
      file_ = OpenFile(path, "rb");
      if (file_ == nullptr) {
        throw HostError(kExitInputUnreadable, std::string("cannot open the ") + what + " input " + path + ": " +
                                                  std::strerror(errno));
      }
      owned_ = true;
      size_ = FileSize(path);
    }
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
  }
  ~Input() {
    if (owned_) std::fclose(file_);
  }
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // Up to `count` bytes; fewer only at the end of the input.
  size_t Read(void* out, size_t count) {
    const size_t got = std::fread(out, 1, count, file_);
    offset_ += got;
    if (got < count && std::ferror(file_)) {
      StopIfInterrupted();
      throw HostError(kExitInputUnreadable, "cannot read " + name_ + " at byte offset " + std::to_string(offset_));
    }
    return got;
  }
  // A line up to '\n' (not kept), at most `limit` bytes; false at the end of
  // the input before any byte.
  bool Line(std::string& line, size_t limit, const char* what) {
    line.clear();
    const uint64_t start = offset_;
    for (;;) {
      const int c = std::fgetc(file_);
      if (c == EOF) {
        if (std::ferror(file_)) StopIfInterrupted(), Malformed("read error", offset_);
        if (line.empty()) return false;
        Malformed(std::string("truncated ") + what, start);
      }
      ++offset_;
      if (c == '\n') return true;
      line += static_cast<char>(c);
      if (line.size() > limit) Malformed(std::string(what) + " longer than " + std::to_string(limit) + " bytes", start);
    }
  }
  // A read ended by a signal (or by ReadAhead's stop) is no input error.
  static void StopIfInterrupted() {
    if (Interrupted()) throw HostError(kExitInterrupted, "interrupted");
  }
  [[noreturn]] void Malformed(const std::string& what, uint64_t offset) const {
    throw HostError(kExitInputMalformed,
                    name_ + ": malformed " + what_ + " input: " + what + " at byte offset " + std::to_string(offset));
  }
  uint64_t offset() const { return offset_; }
  int64_t size() const { return size_; }  // -1 for a pipe

 private:
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  std::string name_;
  const char* what_;
  uint64_t offset_ = 0;
  int64_t size_ = -1;
};

bool ParseUnsigned(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return true;
}

class Y4mSource : public VideoSource {
 public:
  explicit Y4mSource(const std::string& path) : input_(path, "YUV4MPEG2") {
    std::string header;
    if (!input_.Line(header, 4096, "stream header")) input_.Malformed("empty input, no stream header", 0);
    if (header.rfind("YUV4MPEG2", 0) != 0) input_.Malformed("no YUV4MPEG2 signature", 0);
    size_t position = 9;
    while (position < header.size()) {
      const size_t end = std::min(header.find(' ', position + 1), header.size());
      const std::string token = header.substr(position + 1, end - position - 1);
      const uint64_t tokenOffset = position + 1;
      position = end;
      if (token.empty()) continue;
      const std::string value = token.substr(1);
      switch (token[0]) {
        case 'W':
          if (!ParseUnsigned(value, width)) input_.Malformed("bad width '" + token + "'", tokenOffset);
          break;
        case 'H':
          if (!ParseUnsigned(value, height)) input_.Malformed("bad height '" + token + "'", tokenOffset);
          break;
        case 'F': {
          const size_t colon = value.find(':');
          if (colon == std::string::npos || !ParseUnsigned(value.substr(0, colon), rateNumerator) ||
              !ParseUnsigned(value.substr(colon + 1), rateDenominator) || rateNumerator == 0 || rateDenominator == 0) {
            input_.Malformed("bad frame rate '" + token + "'", tokenOffset);
          }
          break;
        }
        case 'C':
          if (value.rfind("420", 0) != 0 || (value.size() > 3 && value != "420jpeg" && value != "420paldv" &&
                                             value != "420mpeg2")) {
            input_.Malformed("colour space '" + value + "' is not 8-bit 4:2:0", tokenOffset);
          }
          break;
        case 'I':
          if (value != "p" && value != "?") input_.Malformed("interlaced input ('" + token + "')", tokenOffset);
          break;
        default:  // aspect ratio, comments and extensions
          break;
      }
    }
    if (width == 0 || height == 0) input_.Malformed("no picture size in the stream header", 0);
    if (width % 2 != 0 || height % 2 != 0 || width > 16384 || height > 16384) {
      input_.Malformed("picture size " + std::to_string(width) + "x" + std::to_string(height) +
                           " (4:2:0 needs even sizes up to 16384)", 0);
    }
    frameBytes_ = size_t{width} * height + 2 * (size_t{width / 2} * (height / 2));
    if (input_.size() > 0) {
      expectedFrames = static_cast<int64_t>((static_cast<uint64_t>(input_.size()) - input_.offset()) / (frameBytes_ + 6));
    }
  }

  bool Next(Picture& picture) override {
    std::string line;
    const uint64_t start = input_.offset();
    if (!input_.Line(line, 1024, "frame header")) return false;
    if (line.rfind("FRAME", 0) != 0) input_.Malformed("no FRAME marker of frame " + std::to_string(frame_), start);
    picture.width = width;
    picture.height = height;
    picture.planes.resize(frameBytes_);
    const uint64_t dataStart = input_.offset();
    const size_t got = input_.Read(picture.planes.data(), frameBytes_);
    if (got != frameBytes_) {
      input_.Malformed("truncated frame " + std::to_string(frame_) + " (" + std::to_string(got) + " of " +
                           std::to_string(frameBytes_) + " bytes)", dataStart);
    }
    ++frame_;
    return true;
  }

 private:
  Input input_;
  size_t frameBytes_ = 0;
  int64_t frame_ = 0;
};

uint32_t U32At(const uint8_t* bytes) { return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t{bytes[3]} << 24; }
uint16_t U16At(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

class WavSource : public AudioSource {
 public:
  explicit WavSource(const std::string& path) : input_(path, "WAV") {
    uint8_t riff[12];
    if (input_.Read(riff, 12) != 12 || std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
      input_.Malformed("no RIFF/WAVE signature", 0);
    }
    bool haveFormat = false;
    for (;;) {
      uint8_t chunk[8];
      const uint64_t chunkOffset = input_.offset();
      if (input_.Read(chunk, 8) != 8) input_.Malformed(haveFormat ? "no data chunk" : "no fmt chunk", chunkOffset);
      const uint32_t size = U32At(chunk + 4);
      if (std::memcmp(chunk, "fmt ", 4) == 0) {
        if (size < 16 || size > 4096) input_.Malformed("fmt chunk of " + std::to_string(size) + " bytes", chunkOffset);
        std::vector<uint8_t> format(size + (size & 1));
        if (input_.Read(format.data(), format.size()) != format.size()) input_.Malformed("truncated fmt chunk", chunkOffset);
        ReadFormat(format, chunkOffset + 8);
        haveFormat = true;
      } else if (std::memcmp(chunk, "data", 4) == 0) {
        if (!haveFormat) input_.Malformed("data chunk before the fmt chunk", chunkOffset);
        // 0xFFFFFFFF: written to a pipe, the length was not known. Else
        // exactly that many bytes: the chunks after it are no sound.
        if (size < blockAlign_) input_.Malformed("no sound: the data chunk is empty", chunkOffset);
        dataLeft_ = size == 0xFFFFFFFFu ? UINT64_MAX : size - size % blockAlign_;
        dataStart_ = input_.offset();
        if (dataLeft_ != UINT64_MAX) {
          expectedFrames = static_cast<int64_t>(dataLeft_ / blockAlign_);
        } else if (input_.size() > 0) {
          expectedFrames = static_cast<int64_t>((static_cast<uint64_t>(input_.size()) - dataStart_) / blockAlign_);
        }
        return;
      } else {
        std::vector<uint8_t> skipped(65536);
        for (uint64_t left = uint64_t{size} + (size & 1); left > 0;) {
          const size_t step = static_cast<size_t>(std::min<uint64_t>(left, skipped.size()));
          if (input_.Read(skipped.data(), step) != step) input_.Malformed("truncated chunk", chunkOffset);
          left -= step;
        }
      }
    }
  }

  size_t Read(int16_t* out, size_t frames) override {
    const uint64_t wanted = std::min<uint64_t>(uint64_t{frames} * blockAlign_, dataLeft_);
    raw_.resize(static_cast<size_t>(wanted));
    const size_t got = input_.Read(raw_.data(), raw_.size());
    if (dataLeft_ != UINT64_MAX) dataLeft_ -= got;
    if (got % blockAlign_ != 0 || (got < wanted && dataLeft_ != UINT64_MAX)) {
      input_.Malformed("truncated data chunk (" + std::to_string(input_.offset() - dataStart_) + " bytes of sound)",
                       input_.offset());
    }
    const size_t samples = got / bytesPerSample_;
    for (size_t i = 0; i < samples; ++i) out[i] = Sample(raw_.data() + i * bytesPerSample_);
    return got / blockAlign_;
  }

 private:
  void ReadFormat(const std::vector<uint8_t>& format, uint64_t at) {
    uint16_t tag = U16At(format.data());
    const uint16_t count = U16At(format.data() + 2);
    const uint32_t rate = U32At(format.data() + 4);
    blockAlign_ = U16At(format.data() + 12);
    const uint16_t bits = U16At(format.data() + 14);
    if (tag == 0xFFFE) {  // WAVE_FORMAT_EXTENSIBLE: the sub-format's first two bytes
      if (format.size() < 40) input_.Malformed("short extensible fmt chunk", at);
      tag = U16At(format.data() + 24);
    }
    if (tag != 1 && tag != 3) input_.Malformed("format tag " + std::to_string(tag) + " is not PCM or float", at);
    if (count == 0) input_.Malformed("zero channels in the fmt chunk", at + 2);
    if (count > 64) input_.Malformed(std::to_string(count) + " channels in the fmt chunk (at most 64)", at + 2);
    if (rate == 0 || rate > 768000) input_.Malformed("sample rate " + std::to_string(rate) + " in the fmt chunk", at + 4);
    const bool known = tag == 1 ? (bits == 8 || bits == 16 || bits == 24 || bits == 32) : (bits == 32 || bits == 64);
    if (!known) input_.Malformed(std::to_string(bits) + "-bit " + (tag == 1 ? "PCM" : "float") + " samples", at + 14);
    if (blockAlign_ != count * (bits / 8)) input_.Malformed("block align " + std::to_string(blockAlign_), at + 12);
    isFloat_ = tag == 3;
    bytesPerSample_ = bits / 8;
    channels = count;
    sampleRate = rate;
  }

  int16_t Sample(const uint8_t* bytes) const {
    if (isFloat_) {
      double value;
      if (bytesPerSample_ == 4) {
        float single;
        std::memcpy(&single, bytes, 4);
        value = single;
      } else {
        std::memcpy(&value, bytes, 8);
      }
      if (!(value == value)) value = 0;  // NaN
      return static_cast<int16_t>(std::lround(std::clamp(value, -1.0, 1.0) * 32767.0));
    }
    switch (bytesPerSample_) {
      case 1: return static_cast<int16_t>((bytes[0] - 128) * 256);
      case 2: return static_cast<int16_t>(U16At(bytes));
      default: return static_cast<int16_t>(U16At(bytes + bytesPerSample_ - 2));  // the top 16 bits
    }
  }

  Input input_;
  uint32_t blockAlign_ = 1;
  uint32_t bytesPerSample_ = 2;
  bool isFloat_ = false;
  uint64_t dataLeft_ = 0;
  uint64_t dataStart_ = 0;
  std::vector<uint8_t> raw_;
};

// 3x5 digits, one row per 3 bits.
constexpr uint16_t kDigits[10] = {075557, 026222, 071747, 071717, 055711, 074717, 074757, 071111, 075757, 075717};

class PatternSource : public VideoSource {
 public:
  PatternSource(uint32_t w, uint32_t h, uint32_t num, uint32_t den, int64_t frames) {
    width = w;
    height = h;
    rateNumerator = num;
    rateDenominator = den;
    expectedFrames = frames;
    // Eight colour bars across the width, twice over, so that a row scrolled
    // by any amount is one copy.
    static constexpr uint8_t kBars[8][3] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                                            {106, 202, 222}, {81, 90, 240}, {41, 240, 110}, {16, 128, 128}};
    for (int plane = 0; plane < 3; ++plane) {
      const uint32_t planeWidth = plane == 0 ? w : w / 2;
      auto& row = rows_[plane];
      row.resize(2 * size_t{planeWidth});
      for (size_t x = 0; x < row.size(); ++x) row[x] = kBars[(x % planeWidth) * 8 / planeWidth][plane];
    }
  }

  bool Next(Picture& picture) override {
    if (frame_ >= expectedFrames) return false;
    picture.width = width;
    picture.height = height;
    picture.planes.resize(size_t{width} * height + 2 * (size_t{width / 2} * (height / 2)));
    const uint32_t shift = static_cast<uint32_t>((frame_ * 4) % width);
    for (int plane = 0; plane < 3; ++plane) {
      const uint32_t planeWidth = plane == 0 ? width : width / 2;
      const uint32_t planeHeight = plane == 0 ? height : height / 2;
      uint8_t* out = const_cast<uint8_t*>(picture.plane(plane));
      const uint8_t* source = rows_[plane].data() + (plane == 0 ? shift : shift / 2);
      for (uint32_t y = 0; y < planeHeight; ++y) std::memcpy(out + size_t{y} * planeWidth, source, planeWidth);
    }
    DrawCounter(picture);
    ++frame_;
    return true;
  }

 private:
  // The frame number in black digits on a white band, bottom left; a box
  // that moves the other way across the band.
  void DrawCounter(Picture& picture) const {
    const uint32_t scale = std::max<uint32_t>(1, height / 48);
    const uint32_t bandTop = height - 7 * scale;
    uint8_t* luma = picture.planes.data();
    for (uint32_t y = bandTop; y < height; ++y) std::memset(luma + size_t{y} * width, 235, width);
    for (int plane = 1; plane < 3; ++plane) {
      uint8_t* chroma = const_cast<uint8_t*>(picture.plane(plane));
      for (uint32_t y = bandTop / 2; y < height / 2; ++y) std::memset(chroma + size_t{y} * (width / 2), 128, width / 2);
    }
    const uint32_t boxX = static_cast<uint32_t>(width - 1 - (frame_ * 8) % width);
    for (uint32_t y = bandTop + scale; y < height - scale; ++y) {
      for (uint32_t x = boxX; x < std::min(width, boxX + 6 * scale); ++x) luma[size_t{y} * width + x] = 81;
    }
    const std::string digits = std::to_string(frame_);
    for (size_t d = 0; d < digits.size(); ++d) {
      const uint16_t glyph = kDigits[digits[d] - '0'];
      for (uint32_t gy = 0; gy < 5; ++gy) {
        for (uint32_t gx = 0; gx < 3; ++gx) {
          if (((glyph >> ((4 - gy) * 3 + (2 - gx))) & 1) == 0) continue;
          const uint32_t x0 = scale * (1 + static_cast<uint32_t>(d) * 4 + gx), y0 = bandTop + scale * (1 + gy);
          for (uint32_t y = y0; y < y0 + scale && y < height; ++y) {
            for (uint32_t x = x0; x < x0 + scale && x < width; ++x) luma[size_t{y} * width + x] = 16;
          }
        }
      }
    }
  }

  std::vector<uint8_t> rows_[3];
  int64_t frame_ = 0;
};

// A 1 kHz tone, with a 100 ms beep an octave up at the start of each second.
class ToneSource : public AudioSource {
 public:
  ToneSource(uint32_t rate, uint32_t count, int64_t frames) {
    sampleRate = rate;
    channels = count;
    expectedFrames = frames;
  }
  size_t Read(int16_t* out, size_t frames) override {
    const size_t count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(frames), expectedFrames - position_));
    for (size_t i = 0; i < count; ++i, ++position_) {
      const bool beep = position_ % sampleRate < sampleRate / 10;
      const double time = static_cast<double>(position_) / sampleRate;
      const auto value = static_cast<int16_t>(8000.0 * std::sin(2 * std::numbers::pi * (beep ? 2000.0 : 1000.0) * time));
      for (uint32_t c = 0; c < channels; ++c) out[i * channels + c] = value;
    }
    return count;
  }

 private:
  int64_t position_ = 0;
};

class ReadAheadSource : public VideoSource {
 public:
  ReadAheadSource(std::unique_ptr<VideoSource> source, size_t depth) : source_(std::move(source)), depth_(depth) {
    width = source_->width;
    height = source_->height;
    rateNumerator = source_->rateNumerator;
    rateDenominator = source_->rateDenominator;
    expectedFrames = source_->expectedFrames;
    reader_ = std::thread([this] { ReadAll(); });
  }
  // The reader may be blocked in a read of a producer that never writes
  // again: its read is woken until it has ended.
  ~ReadAheadSource() override {
    std::unique_lock<std::mutex> lock(mutex_);
    stop_ = true;
    changed_.notify_all();
    while (!readerEnded_) {
      if (waker_ != nullptr) waker_->Wake();
      changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
    lock.unlock();
    reader_.join();
  }

  // Picture buffers go back and forth between the two threads; none is
  // allocated once the queue is full.
  // A signal ends the wait for a picture that may never come.
  bool Next(Picture& picture) override {
    std::unique_lock<std::mutex> lock(mutex_);
    while (ready_.empty() && !ended_) {
      if (Interrupted()) throw HostError(kExitInterrupted, "interrupted");
      changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
    if (ready_.empty()) {
      if (error_) std::rethrow_exception(error_);
      return false;
    }
    if (!picture.planes.empty()) spare_.push_back(std::move(picture));
    picture = std::move(ready_.front());
    ready_.pop_front();
    changed_.notify_all();
    return true;
  }

 private:
  void ReadAll() {
    const ThreadWaker waker;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waker_ = &waker;
    }
    ReadUntilStopped();
    std::lock_guard<std::mutex> lock(mutex_);
    waker_ = nullptr;
    readerEnded_ = true;
    changed_.notify_all();
  }

  void ReadUntilStopped() {
    for (;;) {
      Picture picture;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return ready_.size() < depth_ || stop_; });
        if (stop_) return;
        if (!spare_.empty()) {
          picture = std::move(spare_.back());
          spare_.pop_back();
        }
      }
      bool got = false;
      std::exception_ptr error;
      try {
        got = source_->Next(picture);
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (!got) {
        error_ = error;
        ended_ = true;
        changed_.notify_all();
        return;
      }
      ready_.push_back(std::move(picture));
      changed_.notify_all();
    }
  }

  std::unique_ptr<VideoSource> source_;
  size_t depth_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Picture> ready_;
  std::vector<Picture> spare_;
  bool ended_ = false, stop_ = false, readerEnded_ = false;
  const ThreadWaker* waker_ = nullptr;
  std::exception_ptr error_;
  std::thread reader_;
};

}  // namespace

std::unique_ptr<VideoSource> ReadAhead(std::unique_ptr<VideoSource> source, size_t depth) {
  return std::make_unique<ReadAheadSource>(std::move(source), depth);
}

std::unique_ptr<VideoSource> OpenY4m(const std::string& path) { return std::make_unique<Y4mSource>(path); }
std::unique_ptr<AudioSource> OpenWav(const std::string& path) { return std::make_unique<WavSource>(path); }

int64_t AsfDeclaredSize(const std::string& path) {
  static constexpr uint8_t kHeaderObject[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                                0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  static constexpr uint8_t kFileProperties[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                  0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  static constexpr uint8_t kDataObject[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                              0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  constexpr uint64_t kTop = 30, kObjectTop = 24, kLargestHeader = uint64_t{16} << 20;
  auto u64At = [](const uint8_t* bytes) { return uint64_t{U32At(bytes)} | uint64_t{U32At(bytes + 4)} << 32; };
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(OpenFile(path, "rb"), &std::fclose);
  uint8_t top[kTop];
  if (!file || std::fread(top, 1, kTop, file.get()) != kTop || std::memcmp(top, kHeaderObject, 16) != 0) return 0;
  const uint64_t headerBytes = u64At(top + 16);
  if (headerBytes < kTop || headerBytes > kLargestHeader) return 0;
  // The header object, then the top of the data object that follows it.
  std::vector<uint8_t> header(headerBytes + kObjectTop);
  std::memcpy(header.data(), top, kTop);
  if (std::fread(header.data() + kTop, 1, header.size() - kTop, file.get()) != header.size() - kTop) return 0;
  bool broadcast = true;  // sizes are valid only when the file properties say the file is no broadcast
  for (uint64_t at = kTop; at + kObjectTop <= headerBytes;) {
    const uint64_t objectBytes = u64At(&header[at + 16]);
    if (objectBytes < kObjectTop || objectBytes > headerBytes - at) return 0;
    if (std::memcmp(&header[at], kFileProperties, 16) == 0 && objectBytes >= 104) {
      broadcast = (U32At(&header[at + 88]) & 1) != 0;
    }
    at += objectBytes;
  }
  const uint8_t* data = &header[headerBytes];
  const uint64_t dataBytes = u64At(data + 16);
  if (broadcast || std::memcmp(data, kDataObject, 16) != 0 || dataBytes < 50 || dataBytes > (uint64_t{1} << 62)) return 0;
  return static_cast<int64_t>(headerBytes + dataBytes);
}

std::unique_ptr<VideoSource> MakePattern(uint32_t width, uint32_t height, uint32_t rateNumerator,
                                         uint32_t rateDenominator, int64_t frames) {
  return std::make_unique<PatternSource>(width, height, rateNumerator, rateDenominator, frames);
}
std::unique_ptr<AudioSource> MakeTone(uint32_t sampleRate, uint32_t channels, int64_t frames) {
  return std::make_unique<ToneSource>(sampleRate, channels, frames);
}

}  // namespace kxhost
