#include "media_probe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

namespace kx::test {

const StreamReport* FileReport::Find(AVMediaType type) const {
  const auto found = std::find_if(streams.begin(), streams.end(), [&](const StreamReport& s) { return s.type == type; });
  return found == streams.end() ? nullptr : &*found;
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
template <typename T, auto Free>
using Owned = std::unique_ptr<T, FreeThrough<Free>>;

struct Decoder {
  Owned<AVCodecContext, avcodec_free_context> context;
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

// Takes every picture or block of sound the decoder has ready.
void Drain(StreamReport& report, Decoder& decoder, AVFrame* frame, const std::function<void(const AVFrame&)>& picture) {
  int result;
  for (; (result = avcodec_receive_frame(decoder.context.get(), frame)) >= 0; av_frame_unref(frame)) {
    report.decodedFrames++;
    const bool video = report.type == AVMEDIA_TYPE_VIDEO;
    if (video && picture) picture(*frame);
    report.decodedSamples += video ? 0 : frame->nb_samples;
    if (video && frame->format == AV_PIX_FMT_YUV420P) {
      report.lumaMeans.push_back(PlaneMean(frame, 0, frame->width, frame->height));
      if (report.decodedFrames > 1) continue;
      report.meanU = PlaneMean(frame, 1, frame->width / 2, frame->height / 2);
      report.meanV = PlaneMean(frame, 2, frame->width / 2, frame->height / 2);
    }
    for (int c = 0; !video && frame->format == AV_SAMPLE_FMT_FLTP && c < frame->ch_layout.nb_channels; ++c) {
      const auto* samples = reinterpret_cast<const float*>(frame->extended_data[c]);
      for (int i = 0; i < frame->nb_samples; ++i) decoder.sumSquares += double{samples[i]} * samples[i];
      decoder.squaredCount += frame->nb_samples;
    }
  }
  report.decodeErrors += result != AVERROR(EAGAIN) && result != AVERROR_EOF;
}

}  // namespace

FileReport ReadMediaFile(const std::string& path, const std::function<void(const AVFrame&)>& picture) {
  FileReport report;
  AVFormatContext* format = nullptr;  // owned by `input`
  const int result = avformat_open_input(&format, path.c_str(), nullptr, nullptr);
  const Owned<AVFormatContext, avformat_close_input> input(format);
  char text[AV_ERROR_MAX_STRING_SIZE] = "no stream information";
  if (result < 0) av_strerror(result, text, sizeof text);
  if (result < 0 || avformat_find_stream_info(format, nullptr) < 0) {
    report.error = text;
    return report;
  }
  report.opened = true;
  report.containerName = format->iformat->name;
  report.durationSeconds = format->duration > 0 ? format->duration / double{AV_TIME_BASE} : 0;

  std::vector<Decoder> decoders(format->nb_streams);
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVStream* st = format->streams[i];
    const AVCodecParameters* parameters = st->codecpar;
    report.streams.push_back({.type = parameters->codec_type, .codec = parameters->codec_id,
                              .codecName = avcodec_get_name(parameters->codec_id), .width = parameters->width,
                              .height = parameters->height, .sampleRate = parameters->sample_rate,
                              .channels = parameters->ch_layout.nb_channels, .firstPts = INFINITY,
                              .lastPts = -INFINITY, .packetPts = {},
                              .durationSeconds = st->duration > 0 ? st->duration * av_q2d(st->time_base) : 0,
                              .lumaMeans = {}});
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec) continue;
    decoders[i].context.reset(avcodec_alloc_context3(codec));
    if (avcodec_parameters_to_context(decoders[i].context.get(), parameters) < 0 ||
        avcodec_open2(decoders[i].context.get(), codec, nullptr) < 0) {
      decoders[i].context.reset();
    }
  }

  const Owned<AVPacket, av_packet_free> packet(av_packet_alloc());
  const Owned<AVFrame, av_frame_free> frame(av_frame_alloc());
  while (av_read_frame(format, packet.get()) >= 0) {
    const unsigned index = static_cast<unsigned>(packet->stream_index);
    StreamReport& stream = report.streams[index];
    stream.packets++;
    if (const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts; ts != AV_NOPTS_VALUE) {
      const double seconds = ts * av_q2d(format->streams[index]->time_base);
      stream.firstPts = std::min(stream.firstPts, seconds);
      stream.lastPts = std::max(stream.lastPts, seconds);
      stream.packetPts.push_back(seconds);
    }
    if (decoders[index].context) {
      if (avcodec_send_packet(decoders[index].context.get(), packet.get()) < 0) stream.decodeErrors++;
      Drain(stream, decoders[index], frame.get(), picture);
    }
    av_packet_unref(packet.get());
  }
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    StreamReport& stream = report.streams[i];
    stream.decodeErrors += !decoders[i].context;  // no decoder: nothing of it can be played
    if (!decoders[i].context) continue;
    avcodec_send_packet(decoders[i].context.get(), nullptr);
    Drain(stream, decoders[i], frame.get(), picture);
    if (decoders[i].squaredCount > 0) stream.audioRms = std::sqrt(decoders[i].sumSquares / decoders[i].squaredCount);
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
