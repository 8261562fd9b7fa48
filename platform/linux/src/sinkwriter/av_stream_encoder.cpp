#include "av_stream_encoder.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <cstring>
#include <new>
#include <system_error>
#include <type_traits>
#include <utility>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include "av_encoder_settings.h"

namespace kx::av {

namespace {

// Pictures of the first GOP every GOP lane encodes before its own GOPs.
int WarmUpPicturesFor(int gopSize) { return std::max(1, gopSize / kVideoLaneWarmUpDivisor); }

std::atomic<int64_t> g_heldBlocks{0};
std::atomic<int64_t> g_peakHeldBlocks{0};

void NoteBlockTaken() {
  const int64_t now = g_heldBlocks.fetch_add(1) + 1;
  int64_t peak = g_peakHeldBlocks.load();
  while (now > peak && !g_peakHeldBlocks.compare_exchange_weak(peak, now)) {
  }
}

constexpr AVRational k100ns = {1, 10000000};

void FreeBlockBuffer(void* opaque, uint8_t*) { delete static_cast<InputBlock*>(opaque); }

AVSampleFormat PackedFormat(PcmFormat format) {
  switch (format) {
    case PcmFormat::kU8: return AV_SAMPLE_FMT_U8;
    case PcmFormat::kS16: return AV_SAMPLE_FMT_S16;
    case PcmFormat::kS24:  // widened to 32 bits before conversion
    case PcmFormat::kS32: return AV_SAMPLE_FMT_S32;
    case PcmFormat::kFloat: return AV_SAMPLE_FMT_FLT;
  }
  return AV_SAMPLE_FMT_NONE;
}

const char* EncoderName(AVCodecID codecId) {
  switch (codecId) {
    case AV_CODEC_ID_WMV1: return "wmv1";
    case AV_CODEC_ID_WMV2: return "wmv2";
    case AV_CODEC_ID_H264: return "libx264";
    case AV_CODEC_ID_HEVC: return "libx265";
    case AV_CODEC_ID_WMAV2: return "wmav2";
    case AV_CODEC_ID_AAC: return "aac";
    default: return nullptr;  // WMV3, VC-1, WMA Pro: no open encoder
  }
}

}  // namespace

// Puts the packets of the lanes back into the order of their pictures.
class AvStreamEncoder::OrderStage final : public PacketSink {
 public:
  OrderStage(PacketSink* sink, int index, size_t laneCount) : sink_(sink), index_(index), laneCount_(laneCount) {}

  // A picture with time `pts` was handed to a lane: its packet comes next
  // after those of the pictures before it.
  void Expect(int64_t pts) {
    std::lock_guard<std::mutex> lock(mutex_);
    expected_.push_back(pts);
  }

  // `lane` is the index the lane writes with. Each lane encodes its
  // pictures on a contiguous time line of its own (so that its rate control
  // gives each picture the stream's share of bits) and hands on its packets
  // with the pictures' times in the file.
  int WritePacket(AVPacket* packet, int lane) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lane < 0 || static_cast<size_t>(lane) >= laneCount_) {
      av_packet_unref(packet);
      return AVERROR_BUG;
    }
    PacketPtr held(av_packet_alloc());
    if (!held) {
      av_packet_unref(packet);
      return AVERROR(ENOMEM);
    }
    av_packet_move_ref(held.get(), packet);
    const int64_t pts = held->pts;
    if (!waiting_.emplace(pts, std::move(held)).second) return AVERROR_BUG;
    while (!expected_.empty()) {
      auto next = waiting_.find(expected_.front());
      if (next == waiting_.end()) break;
      WriteHeld(next->second.get());
      waiting_.erase(next);
      expected_.pop_front();
    }
    return error_;
  }

  // After the lanes have finished: whatever is left, in time order.
  int Drain() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [pts, packet] : waiting_) WriteHeld(packet.get());
    waiting_.clear();
    expected_.clear();
    return error_;
  }

 private:
  // Hands the packet's data on; the emptied packet is freed with its entry.
  void WriteHeld(AVPacket* packet) {
    const int result = sink_->WritePacket(packet, index_);
    if (result < 0 && error_ == 0) error_ = result;
  }

  std::mutex mutex_;
  PacketSink* const sink_;
  const int index_;
  const size_t laneCount_;
  std::deque<int64_t> expected_;
  std::map<int64_t, PacketPtr> waiting_;
  int error_ = 0;
};

int64_t HeldInputBlocks() { return g_heldBlocks.load(); }
int64_t PeakHeldInputBlocks() { return g_peakHeldBlocks.load(); }
void ResetPeakHeldInputBlocks() { g_peakHeldBlocks.store(g_heldBlocks.load()); }

InputBlock::InputBlock(const uint8_t* data, size_t size, int64_t time100ns, void* owner, void (*release)(void*))
    : data_(data), size_(size), time100ns_(time100ns), owner_(owner), release_(release) {
  if (release_) NoteBlockTaken();
}

InputBlock& InputBlock::operator=(InputBlock&& other) noexcept {
  if (this != &other) {
    Release();
    streamTime = other.streamTime;
    streamDuration = other.streamDuration;
    forceKeyFrame = other.forceKeyFrame;
    warmUp = other.warmUp;
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    time100ns_ = other.time100ns_;
    owner_ = std::exchange(other.owner_, nullptr);
    release_ = std::exchange(other.release_, nullptr);
  }
  return *this;
}

void InputBlock::Release() {
  if (release_) {
    std::exchange(release_, nullptr)(std::exchange(owner_, nullptr));
    g_heldBlocks.fetch_sub(1);
  }
  data_ = nullptr;
  size_ = 0;
}

AVBufferRef* InputBlock::ToBuffer() {
  const uint8_t* data = data_;
  const size_t size = size_;
  InputBlock* holder = new (std::nothrow) InputBlock(std::move(*this));
  if (!holder) return nullptr;
  AVBufferRef* buffer = av_buffer_create(const_cast<uint8_t*>(data), size, FreeBlockBuffer, holder,
                                         AV_BUFFER_FLAG_READONLY);
  if (!buffer) delete holder;
  return buffer;
}

size_t VideoImageSize(VideoInputFormat, int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  const size_t luma = static_cast<size_t>(width) * static_cast<size_t>(height);
  return luma + luma / 2;  // 4:2:0, even sizes: two quarter-size chroma planes
}

int PcmBlockAlign(PcmFormat format, int channels) {
  switch (format) {
    case PcmFormat::kU8: return channels;
    case PcmFormat::kS16: return channels * 2;
    case PcmFormat::kS24: return channels * 3;
    case PcmFormat::kS32:
    case PcmFormat::kFloat: return channels * 4;
  }
  return 0;
}

const AVCodec* AvStreamEncoder::FindEncoder(AVCodecID codecId) {
  const char* name = EncoderName(codecId);
  return name ? avcodec_find_encoder_by_name(name) : nullptr;
}

AvStreamEncoder::AvStreamEncoder() = default;

AvStreamEncoder::~AvStreamEncoder() {
  Finish();
}

int AvStreamEncoder::OpenVideo(const VideoEncoderConfig& config, bool globalHeader, bool allowLanes) {
  const AVCodec* encoder = FindEncoder(config.codecId);
  if (!encoder) return AVERROR_ENCODER_NOT_FOUND;
  isVideo_ = true;
  video_ = config;
  const bool threadless = (encoder->capabilities & (AV_CODEC_CAP_FRAME_THREADS | AV_CODEC_CAP_SLICE_THREADS |
                                                   AV_CODEC_CAP_OTHER_THREADS)) == 0;
  // WMV 7/8 pictures refer back within their GOP only, and these encoders
  // make no B-frames: GOPs can be encoded apart and joined again.
  const bool gopsIndependent = config.codecId == AV_CODEC_ID_WMV1 || config.codecId == AV_CODEC_ID_WMV2;
  const int laneCount = std::min<int>(kVideoGopLanes, static_cast<int>(std::thread::hardware_concurrency()));
  if (allowLanes && threadless && gopsIndependent && laneCount > 1) {
    for (int i = 0; i < laneCount; ++i) {
      auto lane = std::make_unique<AvStreamEncoder>();
      const int result = lane->OpenVideo(config, globalHeader, false);
      if (result < 0) return result;
      lane->counters_ = &ownCounters_;
      lanes_.push_back(std::move(lane));
    }
    gopSize_ = lanes_[0]->codec_->gop_size > 0 ? lanes_[0]->codec_->gop_size : 12;
    for (auto& lane : lanes_) {
      lane->depth_ = gopSize_;
      lane->warmUpPictures_ = WarmUpPicturesFor(gopSize_);
    }
    heldFirstGop_.reserve(static_cast<size_t>(WarmUpPicturesFor(gopSize_)));
    return 0;
  }
  depth_ = kVideoQueueDepth;
  countsPictures_ = gopsIndependent;
  codec_.reset(avcodec_alloc_context3(encoder));
  packet_.reset(av_packet_alloc());
  if (!codec_ || !packet_) return AVERROR(ENOMEM);
  codec_->width = config.width;
  codec_->height = config.height;
  codec_->pix_fmt = config.input == VideoInputFormat::kNV12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
  codec_->framerate = config.frameRate;
  codec_->time_base = countsPictures_ ? av_inv_q(config.frameRate) : config.timeBase;
  codec_->sample_aspect_ratio = {1, 1};
  codec_->bit_rate = config.bitRate;
  codec_->thread_count = kVideoEncoderThreads;
  if (globalHeader) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (config.codecId == AV_CODEC_ID_H264 || config.codecId == AV_CODEC_ID_HEVC) {
    av_opt_set(codec_->priv_data, "preset", kX26xPreset, 0);
    // The host asks for low latency (MF_LOW_LATENCY) because it feeds the
    // writer in real time, but nothing downstream of a file waits on the
    // encoder's delay: the caller gets WriteSample back as soon as the
    // picture is queued either way. x264's zero-latency tuning would give up
    // frame threading and lookahead and cost several times the throughput,
    // so the tuning stays at the preset's default.
  }
  if (config.codecId == AV_CODEC_ID_H264) {
    // x264 writes its time base into the stream's header as the frame
    // rate unless told the pictures come at the constant rate of the media
    // type: the file's fine ticks would declare 90000 pictures a second to
    // whoever reads the bare stream. The pictures keep the file's times.
    av_opt_set(codec_->priv_data, "x264-params", "force-cfr=1", 0);
  }
  if (config.codecId == AV_CODEC_ID_HEVC) av_opt_set(codec_->priv_data, "x265-params", "log-level=error", 0);
  const double pixelsPerSecond = static_cast<double>(config.width) * config.height * av_q2d(config.frameRate);
  if (gopsIndependent && pixelsPerSecond > 0 && config.bitRate / pixelsPerSecond < kFineSubPixelSearchBitsPerPixel) {
    // So few bits that most pictures go at the coarsest quantiser: the
    // sub-pixel motion search on transformed differences (SATD) then finds
    // predictions that cost fewer bits, for about a third more work.
    codec_->me_sub_cmp = FF_CMP_SATD;
  }
  return avcodec_open2(codec_.get(), encoder, nullptr);
}

int AvStreamEncoder::OpenAudio(const AudioEncoderConfig& config, bool globalHeader) {
  const AVCodec* encoder = FindEncoder(config.codecId);
  if (!encoder) return AVERROR_ENCODER_NOT_FOUND;
  isVideo_ = false;
  audio_ = config;
  depth_ = kAudioQueueDepth;
  codec_.reset(avcodec_alloc_context3(encoder));
  packet_.reset(av_packet_alloc());
  if (!codec_ || !packet_) return AVERROR(ENOMEM);
  codec_->sample_fmt = encoder->sample_fmts ? encoder->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
  codec_->sample_rate = config.sampleRate;
  av_channel_layout_default(&codec_->ch_layout, config.channels);
  codec_->time_base = {1, config.sampleRate};
  codec_->bit_rate = config.bitRate;
  if (globalHeader) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int result = avcodec_open2(codec_.get(), encoder, nullptr);
  if (result < 0) return result;

  AVChannelLayout inputLayout;
  av_channel_layout_default(&inputLayout, config.channels);
  SwrContext* resampler = nullptr;
  result = swr_alloc_set_opts2(&resampler, &codec_->ch_layout, codec_->sample_fmt, config.sampleRate,
                               &inputLayout, PackedFormat(config.input), config.sampleRate, 0, nullptr);
  resampler_.reset(resampler);
  av_channel_layout_uninit(&inputLayout);
  if (result < 0) return result;
  result = swr_init(resampler_.get());
  if (result < 0) return result;
  const bool variable = (encoder->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) != 0;
  audioFrameSize_ = codec_->frame_size > 0 && !variable ? codec_->frame_size : 1024;
  fifo_.reset(av_audio_fifo_alloc(codec_->sample_fmt, config.channels, audioFrameSize_ * 2));
  return fifo_ ? 0 : AVERROR(ENOMEM);
}

int AvStreamEncoder::Start(PacketSink* sink, int sinkIndex, const std::function<void(void*)>& onMarker) {
  if (started_) return AVERROR(EINVAL);
  try {
    if (!lanes_.empty()) {
      order_.reset(new OrderStage(sink, sinkIndex, lanes_.size()));
      // From here Finish joins the lanes that started and drains the stage.
      started_ = true;
      for (size_t i = 0; i < lanes_.size(); ++i) {
        const int result = lanes_[i]->Start(order_.get(), static_cast<int>(i), onMarker);
        if (result < 0) return result;
      }
      return 0;
    }
    sink_ = sink;
    sinkIndex_ = sinkIndex;
    onMarker_ = onMarker;
    worker_ = std::thread(&AvStreamEncoder::Run, this);
    started_ = true;
    return 0;
  } catch (const std::bad_alloc&) {
    return AVERROR(ENOMEM);
  } catch (const std::system_error& error) {  // no thread left to start
    return AVERROR(error.code().value() > 0 ? error.code().value() : EAGAIN);
  }
}

int AvStreamEncoder::Push(InputBlock block) {
  if (!lanes_.empty()) {
    std::lock_guard<std::mutex> pushLock(pushMutex_);
    if (!started_ || finished_) return AVERROR(EINVAL);
    // The GOP is decided here, in the order of arrival.
    const bool gopStart = framesPushed_ % gopSize_ == 0;
    order_->Expect(block.streamTime);  // may throw: nothing changed yet
    if (gopStart && framesPushed_ > 0) currentLane_ = (currentLane_ + 1) % lanes_.size();
    framesPushed_++;
    block.forceKeyFrame = gopStart;
    const int warmUpPictures = WarmUpPicturesFor(gopSize_);
    if (framesPushed_ <= warmUpPictures && !firstGopReleased_) {
      // A rate control that starts cold spends its first GOP learning what
      // the pictures cost (several times the bits of a GOP, paid back by
      // starving the GOPs after it). Every lane first encodes copies of the
      // first pictures and drops their packets; those pictures themselves
      // wait until their copies are queued.
      for (auto& lane : lanes_) {
        InputBlock warm = WarmUpCopy(block);
        const int result = warm.data() ? lane->Push(std::move(warm)) : 0;
        if (result < 0) return result;
      }
      heldFirstGop_.push_back(std::move(block));  // room reserved at opening
      return framesPushed_ == warmUpPictures ? ReleaseFirstGop() : 0;
    }
    return lanes_[currentLane_]->Push(std::move(block));
  }
  std::unique_lock<std::mutex> lock(mutex_);
  notFull_.wait(lock, [&] { return static_cast<int>(queue_.size()) < depth_ || error_.load() != 0; });
  if (error_.load() != 0) return error_.load();
  if (!started_ || finished_ || endRequested_) return AVERROR(EINVAL);
  const size_t bytes = block.size();
  Item item;
  item.block = std::move(block);
  queue_.push_back(std::move(item));  // may throw: the item releases its block
  counters_->bytesQueued += bytes;
  notEmpty_.notify_one();
  return 0;
}

int AvStreamEncoder::ReleaseFirstGop() {
  firstGopReleased_ = true;
  int result = 0;
  for (InputBlock& held : heldFirstGop_) {
    if (result == 0) result = lanes_[0]->Push(std::move(held));
  }
  heldFirstGop_.clear();
  return result;
}

void AvStreamEncoder::BalanceLastGop() {
  // The host writes a GOP ahead of the lanes, so when the stream ends the
  // lane of the last GOP still holds all of it while the others run dry:
  // the pictures it has not started are split, and the later ones go, as a
  // GOP of their own, to the lane with the least left to do.
  AvStreamEncoder& last = *lanes_[currentLane_];
  AvStreamEncoder* other = nullptr;
  size_t otherLeft = 0;
  for (auto& lane : lanes_) {
    if (lane.get() == &last) continue;
    std::lock_guard<std::mutex> lock(lane->mutex_);
    const size_t left = lane->queue_.size() + (lane->busy_ ? 1 : 0);
    if (!other || left < otherLeft) {
      other = lane.get();
      otherLeft = left;
    }
  }
  if (!other || !other->started_ || other->error_.load() != 0) return;
  std::scoped_lock lock(last.mutex_, other->mutex_);
  const size_t lastLeft = last.queue_.size() + (last.busy_ ? 1 : 0);
  otherLeft = other->queue_.size() + (other->busy_ ? 1 : 0);
  // Only pictures of the last GOP, and none after a marker, may move.
  const size_t lastGop = static_cast<size_t>((framesPushed_ - 1) % gopSize_ + 1);
  size_t movable = 0;
  for (auto item = last.queue_.rbegin(); item != last.queue_.rend() && movable < lastGop; ++item, ++movable) {
    if (item->kind != Item::Kind::kBlock || item->block.warmUp) break;
  }
  const size_t move = std::min(movable, lastLeft > otherLeft ? (lastLeft - otherLeft) / 2 : 0);
  // A new GOP costs a key frame: not worth it for a few pictures.
  if (move < kLaneBalanceMinPictures) return;
  // Room first (without memory nothing moves), then moves that cannot fail.
  static_assert(std::is_nothrow_move_assignable_v<Item>);
  const size_t otherQueued = other->queue_.size();
  try {
    other->queue_.resize(otherQueued + move);
  } catch (const std::bad_alloc&) {
    return;
  }
  const auto first = last.queue_.end() - static_cast<std::ptrdiff_t>(move);
  first->block.forceKeyFrame = true;
  std::move(first, last.queue_.end(), other->queue_.begin() + static_cast<std::ptrdiff_t>(otherQueued));
  last.queue_.erase(first, last.queue_.end());
  other->notEmpty_.notify_one();
}

InputBlock AvStreamEncoder::WarmUpCopy(const InputBlock& block) {
  // Without memory for the copy the lane starts cold, as it would anyway.
  uint8_t* copy = new (std::nothrow) uint8_t[block.size()];
  if (!copy) return InputBlock();
  std::memcpy(copy, block.data(), block.size());
  InputBlock warm(copy, block.size(), block.time100ns(), copy,
                  [](void* owner) { delete[] static_cast<uint8_t*>(owner); });
  warm.streamTime = block.streamTime;
  warm.streamDuration = block.streamDuration;
  warm.forceKeyFrame = block.forceKeyFrame;
  warm.warmUp = true;
  return warm;
}

int AvStreamEncoder::PushMarker(void* context) {
  if (!lanes_.empty()) {
    std::lock_guard<std::mutex> pushLock(pushMutex_);
    const int released = firstGopReleased_ ? 0 : ReleaseFirstGop();
    if (released < 0) return released;
    return lanes_[currentLane_]->PushMarker(context);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!started_ || finished_ || endRequested_) return AVERROR(EINVAL);
  Item item;
  item.kind = Item::Kind::kMarker;
  item.context = context;
  queue_.push_back(std::move(item));
  notEmpty_.notify_one();
  return 0;
}

void AvStreamEncoder::DropQueued() {
  if (!lanes_.empty()) {
    // The lanes' pictures are waited for instead: dropping some would leave
    // holes in the GOPs the order stage joins again.
    WaitIdle();
    return;
  }
  std::deque<Item> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::deque<Item> kept;
    for (Item& item : queue_) {
      if (item.kind == Item::Kind::kBlock) {
        counters_->bytesQueued -= item.block.size();
        dropped.push_back(std::move(item));
      } else {
        kept.push_back(std::move(item));
      }
    }
    queue_.swap(kept);
    notFull_.notify_all();
  }
  // The blocks are released here, outside the lock.
}

void AvStreamEncoder::WaitIdle() {
  if (!lanes_.empty()) {
    std::lock_guard<std::mutex> pushLock(pushMutex_);
    if (!firstGopReleased_ && started_ && !finished_) ReleaseFirstGop();
  }
  for (auto& lane : lanes_) lane->WaitIdle();
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [&] { return (queue_.empty() && !busy_) || !started_ || finished_; });
}

size_t AvStreamEncoder::queued() const {
  size_t total = 0;
  for (const auto& lane : lanes_) total += lane->queued();
  std::lock_guard<std::mutex> lock(mutex_);
  return total + queue_.size();
}

int AvStreamEncoder::Finish() {
  if (!started_) return error_.load();
  if (!lanes_.empty()) {
    std::lock_guard<std::mutex> pushLock(pushMutex_);
    if (finished_) return error_.load();
    int result = firstGopReleased_ ? 0 : ReleaseFirstGop();
    finished_ = true;
    if (result == 0) BalanceLastGop();
    for (auto& lane : lanes_) {
      const int laneResult = lane->Finish();
      if (result == 0) result = laneResult;
    }
    const int drained = order_ ? order_->Drain() : 0;
    if (result == 0) result = drained;
    if (result < 0) Fail(result);
    return error_.load();
  }
  {
    // A flag rather than a queued item: the end of a stream needs no
    // memory, so destruction can always stop the worker.
    std::lock_guard<std::mutex> lock(mutex_);
    endRequested_ = true;
    notEmpty_.notify_one();
  }
  if (worker_.joinable()) worker_.join();
  return error_.load();
}

int64_t AvStreamEncoder::DecodingTime(int64_t encoderDts, int64_t pts) {
  // An encoder that holds back d pictures gives packet k the time of picture
  // k - d, and the first d packets the times of the first pictures moved
  // back by the span of d pictures; x264 and x265 hold back fewer than
  // kReorderWindow. libx265 leaves that span unset (whatever its memory
  // held) when the stream ends before the picture that fixes it: a file of
  // one or two pictures then gets any decoding time at all, and the muxer
  // refuses the packet or the file keeps nonsense. A time no such encoder
  // gives is replaced by the time of picture k, kept after the previous
  // packet's and not after the packet's own.
  constexpr size_t kMaxDelay = kReorderWindow - 1;
  const bool delayed = packetsOut_ >= kMaxDelay;  // timesInOrder_ starts at picture k - kMaxDelay
  int64_t lowest = pts;
  if (delayed && !timesInOrder_.empty()) {
    lowest = timesInOrder_.front();
  } else if (!leadTimes_.empty()) {
    lowest = leadTimes_.front() - (leadTimes_.back() - leadTimes_.front());
  }
  int64_t dts = encoderDts;
  if (encoderDts == AV_NOPTS_VALUE || encoderDts < lowest || encoderDts > pts ||
      (anyPacketOut_ && encoderDts <= lastDts_)) {
    const size_t index = delayed ? kMaxDelay : packetsOut_;
    dts = std::min(pts, index < timesInOrder_.size() ? timesInOrder_[index] : pts);
    if (anyPacketOut_ && dts <= lastDts_) dts = lastDts_ + 1;
  }
  if (delayed && !timesInOrder_.empty()) timesInOrder_.pop_front();
  packetsOut_++;
  anyPacketOut_ = true;
  lastDts_ = dts;
  return dts;
}

void AvStreamEncoder::Fail(int error) {
  int expected = 0;
  error_.compare_exchange_strong(expected, error);
  std::lock_guard<std::mutex> lock(mutex_);
  notFull_.notify_all();
}

void AvStreamEncoder::Run() {
  for (;;) {
    Item item;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      notEmpty_.wait(lock, [&] { return !queue_.empty() || endRequested_; });
      if (queue_.empty()) {
        item.kind = Item::Kind::kEnd;  // everything queued before the end is done
      } else {
        item = std::move(queue_.front());
        queue_.pop_front();
        if (item.kind == Item::Kind::kBlock) counters_->bytesQueued -= item.block.size();
      }
      busy_ = true;
      notFull_.notify_one();
    }
    const bool end = item.kind == Item::Kind::kEnd;
    // Nothing thrown on this thread may end the process: memory running out
    // in the encoder's bookkeeping fails the stream instead.
    try {
      switch (item.kind) {
        case Item::Kind::kBlock:
          if (error_.load() == 0) {
            const int result = isVideo_ ? EncodeVideo(std::move(item.block)) : EncodeAudio(std::move(item.block));
            if (result < 0) Fail(result);
          }
          break;
        case Item::Kind::kMarker:
          if (onMarker_) onMarker_(item.context);
          break;
        case Item::Kind::kEnd:
          if (error_.load() == 0) {
            int result = isVideo_ ? 0 : SendAudioFrames(true);
            if (result >= 0) result = SendFrame(nullptr);
            if (result < 0) Fail(result);
          }
          break;
      }
    } catch (const std::bad_alloc&) {
      Fail(AVERROR(ENOMEM));
    } catch (...) {
      Fail(AVERROR_BUG);
    }
    item.block.Release();
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
    if (end) finished_ = true;
    if (queue_.empty() || end) idle_.notify_all();
    if (end) {
      notFull_.notify_all();
      return;
    }
  }
}

int AvStreamEncoder::EncodeVideo(InputBlock block) {
  const int width = video_.width;
  const int height = video_.height;
  const size_t lumaSize = static_cast<size_t>(width) * height;
  if (block.size() < VideoImageSize(video_.input, width, height)) return AVERROR(EINVAL);
  const int64_t time100ns = block.time100ns();
  const bool warmUp = block.warmUp;
  // The sink writer lets only strictly increasing times through.
  if (warmUpPictures_ > 0 && picturesCounted_ == warmUpPictures_ && !overshootSettled_) SettleWarmUp();
  const int64_t pts = countsPictures_ ? picturesCounted_++ : block.streamTime;
  if (!picturesInEncoder_.emplace(pts, PictureTimes{block.streamTime, block.streamDuration, block.warmUp}).second) {
    return AVERROR_BUG;
  }
  if (!countsPictures_) {
    try {
      timesInOrder_.push_back(block.streamTime);
      if (leadTimes_.size() < kReorderWindow) leadTimes_.push_back(block.streamTime);
    } catch (...) {
      picturesInEncoder_.erase(pts);
      throw;
    }
  }

  const FramePtr frame(av_frame_alloc());
  if (!frame) return AVERROR(ENOMEM);
  uint8_t* base = const_cast<uint8_t*>(block.data());
  frame->format = codec_->pix_fmt;
  frame->width = width;
  frame->height = height;
  frame->pts = pts;
  frame->sample_aspect_ratio = {1, 1};
  if (block.forceKeyFrame) {
    frame->pict_type = AV_PICTURE_TYPE_I;
    keyFramePts_.push_back(pts);
  }
  switch (video_.input) {
    case VideoInputFormat::kYV12:  // Y, then V, then U
      frame->data[0] = base;
      frame->data[2] = base + lumaSize;
      frame->data[1] = base + lumaSize + lumaSize / 4;
      frame->linesize[0] = width;
      frame->linesize[1] = frame->linesize[2] = width / 2;
      break;
    case VideoInputFormat::kI420:  // Y, then U, then V
      frame->data[0] = base;
      frame->data[1] = base + lumaSize;
      frame->data[2] = base + lumaSize + lumaSize / 4;
      frame->linesize[0] = width;
      frame->linesize[1] = frame->linesize[2] = width / 2;
      break;
    case VideoInputFormat::kNV12:  // Y, then interleaved U/V
      frame->data[0] = base;
      frame->data[1] = base + lumaSize;
      frame->linesize[0] = frame->linesize[1] = width;
      break;
  }
  // The frame references the caller's picture; the block is released when
  // the encoder drops its last reference to the frame.
  frame->buf[0] = block.ToBuffer();
  if (!frame->buf[0]) return AVERROR(ENOMEM);
  const int result = SendFrame(frame.get());
  if (warmUp) return result;
  counters_->samplesEncoded++;
  counters_->lastTimeEncoded = time100ns;
  return result;
}

void AvStreamEncoder::SettleWarmUp() {
  // The encoder's rate control wants bit_rate / fps bits per picture on
  // the time line of the pictures' times, and pays back what it spent over
  // that by starving the pictures after. What the warm-up overspent is not
  // in the file: the lane's time line moves on by the pictures it would buy.
  overshootSettled_ = true;
  const double perPicture = static_cast<double>(codec_->bit_rate) * av_q2d(codec_->time_base);
  const double over = static_cast<double>(warmUpBits_) - warmUpPictures_ * perPicture;
  if (perPicture <= 0 || over <= 0) return;
  picturesCounted_ += std::min<int64_t>(std::llround(over / perPicture), int64_t{1} << 30);
}

int AvStreamEncoder::EncodeAudio(InputBlock block) {
  const int channels = audio_.channels;
  const int blockAlign = PcmBlockAlign(audio_.input, channels);
  int frames = static_cast<int>(std::min<size_t>(block.size() / blockAlign, INT32_MAX / 8));
  const int64_t blockStart = block.streamTime;
  int skip = 0;  // samples at the start of the block that the file already has
  if (!audioAnchored_) {
    // Later times follow from the number of samples written.
    audioStartSample_ = blockStart;
    audioAnchored_ = true;
  } else {
    // Blocks follow on directly, whatever the rounding of their times, as
    // long as the samples written stay within one encoder frame of the
    // host's times: a host clock that runs faster than the sample clock
    // leaves gaps, filled with silence; one that runs slower makes the
    // sound run ahead, and the samples that overlap what was written are
    // dropped. Either way the block then starts at its time.
    const int64_t reached = audioStartSample_ + audioSamplesSent_ + av_audio_fifo_size(fifo_.get());
    const int64_t gap = blockStart - reached;
    if (gap > audioFrameSize_ && gap <= int64_t{audio_.sampleRate} * kMaxAudioGapSeconds) {
      const int result = FillAudioGap(gap);
      if (result < 0) return result;
    } else if (-gap > audioFrameSize_) {
      skip = static_cast<int>(std::min<int64_t>(-gap, frames));
    }
  }
  if (frames > skip) {
    const uint8_t* input = block.data() + static_cast<size_t>(skip) * blockAlign;
    frames -= skip;
    if (audio_.input == PcmFormat::kS24) {
      // Widen packed 24-bit samples into the top of 32-bit ones.
      const size_t needed = static_cast<size_t>(frames) * channels * 4;
      if (convertScratchSize_ < needed) {
        convertScratch_.reset(static_cast<uint8_t*>(av_malloc(needed)));
        convertScratchSize_ = convertScratch_ ? needed : 0;
        if (!convertScratch_) return AVERROR(ENOMEM);
      }
      const uint8_t* source = input;
      uint32_t* target = reinterpret_cast<uint32_t*>(convertScratch_.get());
      for (size_t i = 0, count = static_cast<size_t>(frames) * channels; i < count; ++i, source += 3) {
        target[i] = (uint32_t{source[0]} << 8) | (uint32_t{source[1]} << 16) | (uint32_t{source[2]} << 24);
      }
      input = convertScratch_.get();
    }
    int result = av_audio_fifo_realloc(fifo_.get(), av_audio_fifo_size(fifo_.get()) + frames);
    if (result < 0) return result;
    uint8_t** allocated = nullptr;
    result = av_samples_alloc_array_and_samples(&allocated, nullptr, channels, frames, codec_->sample_fmt, 0);
    if (result < 0) return result;
    const SamplePlanesPtr planes(allocated);
    result = swr_convert(resampler_.get(), planes.get(), frames, &input, frames);
    if (result > 0) result = av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(planes.get()), result);
    if (result < 0) return result;
  }
  counters_->samplesEncoded++;
  counters_->lastTimeEncoded = block.time100ns();
  block.Release();  // the PCM now lives in the FIFO
  return SendAudioFrames(false);
}

int AvStreamEncoder::FillAudioGap(int64_t samples) {
  if (!silence_) {
    uint8_t** allocated = nullptr;
    int result = av_samples_alloc_array_and_samples(&allocated, nullptr, audio_.channels, audioFrameSize_,
                                                    codec_->sample_fmt, 0);
    if (result < 0) return result;
    silence_.reset(allocated);
    av_samples_set_silence(silence_.get(), 0, audioFrameSize_, audio_.channels, codec_->sample_fmt);
  }
  while (samples > 0) {
    const int chunk = static_cast<int>(std::min<int64_t>(samples, audioFrameSize_));
    int result = av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(silence_.get()), chunk);
    if (result < 0) return result;
    samples -= chunk;
    result = SendAudioFrames(false);
    if (result < 0) return result;
  }
  return 0;
}

int AvStreamEncoder::SendAudioFrames(bool final) {
  const bool smallLast = (codec_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
  for (;;) {
    const int available = av_audio_fifo_size(fifo_.get());
    if (available <= 0 || (available < audioFrameSize_ && !final)) return 0;
    const int take = std::min(available, audioFrameSize_);
    const FramePtr frame(av_frame_alloc());
    if (!frame) return AVERROR(ENOMEM);
    // The last block of an encoder with fixed frames is padded with silence.
    frame->nb_samples = take < audioFrameSize_ && !smallLast ? audioFrameSize_ : take;
    frame->format = codec_->sample_fmt;
    frame->sample_rate = codec_->sample_rate;
    int result = av_channel_layout_copy(&frame->ch_layout, &codec_->ch_layout);
    if (result >= 0) result = av_frame_get_buffer(frame.get(), 0);
    if (result >= 0) result = av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->data), take);
    if (result >= 0 && frame->nb_samples > take) {
      av_samples_set_silence(frame->data, take, frame->nb_samples - take, frame->ch_layout.nb_channels,
                             codec_->sample_fmt);
    }
    if (result >= 0) {
      frame->pts = audioStartSample_ + audioSamplesSent_;
      audioSamplesSent_ += frame->nb_samples;
      result = SendFrame(frame.get());
    }
    if (result < 0) return result;
  }
}

int AvStreamEncoder::SendFrame(AVFrame* frame) {
  int result = avcodec_send_frame(codec_.get(), frame);
  if (result < 0) return result;
  for (;;) {
    result = avcodec_receive_packet(codec_.get(), packet_.get());
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return 0;
    if (result < 0) return result;
    // A GOP that a lane starts must start with a key frame, or joining the
    // lanes' GOPs would break the stream.
    while (!keyFramePts_.empty() && keyFramePts_.front() <= packet_->pts) {
      const bool mustBeKey = keyFramePts_.front() == packet_->pts;
      keyFramePts_.pop_front();
      if (mustBeKey && !(packet_->flags & AV_PKT_FLAG_KEY)) {
        av_packet_unref(packet_.get());
        return AVERROR_BUG;
      }
    }
    if (warmUpPictures_ > 0 && packet_->pts < warmUpPictures_) warmUpBits_ += int64_t{packet_->size} * 8;
    if (isVideo_) {
      // The picture's own time and duration (the encoders keep no duration
      // of their own); reordering encoders bring their decoding times.
      const auto picture = picturesInEncoder_.find(packet_->pts);
      if (picture == picturesInEncoder_.end()) {
        av_packet_unref(packet_.get());
        return AVERROR_BUG;
      }
      if (picture->second.warmUp) {
        picturesInEncoder_.erase(picture);
        av_packet_unref(packet_.get());
        continue;
      }
      packet_->pts = picture->second.time;
      packet_->dts = countsPictures_ ? packet_->pts : DecodingTime(packet_->dts, packet_->pts);
      packet_->duration = picture->second.duration;
      picturesInEncoder_.erase(picture);
    } else if (packet_->duration <= 0) {
      packet_->duration = audioFrameSize_;
    }
    const int64_t time100ns = av_rescale_q(packet_->pts, packet_time_base(), k100ns);
    const int64_t bytes = packet_->size;
    result = sink_->WritePacket(packet_.get(), sinkIndex_);
    if (result < 0) return result;
    counters_->samplesProcessed++;
    counters_->bytesProcessed += static_cast<uint64_t>(bytes);
    counters_->lastTimeProcessed = time100ns;
  }
}

}  // namespace kx::av
