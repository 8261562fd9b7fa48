// The packets of a media file through libavformat.
#include <climits>
#include <cstdarg>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include "error.h"
#include "os.h"
#include "plugin.h"
#include "packets.h"
#include "sources.h"

namespace kxhost {
namespace {

std::string AvErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

uint32_t Clamped(int64_t value) { return value <= 0 ? 0 : value >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value); }

// The tag ASF stores for the stream: the container's own, else the one the
// RIFF tables give its codec (a file from another container).
uint32_t TagOf(const AVCodecParameters* parameters) {
  if (parameters->codec_tag != 0) return parameters->codec_tag;
  const AVCodecTag* const tables[] = {parameters->codec_type == AVMEDIA_TYPE_VIDEO ? avformat_get_riff_video_tags()
                                                                                    : avformat_get_riff_audio_tags(),
                                      nullptr};
  unsigned int tag = 0;
  return av_codec_get_tag2(tables, parameters->codec_id, &tag) != 0 ? tag : 0;
}

// Every path is a local file, whatever its name looks like, and a signal
// ends a read that waits.
AVFormatContext* NewFormatContext() {
  AVFormatContext* format = avformat_alloc_context();
  if (format != nullptr) format->interrupt_callback = AVIOInterruptCB{[](void*) { return Interrupted() ? 1 : 0; }, nullptr};
  return format;
}
std::string FileUrl(const std::string& path) { return "file:" + path; }

struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FormatClose {
  void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};

// Whether a packet among the first of stream `index` in `path`, in stored
// order, has a time earlier than one before it (libavformat gives some
// containers' reordered video in display order, others in stored order).
bool TimesGoBack(const std::string& path, unsigned index) {
  AVFormatContext* opening = NewFormatContext();
  if (avformat_open_input(&opening, FileUrl(path).c_str(), nullptr, nullptr) < 0) return false;
  const std::unique_ptr<AVFormatContext, FormatClose> format(opening);
  const std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  int64_t last = INT64_MIN;
  for (int seen = 0; packet != nullptr && seen < 256 && av_read_frame(format.get(), packet.get()) >= 0;) {
    const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (static_cast<unsigned>(packet->stream_index) == index && time != AV_NOPTS_VALUE) {
      if (time < last) return true;
      last = time, ++seen;
    }
    av_packet_unref(packet.get());
  }
  return false;
}

class AvPacketSource final : public PacketSource {
 public:
  explicit AvPacketSource(const std::string& path)
      : path_(path), packet_(av_packet_alloc()), ahead_(av_packet_alloc()) {
    if (packet_ == nullptr || ahead_ == nullptr) throw HostError(kExitInputUnreadable, "out of memory reading " + path);
    AVFormatContext* opening = NewFormatContext();
    const int opened = avformat_open_input(&opening, FileUrl(path).c_str(), nullptr, nullptr);
    format_.reset(opening);
    if (Interrupted()) throw HostError(kExitInterrupted, "interrupted");
    if (opened == AVERROR_INVALIDDATA) {
      throw HostError(kExitInputMalformed, path + " is no media file libavformat reads (at byte offset 0)");
    }
    if (opened < 0) throw HostError(kExitInputUnreadable, "cannot open " + path + ": " + AvErrorText(opened));
    const int probed = avformat_find_stream_info(format_.get(), nullptr);
    if (probed < 0) throw Malformed("its stream formats cannot be read: " + AvErrorText(probed));
    if (format_->duration > 0) durationSeconds = double(format_->duration) / AV_TIME_BASE;
    const int64_t declared = AsfDeclaredSize(path), size = avio_size(format_->pb);
    if (size >= 0 && declared > size) cutAtByte = size, declaredBytes = declared;
    keptIndex_.assign(format_->nb_streams, -1);
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      const AVStream* stream = format_->streams[i];
      const AVCodecParameters* parameters = stream->codecpar;
      const char* name = avcodec_get_name(parameters->codec_id);
      if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;  // a cover picture: metadata, not a stream
      if (parameters->codec_type != AVMEDIA_TYPE_VIDEO && parameters->codec_type != AVMEDIA_TYPE_AUDIO) {
        throw HostError(kExitCodec, path + ": stream " + std::to_string(i) + " (" + name +
                                        ") is neither video nor audio; remux carries one video and one audio stream");
      }
      StreamFormat format;
      format.video = parameters->codec_type == AVMEDIA_TYPE_VIDEO;
      format.codecName = name;
      format.codecTag = TagOf(parameters);
      if (format.codecTag == 0) {
        throw HostError(kExitCodec, path + ": stream " + std::to_string(i) + " (" + name + ") has no " +
                                        (format.video ? "FourCC" : "wave format tag") + " an ASF file can store");
      }
      format.bitsPerSecond = Clamped(parameters->bit_rate);
      if (format.video) {
        format.width = Clamped(parameters->width);
        format.height = Clamped(parameters->height);
        const AVRational rate = stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0 ? stream->avg_frame_rate
                                                                                                 : stream->r_frame_rate;
        if (rate.num > 0 && rate.den > 0) format.rateNumerator = Clamped(rate.num), format.rateDenominator = Clamped(rate.den);
        const AVRational aspect = stream->sample_aspect_ratio.num > 0 ? stream->sample_aspect_ratio
                                                                     : parameters->sample_aspect_ratio;
        if (aspect.num > 0 && aspect.den > 0) {
          format.aspectNumerator = Clamped(aspect.num), format.aspectDenominator = Clamped(aspect.den);
        }
      } else {
        format.channels = Clamped(parameters->ch_layout.nb_channels);
        format.sampleRate = Clamped(parameters->sample_rate);
        format.blockAlign = Clamped(parameters->block_align);
        format.bitsPerSample = Clamped(parameters->bits_per_coded_sample);
      }
      format.reordered = format.video && parameters->video_delay > 0 && TimesGoBack(path, i);
      if (parameters->extradata_size > 0) {
        format.codecPrivateData.assign(parameters->extradata, parameters->extradata + parameters->extradata_size);
      }
      keptIndex_[i] = static_cast<int>(streams.size());
      streams.push_back(std::move(format));
    }
  }
  bool Next(Packet& packet) override {
    if (cutAtByte == 0) return Read(packet_.get()) && Fill(packet);
    // A cut file is read one packet ahead: the last packet, when it was read
    // at the end of the file, ran into the cut.
    if (!started_) started_ = true, ReadAhead();
    if (!haveAhead_) return false;
    av_packet_unref(packet_.get());
    av_packet_move_ref(packet_.get(), ahead_.get());
    const bool atEnd = aheadAtEnd_;
    ReadAhead();
    if (!haveAhead_ && atEnd) {
      lastLeftOut = true;
      return false;
    }
    return Fill(packet);
  }

 private:
  // The next packet of a kept stream into `into`; false at the end.
  bool Read(AVPacket* into) {
    for (;;) {
      av_packet_unref(into);
      const int read = av_read_frame(format_.get(), into);
      if (read == AVERROR_EOF) return false;
      if (Interrupted()) throw HostError(kExitInterrupted, "interrupted");
      if (read < 0) throw Malformed("reading a packet failed: " + AvErrorText(read));
      if (keptIndex_.at(static_cast<size_t>(into->stream_index)) >= 0) return true;
    }
  }
  void ReadAhead() {
    haveAhead_ = Read(ahead_.get());
    aheadAtEnd_ = avio_feof(format_->pb) != 0;
  }
  bool Fill(Packet& packet) const {
    const AVStream* stream = format_->streams[packet_->stream_index];
    const int64_t time = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
    if (time == AV_NOPTS_VALUE) throw Malformed("a packet of stream " + std::to_string(packet_->stream_index) + " has no time");
    constexpr AVRational k100ns{1, 10000000};
    packet = Packet{.stream = static_cast<size_t>(keptIndex_.at(static_cast<size_t>(packet_->stream_index))),
                    .data = packet_->data, .bytes = static_cast<uint32_t>(packet_->size),
                    .time100ns = av_rescale_q(time, stream->time_base, k100ns),
                    .duration100ns = packet_->duration > 0 ? av_rescale_q(packet_->duration, stream->time_base, k100ns) : 0};
    return true;
  }

  HostError Malformed(const std::string& what) const {
    const int64_t offset = format_ != nullptr && format_->pb != nullptr ? avio_tell(format_->pb) : 0;
    return HostError(kExitInputMalformed, path_ + ": " + what + " (at byte offset " + std::to_string(offset) + ")");
  }

  std::string path_;
  std::unique_ptr<AVPacket, PacketFree> packet_, ahead_;
  bool started_ = false, haveAhead_ = false, aheadAtEnd_ = false;
  std::unique_ptr<AVFormatContext, FormatClose> format_;
  std::vector<int> keptIndex_;  // the file's stream index -> streams' index, -1 when skipped
};

}  // namespace

void RouteLibraryLog() {
  av_log_set_callback([](void* object, int level, const char* format, va_list arguments) {
    if (level > av_log_get_level()) return;
    char line[1024];
    int printPrefix = 1;
    av_log_format_line2(object, level, format, arguments, line, sizeof line, &printPrefix);
    LogRecords::Instance().Add(line);
  });
}

bool ReadBack(const std::string& path, FileContents& contents, std::string& error, bool& available) {
  available = true;
  AVFormatContext* opening = NewFormatContext();
  int result = avformat_open_input(&opening, FileUrl(path).c_str(), nullptr, nullptr);
  const std::unique_ptr<AVFormatContext, FormatClose> format(opening);
  const std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  if (result >= 0) result = avformat_find_stream_info(format.get(), nullptr);
  if (result < 0 || packet == nullptr) {
    error = "libavformat cannot read it: " + AvErrorText(result);
    return false;
  }
  std::vector<int64_t*> counters(format->nb_streams, nullptr);
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodecParameters* parameters = format->streams[i]->codecpar;
    if (parameters->codec_type == AVMEDIA_TYPE_VIDEO && !(format->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      ++contents.videoStreams, counters[i] = &contents.videoPackets;
    } else if (parameters->codec_type == AVMEDIA_TYPE_AUDIO) {
      ++contents.audioStreams, counters[i] = &contents.audioPackets;
    }
  }
  while ((result = av_read_frame(format.get(), packet.get())) >= 0) {
    if (int64_t* counter = counters.at(static_cast<size_t>(packet->stream_index))) ++*counter;
    av_packet_unref(packet.get());
  }
  if (result != AVERROR_EOF) error = "reading its packets failed: " + AvErrorText(result);
  return result == AVERROR_EOF;
}

std::unique_ptr<PacketSource> OpenPackets(const std::string& path) {
  return std::make_unique<AvPacketSource>(path);
}

}  // namespace kxhost
