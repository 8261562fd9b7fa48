// AvMuxer: one output file written by a libavformat muxer.
//
// The container side of the sink writer, kept apart from encoding so that a
// writer of ready compressed packets (an ASF media sink) can use it too.
// Streams are added from codec parameters, then the header is written; from
// then on any thread may hand packets in, and the muxer interleaves the
// packets of all streams by time. Finish writes the trailer (ASF index and
// header sizes, MP4 moov) and closes the file. Destruction without Finish
// still finishes, so whatever was written stays playable.
//
// The file itself is opened only by WriteHeader: a writer that is refused
// while it is being configured leaves whatever was at the path untouched.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "av_owners.h"

namespace kx::av {

enum class ContainerKind { kAsf, kMp4 };

// The container for a file name's extension (case-insensitive): .wmv .wma
// .asf give ASF, .mp4 .m4v .m4a give MP4. False for any other name.
bool ContainerFromPath(const std::string& path, ContainerKind* kind);

// True when the container can hold a stream of this codec.
bool ContainerCanHold(ContainerKind kind, AVCodecID codecId);

// The time base in which the container keeps video times: ASF keeps
// milliseconds; MP4 gets 90 kHz, which holds the usual frame rates exactly
// and gaps of hours in its 32-bit sample durations.
AVRational VideoTimeBase(ContainerKind kind);

// Pictures an encoder may reorder across, with its decoding delay (x264
// and x265 take fewer than this): a picture's composition offset, the
// distance from its decoding time to its time, is at most the span of this
// many pictures in a row.
inline constexpr int kReorderWindow = 16;

// True when the container can hold a packet at `time` (in `timeBase`) of a
// stream whose previous packet is at `previous` (null: the first) and whose
// earliest of its last kReorderWindow - 1 pictures is at `windowStart`
// (null: a stream without pictures so far, or not a video stream): times start at zero;
// ASF keeps 32-bit milliseconds shifted by its preroll, MP4 keeps 32-bit
// steps from sample to sample and composition offsets below 2^28 ticks.
bool ContainerHoldsTime(ContainerKind kind, AVRational timeBase, int64_t time, const int64_t* previous,
                        const int64_t* windowStart);

// Where an encoder hands its packets: the muxer, or a stage in front of it.
class PacketSink {
 public:
  // Takes the packet's data (the packet is left blank). Thread-safe.
  virtual int WritePacket(AVPacket* packet, int index) = 0;

 protected:
  ~PacketSink() = default;
};

// What an MP4 muxer writing only an index keeps of its output: the bytes at
// the start (the file type) and those from `tailFrom` on (the trailer).
struct PlainIndexOutput {
  int64_t position = 0, end = 0, tailFrom = INT64_MAX;
  std::string head, tail;
};

class AvMuxer final : public PacketSink {
 public:
  ~AvMuxer();
  AvMuxer(const AvMuxer&) = delete;
  AvMuxer& operator=(const AvMuxer&) = delete;

  // A muxer for a file at `path` (UTF-8). The file is not touched yet; a
  // path that cannot be written (missing or read-only folder, a folder at
  // the path, a read-only file) is refused here with AVERROR(errno), as an
  // open would refuse it.
  static int Create(const std::string& path, ContainerKind kind, std::unique_ptr<AvMuxer>* out);

  // Adds a stream; packets for it will arrive in `packetTimeBase`. The
  // container picks the codec tag unless `keepCodecTag` (a writer of ready
  // packets keeps the FourCC or wave format tag its caller gave).
  int AddStream(const AVCodecParameters* parameters, AVRational packetTimeBase, int* index,
                bool keepCodecTag = false);
  // Writes times as given, including times before zero, instead of shifting
  // every stream so that the earliest decoding time is zero. Before the
  // header is written.
  void KeepTimesAsGiven();
  // Opens (creates or truncates) the file and writes the header. The file is
  // a local file under the name given, held locked (flock) until Finish: a
  // path another writer holds is refused with AVERROR(EBUSY), untouched.
  int WriteHeader();
  // The time base the container keeps a stream's times in (known once the
  // header is written).
  AVRational StreamTimeBase(int index);

  // Packet times are in the stream's `packetTimeBase`.
  int WritePacket(AVPacket* packet, int index) override;

  // Trailer and close; safe to call more than once (later calls return the
  // first result).
  int Finish();

  int stream_count() const { return static_cast<int>(packetTimeBases_.size()); }
  bool header_written() const { return headerWritten_; }

 private:
  AvMuxer() = default;

  std::mutex mutex_;
  OutputFormatPtr format_;
  std::string path_;
  int fd_ = -1;
  std::vector<AVRational> packetTimeBases_;
  // Per stream: bytes written and the span of the packets' times (in the
  // container's time base), for the rate of a stream whose type gave none.
  struct Written {
    int64_t bytes = 0, start = INT64_MAX, end = INT64_MIN;
  };
  std::vector<Written> written_;
  void FillMissingBitRates();
  // ASF: where the header's counts and sizes are, found once the header is
  // written, and the media time they were last brought up to date at.
  struct AsfFields {
    int64_t fileProperties = 0, dataObject = 0, dataStart = 0, packetSize = 0, refreshedUntil = 0;
  };
  AsfFields asf_;
  void FindAsfFields();
  void RefreshAsfHeader();
  // MP4: the plain layout's muxer, fed the same packets, keeping only what
  // it writes at the start (the file type) and at the end (the moov).
  OutputFormatPtr plain_;
  PlainIndexOutput plainIndex_;
  PacketPtr plainPacket_;
  void WritePlainIndex(const AVPacket* packet, int index);
  void DropPlainIndex();
  // Turns the fragmented MP4 into a plain one in place (mp4_hybrid.h).
  int FinishPlainMp4();
  bool headerWritten_ = false;
  bool finished_ = false;
  int finishResult_ = 0;
  int firstWriteError_ = 0;
};

}  // namespace kx::av
