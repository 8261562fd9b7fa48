// AvStreamEncoder: one stream's encoder running on its own worker thread.
//
// The caller pushes input blocks (one picture, or a run of interleaved PCM)
// that still live in the caller's memory; the encoder references them
// instead of copying and releases each one when it no longer needs it. The
// queue in front of the worker is bounded: Push blocks while it is full, so
// memory stays flat however fast the caller produces. Compressed packets go
// to an AvMuxer, which interleaves the streams.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <thread>
#include <vector>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

#include "av_muxer.h"
#include "av_owners.h"

namespace kx::av {

// Caller memory handed to an encoder. `release(owner)` is called exactly once
// when the encoder lets go of it, on whatever thread that happens.
class InputBlock {
 public:
  InputBlock() = default;
  InputBlock(const uint8_t* data, size_t size, int64_t time100ns, void* owner, void (*release)(void*));
  InputBlock(InputBlock&& other) noexcept { *this = std::move(other); }
  InputBlock& operator=(InputBlock&& other) noexcept;
  InputBlock(const InputBlock&) = delete;
  InputBlock& operator=(const InputBlock&) = delete;
  ~InputBlock() { Release(); }

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  int64_t time100ns() const { return time100ns_; }
  // The block's time as the file keeps it: for pictures in the stream's
  // time base (VideoEncoderConfig::timeBase), with the picture's duration;
  // for PCM the number of the block's first sample frame.
  int64_t streamTime = 0;
  int64_t streamDuration = 0;
  // A picture that must start a GOP (decided by the stage that splits a
  // stream into GOP lanes).
  bool forceKeyFrame = false;
  // A picture given to a GOP lane only to warm its rate control up: encoded,
  // and its packet dropped.
  bool warmUp = false;
  void Release();
  // Hands ownership to an AVBufferRef whose free callback releases the block.
  AVBufferRef* ToBuffer();

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  int64_t time100ns_ = 0;
  void* owner_ = nullptr;
  void (*release_)(void*) = nullptr;
};

enum class VideoInputFormat { kYV12, kI420, kNV12 };
enum class PcmFormat { kU8, kS16, kS24, kS32, kFloat };

struct VideoEncoderConfig {
  AVCodecID codecId = AV_CODEC_ID_NONE;
  int width = 0;
  int height = 0;
  AVRational frameRate = {0, 1};
  // The time base of the pictures' times and of the packets handed on.
  AVRational timeBase = {0, 1};
  int64_t bitRate = 0;
  VideoInputFormat input = VideoInputFormat::kYV12;
};

struct AudioEncoderConfig {
  AVCodecID codecId = AV_CODEC_ID_NONE;
  int sampleRate = 0;
  int channels = 0;
  int64_t bitRate = 0;
  PcmFormat input = PcmFormat::kS16;
};

// Bytes of one picture of this size in this layout (even sizes only).
size_t VideoImageSize(VideoInputFormat format, int width, int height);
// Bytes per PCM frame (all channels).
int PcmBlockAlign(PcmFormat format, int channels);

// Counters a stream keeps for the sink writer's statistics.
struct StreamCounters {
  std::atomic<int64_t> lastTimeReceived{0};
  std::atomic<int64_t> lastTimeEncoded{0};
  std::atomic<int64_t> lastTimeProcessed{0};
  std::atomic<int64_t> lastTickReceived{0};
  std::atomic<uint64_t> samplesReceived{0};
  std::atomic<uint64_t> samplesEncoded{0};
  std::atomic<uint64_t> samplesProcessed{0};
  std::atomic<uint64_t> ticksReceived{0};
  std::atomic<uint64_t> bytesQueued{0};
  std::atomic<uint64_t> bytesProcessed{0};
};

// Input blocks held by all encoders of the process (queued or referenced by
// an encoder), and the most ever held at once. For tests of bounded memory.
int64_t HeldInputBlocks();
int64_t PeakHeldInputBlocks();
void ResetPeakHeldInputBlocks();

class AvStreamEncoder {
 public:
  AvStreamEncoder();
  ~AvStreamEncoder();
  AvStreamEncoder(const AvStreamEncoder&) = delete;
  AvStreamEncoder& operator=(const AvStreamEncoder&) = delete;

  // The FFmpeg encoder for a codec, or null when there is none.
  static const AVCodec* FindEncoder(AVCodecID codecId);

  // Opens the codec. `globalHeader`: the container wants codec headers out of
  // band. Returns 0 or an AVERROR.
  int OpenVideo(const VideoEncoderConfig& config, bool globalHeader, bool allowLanes = true);
  int OpenAudio(const AudioEncoderConfig& config, bool globalHeader);
  const AVCodecContext* codec() const { return lanes_.empty() ? codec_.get() : lanes_[0]->codec(); }
  size_t lane_count() const { return lanes_.size(); }
  // The time base of the packets this encoder writes.
  AVRational packet_time_base() const { return isVideo_ ? video_.timeBase : codec()->time_base; }
  bool is_video() const { return isVideo_; }

  // Starts the worker (or the lanes), which write packets to `sink` as
  // stream `sinkIndex`.
  // `onMarker` is called on the worker when a marker reaches it. Returns 0
  // or an AVERROR (no memory, no thread); after a failure, Finish and
  // destruction stop whatever did start.
  int Start(PacketSink* sink, int sinkIndex, const std::function<void(void*)>& onMarker);

  // Queues one block; blocks while the queue is full. Returns 0, or the
  // first error of the worker.
  int Push(InputBlock block);
  int PushMarker(void* context);
  // A copy of a picture for a lane's warm-up (empty without memory).
  static InputBlock WarmUpCopy(const InputBlock& block);
  // Drops the blocks still queued (not those the encoder already has).
  void DropQueued();
  // Waits until everything queued so far has reached the encoder.
  void WaitIdle();
  // End of stream: encodes what is queued, drains the encoder and stops the
  // worker. Returns 0 or the first error. Safe to call more than once.
  int Finish();

  StreamCounters& counters() { return *counters_; }
  size_t queued() const;

 private:
  struct Item {
    enum class Kind { kBlock, kMarker, kEnd } kind = Kind::kBlock;
    InputBlock block;
    void* context = nullptr;
  };

  void Run();
  int EncodeVideo(InputBlock block);
  int EncodeAudio(InputBlock block);
  int SendAudioFrames(bool final);
  int FillAudioGap(int64_t samples);
  int SendFrame(AVFrame* frame);
  // The decoding time handed on for the next packet of an encoder that
  // keeps the file's times: the encoder's, unless it cannot be right.
  int64_t DecodingTime(int64_t encoderDts, int64_t pts);
  void Fail(int error);

  CodecContextPtr codec_;
  bool isVideo_ = false;
  VideoEncoderConfig video_;
  AudioEncoderConfig audio_;
  ResamplerPtr resampler_;
  AudioFifoPtr fifo_;
  int audioFrameSize_ = 0;
  bool audioAnchored_ = false;
  int64_t audioStartSample_ = 0;
  int64_t audioSamplesSent_ = 0;
  SamplePlanesPtr silence_;  // one encoder frame of silence, for gaps
  AvMemoryPtr<uint8_t> convertScratch_;
  size_t convertScratchSize_ = 0;
  // Pictures in the encoder: its time stamp -> the picture's time and
  // duration in the file. WMV 7/8 carry their frame rate in the bit stream
  // as the encoder's time base, so they count pictures on a time line of
  // their own (they do not reorder); the other encoders take the file's
  // times as they are and give them back on their packets.
  struct PictureTimes {
    int64_t time = 0;
    int64_t duration = 0;
    bool warmUp = false;
  };
  std::map<int64_t, PictureTimes> picturesInEncoder_;
  bool countsPictures_ = false;
  int64_t picturesCounted_ = 0;
  // A GOP lane's warm-up: its pictures (0: not a lane), their bits, and
  // whether the lane's time line has moved on past what they overspent.
  int warmUpPictures_ = 0;
  int64_t warmUpBits_ = 0;
  bool overshootSettled_ = false;
  void SettleWarmUp();
  PacketPtr packet_;
  // Decoding times of an encoder that keeps the file's times: the times of
  // the pictures given to it, in order, from picture k - (kReorderWindow - 1)
  // for the next packet k; the first kReorderWindow times; the packets out
  // so far and the last one's decoding time.
  std::deque<int64_t> timesInOrder_;
  std::vector<int64_t> leadTimes_;
  size_t packetsOut_ = 0;
  bool anyPacketOut_ = false;
  int64_t lastDts_ = 0;

  PacketSink* sink_ = nullptr;
  int sinkIndex_ = -1;
  std::function<void(void*)> onMarker_;
  std::thread worker_;
  bool started_ = false;
  bool finished_ = false;
  bool endRequested_ = false;  // Finish was called: the worker ends when the queue is empty

  mutable std::mutex mutex_;
  std::condition_variable notFull_;
  std::condition_variable notEmpty_;
  std::condition_variable idle_;
  std::deque<Item> queue_;
  bool busy_ = false;
  int depth_ = 1;
  std::atomic<int> error_{0};
  StreamCounters ownCounters_;
  StreamCounters* counters_ = &ownCounters_;

  // An encoder without threads of its own whose pictures depend only on
  // their GOP (WMV 7/8) is run as several lanes, each encoding whole GOPs
  // on its own worker; the order stage puts their packets back in order.
  class OrderStage;
  std::vector<std::unique_ptr<AvStreamEncoder>> lanes_;
  std::unique_ptr<OrderStage> order_;
  int gopSize_ = 0;
  int64_t framesPushed_ = 0;
  size_t currentLane_ = 0;
  std::deque<int64_t> keyFramePts_;  // a lane's forced key frames not yet out
  // The first pictures, held until every lane has its warm-up copies.
  std::vector<InputBlock> heldFirstGop_;
  bool firstGopReleased_ = false;
  int ReleaseFirstGop();
  void BalanceLastGop();
  std::mutex pushMutex_;              // orders the pushes into the lanes
};

}  // namespace kx::av
