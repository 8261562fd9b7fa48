// Owners for FFmpeg's objects: each one frees its object through the
// matching FFmpeg call when it goes, on every path.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

namespace kx::av {

struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct CodecParametersFree {
  void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
};
struct CodecContextFree {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct ResamplerFree {
  void operator()(SwrContext* context) const { swr_free(&context); }
};
struct AudioFifoFree {
  void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
struct AvMemoryFree {
  void operator()(void* memory) const { av_free(memory); }
};
// An output file's format context with the file it opened, if any.
struct OutputFormatFree {
  void operator()(AVFormatContext* format) const {
    if (format->pb) avio_closep(&format->pb);
    avformat_free_context(format);
  }
};
// An array of sample planes from av_samples_alloc_array_and_samples: the
// planes are one block, held by the first pointer.
struct SamplePlanesFree {
  void operator()(uint8_t** planes) const {
    av_freep(&planes[0]);
    av_free(planes);
  }
};

using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerFree>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoFree>;
template <typename T>
using AvMemoryPtr = std::unique_ptr<T, AvMemoryFree>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatFree>;
using SamplePlanesPtr = std::unique_ptr<uint8_t*, SamplePlanesFree>;

}  // namespace kx::av
