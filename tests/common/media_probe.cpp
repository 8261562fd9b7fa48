#include "media_probe.h"

#include <cmath>
#include <cstdio>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

namespace kx::test {

const StreamReport* FileReport::Find(AVMediaType type) const {
  for (const StreamReport& stream : streams) {
    if (stream.type == type) return &stream;
  }
  return nullptr;
}

int64_t FileReport::DecodedFrames(AVMediaType type) const {
  int64_t frames = 0;
  for (const StreamReport& stream : streams) frames += stream.type == type ? stream.decodedFrames : 0;
  return frames;
}

namespace {

template <auto Free>
struct FreeThrough {
  template <typename T>
  void operator()(T* object) const { Free(&object); }
};
using InputPtr = std::unique_ptr<AVFormatContext, FreeThrough<avformat_close_input>>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, FreeThrough<avcodec_free_context>>;
using PacketPtr = std::unique_ptr<AVPacket, FreeThrough<av_packet_free>>;
using FramePtr = std::unique_ptr<AVFrame, FreeThrough<av_frame_free>>;

struct Decoder {
  CodecContextPtr context;
  double sumSquares = 0;
  int64_t squaredCount = 0;
};

double PlaneMean(const AVFrame* frame, int plane, int width, int height) {
  double sum = 0;
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = frame->data[plane] + static_cast<ptrdiff_t>(y) * frame->linesize[plane];
    for (int x = 0; x < width; ++x) sum += row[x];
  }
  return width * height > 0 ? sum / (width * height) : 0;
}

void TakeFrame(StreamReport& report, Decoder& decoder, const AVFrame* frame) {
  report.decodedFrames++;
  if (report.type == AVMEDIA_TYPE_VIDEO) {
    if (frame->format == AV_PIX_FMT_YUV420P) report.lumaMeans.push_back(PlaneMean(frame, 0, frame->width, frame->height));
    if (report.decodedFrames == 1 && frame->format == AV_PIX_FMT_YUV420P) {
      report.meanY = PlaneMean(frame, 0, frame->width, frame->height);
      report.meanU = PlaneMean(frame, 1, frame->width / 2, frame->height / 2);
      report.meanV = PlaneMean(frame, 2, frame->width / 2, frame->height / 2);
    }
    return;
  }
  report.decodedSamples += frame->nb_samples;
  if (frame->format == AV_SAMPLE_FMT_FLTP) {
    for (int c = 0; c < frame->ch_layout.nb_channels; ++c) {
      const float* samples = reinterpret_cast<const float*>(frame->extended_data[c]);
      for (int i = 0; i < frame->nb_samples; ++i) decoder.sumSquares += double{samples[i]} * samples[i];
      decoder.squaredCount += frame->nb_samples;
    }
  }
}

void Drain(StreamReport& report, Decoder& decoder, AVFrame* frame) {
  for (;;) {
    const int result = avcodec_receive_frame(decoder.context.get(), frame);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
    if (result < 0) {
      report.decodeErrors++;
      return;
    }
    TakeFrame(report, decoder, frame);
    av_frame_unref(frame);
  }
}

}  // namespace

FileReport ReadMediaFile(const std::string& path) {
  FileReport report;
  AVFormatContext* opened = nullptr;
  const int result = avformat_open_input(&opened, path.c_str(), nullptr, nullptr);
  const InputPtr input(opened);
  AVFormatContext* format = input.get();
  if (result < 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(result, text, sizeof text);
    report.error = text;
    return report;
  }
  if (avformat_find_stream_info(format, nullptr) < 0) {
    report.error = "no stream information";
    return report;
  }
  report.opened = true;
  report.containerName = format->iformat->name;
  report.durationSeconds = format->duration > 0 ? format->duration / double{AV_TIME_BASE} : 0;

  std::vector<Decoder> decoders(format->nb_streams);
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodecParameters* parameters = format->streams[i]->codecpar;
    StreamReport stream;
    stream.type = parameters->codec_type;
    stream.codec = parameters->codec_id;
    stream.codecName = avcodec_get_name(parameters->codec_id);
    stream.width = parameters->width;
    stream.height = parameters->height;
    stream.sampleRate = parameters->sample_rate;
    stream.channels = parameters->ch_layout.nb_channels;
    const AVStream* st = format->streams[i];
    if (st->duration > 0) stream.durationSeconds = st->duration * av_q2d(st->time_base);
    stream.firstPts = INFINITY;
    stream.lastPts = -INFINITY;
    report.streams.push_back(stream);
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec) continue;
    decoders[i].context.reset(avcodec_alloc_context3(codec));
    if (avcodec_parameters_to_context(decoders[i].context.get(), parameters) < 0 ||
        avcodec_open2(decoders[i].context.get(), codec, nullptr) < 0) {
      decoders[i].context.reset();
    }
  }

  const PacketPtr packetOwner(av_packet_alloc());
  const FramePtr frameOwner(av_frame_alloc());
  AVPacket* packet = packetOwner.get();
  AVFrame* frame = frameOwner.get();
  while (av_read_frame(format, packet) >= 0) {
    const unsigned index = static_cast<unsigned>(packet->stream_index);
    StreamReport& stream = report.streams[index];
    stream.packets++;
    const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (ts != AV_NOPTS_VALUE) {
      const double seconds = ts * av_q2d(format->streams[index]->time_base);
      stream.firstPts = std::min(stream.firstPts, seconds);
      stream.lastPts = std::max(stream.lastPts, seconds);
      stream.packetPts.push_back(seconds);
    }
    if (decoders[index].context) {
      if (avcodec_send_packet(decoders[index].context.get(), packet) < 0) stream.decodeErrors++;
      Drain(stream, decoders[index], frame);
    }
    av_packet_unref(packet);
  }
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (!decoders[i].context) {
      report.streams[i].decodeErrors++;
      continue;
    }
    avcodec_send_packet(decoders[i].context.get(), nullptr);
    Drain(report.streams[i], decoders[i], frame);
    if (decoders[i].squaredCount > 0) {
      report.streams[i].audioRms = std::sqrt(decoders[i].sumSquares / decoders[i].squaredCount);
    }
  }
  return report;
}

std::string RunCommand(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

std::string Exiftool(const std::string& path, const std::string& arguments) {
  return RunCommand("exiftool -s3 " + arguments + " '" + path + "'");
}

}  // namespace kx::test
