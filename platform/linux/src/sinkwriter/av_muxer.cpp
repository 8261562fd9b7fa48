#include "av_muxer.h"

#include "mp4_hybrid.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx::av {

namespace {

// Whether `path` could be opened for writing, decided without opening it:
// 0, or AVERROR(errno) of the refusal an open would meet.
int CheckWritablePath(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return AVERROR(EISDIR);
    return access(path.c_str(), W_OK) == 0 ? 0 : AVERROR(errno);
  }
  if (errno != ENOENT) return AVERROR(errno);
  // A new file: its folder must exist and take new entries.
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (stat(folder.c_str(), &status) != 0) return AVERROR(errno);
  if (!S_ISDIR(status.st_mode)) return AVERROR(ENOTDIR);
  return access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : AVERROR(errno);
}

// The output's I/O over a descriptor the layer opened itself: the path is
// a file name, never a URL that libavformat would read as a protocol.
constexpr int kOutputBufferSize = 1 << 16;

// (Byte is const in newer FFmpeg releases.)
template <typename Byte>
int WriteToFile(void* opaque, Byte* data, int size) {
  const int fd = *static_cast<int*>(opaque);
  for (int done = 0; done < size;) {
    const ssize_t written = write(fd, data + done, static_cast<size_t>(size - done));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return AVERROR(errno);
    done += static_cast<int>(written);
  }
  return size;
}

int64_t SeekInFile(void* opaque, int64_t offset, int whence) {
  const int fd = *static_cast<int*>(opaque);
  if (whence == AVSEEK_SIZE) {
    struct stat status {};
    return fstat(fd, &status) == 0 ? status.st_size : AVERROR(errno);
  }
  const off_t position = lseek(fd, offset, whence & ~AVSEEK_FORCE);
  return position < 0 ? AVERROR(errno) : position;
}

using WritePacketFunction = decltype(AVIOContext::write_packet);

AVIOContext* NewOutputIo(void* opaque, WritePacketFunction write, int64_t (*seek)(void*, int64_t, int)) {
  auto* buffer = static_cast<unsigned char*>(av_malloc(kOutputBufferSize));
  AVIOContext* io = buffer ? avio_alloc_context(buffer, kOutputBufferSize, 1, opaque, nullptr, write, seek) : nullptr;
  if (!io) av_free(buffer);
  return io;
}

void FreeOutputIo(AVFormatContext* format) {
  if (!format || !format->pb) return;
  av_freep(&format->pb->buffer);
  avio_context_free(&format->pb);
}

// The plain MP4 muxer's output: nothing is written, the bytes it keeps
// are kept in memory.
constexpr int64_t kPlainHeadBytes = 256;

void KeepPart(std::string* kept, int64_t from, int64_t to, int64_t position, const uint8_t* data, int size) {
  const int64_t begin = std::max(position, from), end = std::min(position + size, to);
  if (begin >= end) return;
  const auto at = static_cast<size_t>(begin - from), length = static_cast<size_t>(end - begin);
  if (kept->size() < at + length) kept->resize(at + length);
  kept->replace(at, length, reinterpret_cast<const char*>(data + (begin - position)), length);
}

template <typename Byte>
int KeepPlainIndex(void* opaque, Byte* data, int size) {
  auto* output = static_cast<PlainIndexOutput*>(opaque);
  KeepPart(&output->head, 0, kPlainHeadBytes, output->position, data, size);
  KeepPart(&output->tail, output->tailFrom, INT64_MAX, output->position, data, size);
  output->position += size;
  output->end = std::max(output->end, output->position);
  return size;
}

int64_t SeekPlainIndex(void* opaque, int64_t offset, int whence) {
  auto* output = static_cast<PlainIndexOutput*>(opaque);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) return output->end;
  const int64_t base = whence == SEEK_CUR ? output->position : whence == SEEK_END ? output->end : 0;
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return AVERROR(EINVAL);
  if (offset < -base) return AVERROR(EINVAL);
  return output->position = base + offset;
}

// The fragments of an MP4 while it is written: one at every key frame and
// at least two a second, and no index at the end. The initial moov waits
// for the first fragment, so that it has the tracks' edit lists.
constexpr char kFragmentFlags[] = "frag_keyframe+empty_moov+delay_moov+default_base_moof+skip_trailer";
constexpr char kFragmentMicroseconds[] = "500000";

// Opens `path` for writing, locked for this writer alone, and empties it.
// A file another writer holds (of this process or another) is refused with
// AVERROR(EBUSY) and left as it is. (A device is written as it is.) The
// file is opened for reading too when it may be, for the MP4 finish.
int OpenExclusive(const std::string& path, int* fd) {
  int opened = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (opened < 0 && errno == EACCES) opened = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (opened < 0) return AVERROR(errno);
  if (flock(opened, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    close(opened);
    return AVERROR(error);
  }
  struct stat status {};
  if (fstat(opened, &status) != 0 || (S_ISREG(status.st_mode) && ftruncate(opened, 0) != 0)) {
    const int error = errno;
    close(opened);
    return AVERROR(error);
  }
  *fd = opened;
  return 0;
}

}  // namespace

bool ContainerFromPath(const std::string& path, ContainerKind* kind) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string extension = path.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == "wmv" || extension == "wma" || extension == "asf") {
    *kind = ContainerKind::kAsf;
    return true;
  }
  if (extension == "mp4" || extension == "m4v" || extension == "m4a") {
    *kind = ContainerKind::kMp4;
    return true;
  }
  return false;
}

bool ContainerCanHold(ContainerKind kind, AVCodecID codecId) {
  switch (codecId) {
    case AV_CODEC_ID_H264:
    case AV_CODEC_ID_AAC:
      return true;
    case AV_CODEC_ID_HEVC:  // FFmpeg's ASF writer has no tag for it
      return kind == ContainerKind::kMp4;
    case AV_CODEC_ID_WMV1:
    case AV_CODEC_ID_WMV2:
    case AV_CODEC_ID_WMV3:
    case AV_CODEC_ID_VC1:
    case AV_CODEC_ID_WMAV2:
    case AV_CODEC_ID_WMAPRO:
      return kind == ContainerKind::kAsf;
    default:
      return false;
  }
}

namespace {

// The preroll FFmpeg's ASF writer puts in front of every presentation time,
// and room for the shift of all streams that makes the encoders' first
// decoding times (before the first picture, or the audio encoders' delay)
// non-negative.
constexpr int64_t kAsfPrerollMs = 3100;
constexpr int64_t kAsfEncoderDelayMs = 10000;

}  // namespace

AVRational VideoTimeBase(ContainerKind kind) { return kind == ContainerKind::kAsf ? AVRational{1, 1000} : AVRational{1, 90000}; }

bool ContainerHoldsTime(ContainerKind kind, AVRational timeBase, int64_t time, const int64_t* previous,
                        const int64_t* windowStart) {
  if (kind == ContainerKind::kAsf) {
    // Milliseconds, with the preroll and the encoders' delay: 32 bits.
    const int64_t ms = av_rescale_q_rnd(time, timeBase, {1, 1000},
                                        static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    return ms >= 0 && ms <= int64_t{UINT32_MAX} - kAsfPrerollMs - kAsfEncoderDelayMs;
  }
  // Steps of half the 32-bit range leave room for the encoders' decoding
  // times and composition offsets, which span more than one step.
  if (time < 0 || (previous && time - *previous > INT32_MAX / 2)) return false;
  // Readers drop a track's whole composition offset table when an offset
  // reaches 2^28 ticks, and its pictures then decode out of order and some
  // are lost: a picture encoded ahead of the pictures before it (a long gap
  // ends in one) carries the gap in its offset. Half that keeps a margin.
  constexpr int64_t kMaxReorderSpan = int64_t{1} << 27;
  return !windowStart || time - *windowStart <= kMaxReorderSpan;
}

AvMuxer::~AvMuxer() { Finish(); }

int AvMuxer::Create(const std::string& path, ContainerKind kind, std::unique_ptr<AvMuxer>* out) {
  std::unique_ptr<AvMuxer> muxer(new AvMuxer());
  const char* formatName = kind == ContainerKind::kAsf ? "asf" : "mp4";
  AVFormatContext* format = nullptr;
  int result = avformat_alloc_output_context2(&format, nullptr, formatName, path.c_str());
  muxer->format_.reset(format);
  if (result < 0) return result;
  // An unwritable path fails at creation, but the file is opened (and an
  // existing one truncated) only when the header is written.
  result = CheckWritablePath(path);
  if (result < 0) return result;
  if (kind == ContainerKind::kMp4) {
    format = nullptr;
    result = avformat_alloc_output_context2(&format, nullptr, formatName, path.c_str());
    muxer->plain_.reset(format);
    if (result < 0) return result;
    muxer->plainPacket_.reset(av_packet_alloc());
    if (!muxer->plainPacket_) return AVERROR(ENOMEM);
  }
  muxer->path_ = path;
  *out = std::move(muxer);
  return 0;
}

int AvMuxer::AddStream(const AVCodecParameters* parameters, AVRational packetTimeBase, int* index,
                       bool keepCodecTag) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (headerWritten_ || finished_) return AVERROR(EINVAL);
  packetTimeBases_.reserve(packetTimeBases_.size() + 1);  // may throw: nothing added yet
  written_.reserve(written_.size() + 1);
  AVStream* stream = nullptr;
  for (AVFormatContext* format : {format_.get(), plain_.get()}) {
    if (!format) continue;
    stream = avformat_new_stream(format, nullptr);
    if (!stream) return AVERROR(ENOMEM);
    const int result = avcodec_parameters_copy(stream->codecpar, parameters);
    if (result < 0) return result;
    if (!keepCodecTag) stream->codecpar->codec_tag = 0;
    stream->time_base = packetTimeBase;
  }
  packetTimeBases_.push_back(packetTimeBase);
  written_.emplace_back();
  *index = stream->index;
  return 0;
}

void AvMuxer::KeepTimesAsGiven() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (headerWritten_) return;
  for (AVFormatContext* format : {format_.get(), plain_.get()})
    if (format) format->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
}

int AvMuxer::WriteHeader() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (headerWritten_ || finished_) return AVERROR(EINVAL);
  if (!format_->pb) {
    const int opened = OpenExclusive(path_, &fd_);
    if (opened < 0) return opened;
    format_->pb = NewOutputIo(&fd_, WriteToFile, SeekInFile);
    if (!format_->pb) return AVERROR(ENOMEM);
  }
  AVDictionary* options = nullptr;
  if (plain_) {
    av_dict_set(&options, "movflags", kFragmentFlags, 0);
    av_dict_set(&options, "frag_duration", kFragmentMicroseconds, 0);
  }
  const int result = avformat_write_header(format_.get(), &options);
  av_dict_free(&options);
  if (result < 0) return result;
  headerWritten_ = true;
  // Without its index the file stays fragmented, which plays as well.
  if (plain_ && !plain_->pb) plain_->pb = NewOutputIo(&plainIndex_, KeepPlainIndex, SeekPlainIndex);
  if (plain_ && plain_->pb) plain_->pb->direct = 1;  // media bytes go straight past, uncopied
  if (plain_ && (!plain_->pb || avformat_write_header(plain_.get(), nullptr) < 0)) DropPlainIndex();
  FindAsfFields();
  return 0;
}

namespace {

// The ASF header refreshed while writing: its File Properties Object's file
// size, packet count, play and send durations, and the data object's size
// and packet count. A file cut at any byte then tells its length and seeks.
constexpr int64_t kAsfRefreshMs = 2000;
constexpr uint8_t kAsfFilePropertiesGuid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr int64_t kAsfDataHeaderSize = 50;

uint64_t LittleEndian(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

void AvMuxer::FindAsfFields() {
  asf_ = AsfFields();
  AVIOContext* pb = format_->pb;
  if (std::strcmp(format_->oformat->name, "asf") != 0 || !pb || !(pb->seekable & AVIO_SEEKABLE_NORMAL)) return;
  avio_flush(pb);
  const int64_t dataStart = avio_tell(pb);
  if (fd_ < 0 || dataStart < 30 + kAsfDataHeaderSize || pb->error < 0) return;
  // The header as written, read through a second descriptor of the same
  // file (the writer's own is write-only); a file that cannot be read back
  // keeps the header libavformat writes at the end.
  const int reader = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (reader < 0) return;
  struct stat written {}, read {};
  std::string header(static_cast<size_t>(dataStart), '\0');
  const bool same = fstat(fd_, &written) == 0 && fstat(reader, &read) == 0 && written.st_dev == read.st_dev &&
                    written.st_ino == read.st_ino && S_ISREG(read.st_mode);
  const bool got = same && pread(reader, header.data(), header.size(), 0) == dataStart;
  close(reader);
  if (!got) return;
  const auto* bytes = reinterpret_cast<const uint8_t*>(header.data());
  const int64_t headerSize = static_cast<int64_t>(LittleEndian(bytes + 16, 8));
  if (headerSize + kAsfDataHeaderSize != dataStart) return;
  for (int64_t at = 30; at + 104 <= headerSize;) {
    const int64_t size = static_cast<int64_t>(LittleEndian(bytes + at + 16, 8));
    if (size < 24 || size > headerSize - at) return;
    if (std::memcmp(bytes + at, kAsfFilePropertiesGuid, 16) == 0) {
      asf_.fileProperties = at;
      asf_.packetSize = static_cast<int64_t>(LittleEndian(bytes + at + 92, 4));
      break;
    }
    at += size;
  }
  if (asf_.fileProperties == 0 || asf_.packetSize <= 0) {
    asf_ = AsfFields();
    return;
  }
  asf_.dataObject = headerSize;
  asf_.dataStart = dataStart;
}

void AvMuxer::RefreshAsfHeader() {
  AVIOContext* pb = format_->pb;
  int64_t endMs = 0;
  for (const Written& written : written_) endMs = std::max(endMs, written.end);
  if (asf_.dataStart == 0 || endMs < asf_.refreshedUntil + kAsfRefreshMs || pb->error < 0) return;
  asf_.refreshedUntil = endMs;
  avio_flush(pb);
  const int64_t end = avio_tell(pb);
  const int64_t packets = (end - asf_.dataStart) / asf_.packetSize;
  if (packets <= 0) return;
  const int64_t sendDuration = endMs * 10000;
  const struct {
    int64_t at, value;
  } fields[] = {
      // The file size stays unknown (0) until the file is finished: readers
      // distrust the durations of a file whose size differs from the one
      // given, and a cut file's always would.
      {asf_.fileProperties + 40, 0},
      {asf_.fileProperties + 56, packets},
      {asf_.fileProperties + 64, sendDuration + kAsfPrerollMs * 10000},
      {asf_.fileProperties + 72, sendDuration},
      {asf_.dataObject + 16, kAsfDataHeaderSize + packets * asf_.packetSize},
      {asf_.dataObject + 40, packets},
  };
  for (const auto& field : fields) {
    if (avio_seek(pb, field.at, SEEK_SET) < 0) break;
    avio_wl64(pb, static_cast<uint64_t>(field.value));
  }
  avio_seek(pb, end, SEEK_SET);
}

AVRational AvMuxer::StreamTimeBase(int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!format_ || index < 0 || index >= stream_count()) return {0, 1};
  return format_->streams[index]->time_base;
}

int AvMuxer::WritePacket(AVPacket* packet, int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!headerWritten_ || finished_ || index < 0 || index >= stream_count()) {
    av_packet_unref(packet);
    return AVERROR(EINVAL);
  }
  packet->stream_index = index;
  av_packet_rescale_ts(packet, packetTimeBases_[index], format_->streams[index]->time_base);
  Written& written = written_[static_cast<size_t>(index)];
  written.bytes += packet->size;
  if (packet->pts != AV_NOPTS_VALUE) {
    written.start = std::min(written.start, packet->pts);
    written.end = std::max(written.end, packet->pts + std::max<int64_t>(packet->duration, 0));
  }
  WritePlainIndex(packet, index);
  // The muxer orders the packets of all streams by their decoding times.
  int result = av_interleaved_write_frame(format_.get(), packet);
  av_packet_unref(packet);
  // A failed write of the buffered output (disk full, file too large) is
  // kept by the I/O context; make it this call's failure.
  if (result >= 0) RefreshAsfHeader();
  if (result >= 0 && format_->pb && format_->pb->error < 0) result = format_->pb->error;
  if (result < 0 && firstWriteError_ == 0) firstWriteError_ = result;
  return result;
}

void AvMuxer::WritePlainIndex(const AVPacket* packet, int index) {
  if (!plain_) return;
  if (av_packet_ref(plainPacket_.get(), packet) < 0) return DropPlainIndex();
  av_packet_rescale_ts(plainPacket_.get(), format_->streams[index]->time_base, plain_->streams[index]->time_base);
  if (av_interleaved_write_frame(plain_.get(), plainPacket_.get()) < 0) DropPlainIndex();
}

void AvMuxer::DropPlainIndex() {
  FreeOutputIo(plain_.get());
  plain_.reset();
}

namespace {

bool ReadAllAt(int fd, void* data, size_t size, int64_t offset) {
  for (size_t done = 0; done < size;) {
    const ssize_t got = pread(fd, static_cast<char*>(data) + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool WriteAllAt(int fd, const std::string& bytes, int64_t offset) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t put = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

}  // namespace

int AvMuxer::FinishPlainMp4() {
  if (!plain_ || fd_ < 0) return 0;
  // The packets still waiting to be interleaved, then the index alone.
  AVFormatContext* plain = plain_.get();
  if (av_interleaved_write_frame(plain, nullptr) < 0) return 0;
  avio_flush(plain->pb);
  plainIndex_.tailFrom = plainIndex_.end;
  if (av_write_trailer(plain) < 0) return 0;
  avio_flush(plain->pb);
  const std::string& head = plainIndex_.head;
  size_t ftypSize = 0;  // the first box's size
  for (size_t i = 0; i < 4 && i < head.size(); ++i) ftypSize = ftypSize << 8 | static_cast<uint8_t>(head[i]);
  struct stat status {};
  if (fstat(fd_, &status) != 0) return 0;
  const int64_t fileSize = status.st_size;
  const int fd = fd_;
  Mp4FinishPlan plan;
  std::string why;
  if (!PlanPlainMp4([fd](int64_t offset, void* data, size_t size) { return ReadAllAt(fd, data, size, offset); },
                    fileSize, head.substr(0, std::min(ftypSize, head.size())), plainIndex_.tail, &plan, &why)) {
    av_log(format_.get(), AV_LOG_WARNING, "The MP4 file stays fragmented: %s.\n", why.c_str());
    return 0;
  }
  // The moov first: until the front is rewritten, readers take the
  // fragments and skip it.
  if (!WriteAllAt(fd, plan.moov, fileSize)) {
    const int error = AVERROR(errno);
    // What was written of it goes: the fragmented file stays as it was.
    while (ftruncate(fd, fileSize) != 0 && errno == EINTR) {
    }
    return error;
  }
  for (const Mp4Patch& patch : plan.patches)
    if (!WriteAllAt(fd, patch.bytes, patch.offset)) return AVERROR(errno);
  return 0;
}

void AvMuxer::FillMissingBitRates() {
  // The ASF header, written again with the trailer, declares the sum of the
  // streams' rates as the file's maximum: a stream whose media type named no
  // rate (packets copied from another file) counts with the rate it has.
  if (std::string(format_->oformat->name) != "asf") return;
  for (unsigned i = 0; i < format_->nb_streams && i < written_.size(); ++i) {
    AVStream* stream = format_->streams[i];
    const Written& written = written_[i];
    if (stream->codecpar->bit_rate > 0 || written.end <= written.start) continue;
    const double seconds = static_cast<double>(written.end - written.start) * av_q2d(stream->time_base);
    stream->codecpar->bit_rate = static_cast<int64_t>(std::min(written.bytes * 8 / seconds, double{INT32_MAX}));
  }
}

int AvMuxer::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (finished_) return finishResult_;
  finished_ = true;
  int result = firstWriteError_;
  if (format_) {
    if (headerWritten_) {
      FillMissingBitRates();
      const int trailer = av_write_trailer(format_.get());
      if (result == 0) result = trailer;
    }
    if (format_->pb) {
      avio_flush(format_->pb);
      if (result == 0 && format_->pb->error < 0) result = format_->pb->error;
      FreeOutputIo(format_.get());
    }
    if (result == 0 && headerWritten_) result = FinishPlainMp4();
    DropPlainIndex();
    if (fd_ >= 0 && close(fd_) != 0 && result == 0) result = AVERROR(errno);  // the file's last word
    fd_ = -1;
    format_.reset();
  }
  finishResult_ = result;
  return result;
}

}  // namespace kx::av
