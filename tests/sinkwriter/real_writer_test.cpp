// Files written through SinkWriterEncoder by the platform's own sink writer
// (real encoders), read back with libavformat.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include "fakes.h"

namespace sinkwriter_test {
namespace {

constexpr UINT32 kWidth = 160;
constexpr UINT32 kHeight = 120;
constexpr int64_t kFrameDuration = 400000;  // 25 frames per second

struct StreamInfo {
  AVCodecID codec = AV_CODEC_ID_NONE;
  int width = 0;
  int height = 0;
  int sampleRate = 0;
  int channels = 0;
  int packets = 0;
  int64_t firstPts100ns = INT64_MIN;
  int64_t lastPts100ns = INT64_MIN;
};

struct FileInfo {
  bool opened = false;
  StreamInfo video;
  StreamInfo audio;
  int videoStreams = 0;
  int audioStreams = 0;
};

FileInfo ReadBack(const std::string& path) {
  FileInfo info;
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) return info;
  if (avformat_find_stream_info(context, nullptr) < 0) {
    avformat_close_input(&context);
    return info;
  }
  info.opened = true;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVCodecParameters* par = context->streams[i]->codecpar;
    StreamInfo* stream = par->codec_type == AVMEDIA_TYPE_VIDEO ? &info.video : &info.audio;
    (par->codec_type == AVMEDIA_TYPE_VIDEO ? info.videoStreams : info.audioStreams)++;
    stream->codec = par->codec_id;
    stream->width = par->width;
    stream->height = par->height;
    stream->sampleRate = par->sample_rate;
    stream->channels = par->ch_layout.nb_channels;
  }
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(context, packet) >= 0) {
    const AVStream* avStream = context->streams[packet->stream_index];
    StreamInfo* stream = avStream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? &info.video : &info.audio;
    ++stream->packets;
    if (packet->pts != AV_NOPTS_VALUE) {
      const int64_t pts = av_rescale_q(packet->pts, avStream->time_base, AVRational{1, 10000000});
      if (stream->firstPts100ns == INT64_MIN || pts < stream->firstPts100ns) stream->firstPts100ns = pts;
      if (stream->lastPts100ns == INT64_MIN || pts > stream->lastPts100ns) stream->lastPts100ns = pts;
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&context);
  return info;
}

struct FileCase {
  const char* name;
  const char* extension;
  uint32_t videoFourCC;
  uint32_t audioFourCC;
  UINT32 audioBitrate;
  AVCodecID videoCodec;
  AVCodecID audioCodec;
};

class RealWriter : public ::testing::TestWithParam<FileCase> {
 protected:
  void SetUp() override { ASSERT_EQ(MFStartup(0x20070, 0), S_OK); }
  void TearDown() override { MFShutdown(); }

  std::filesystem::path PathFor(const FileCase& c) {
    return std::filesystem::temp_directory_path() /
           (std::string("kx_sinkwriter_") + c.name + "_" + std::to_string(::getpid()) + c.extension);
  }
};

WideString WidePath(const std::filesystem::path& path) {
  WideString out;
  for (char16_t unit : path.u16string()) out += static_cast<WCHAR>(unit);
  return out;
}

// An XMP packet whose creator tool exiftool reports.
constexpr char kCreatorTool[] = "kx sinkwriter file test";
const std::string kXmpPacket =
    "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
    "<rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\">"
    "<xmp:CreatorTool>" + std::string(kCreatorTool) + "</xmp:CreatorTool>"
    "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";

// The XMP creator tool exiftool reads from the file ("" when none).
std::string ExiftoolCreatorTool(const std::filesystem::path& path) {
  const std::string command = "exiftool -s -s -s -XMP-xmp:CreatorTool '" + path.string() + "' 2>/dev/null";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "<no exiftool>";
  std::string output;
  char chunk[256];
  while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
  ::pclose(pipe);
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return output;
}

// Writes `frames` pictures and the PCM of the same span (1024-sample blocks),
// then optionally the finish request, and closes.
void WriteClip(const FileCase& c, const std::filesystem::path& path, int frames, bool finishRequest) {
  StreamSetup setup;
  setup.videoFourCC = c.videoFourCC;
  setup.audioFourCC = c.audioFourCC;
  setup.width = kWidth;
  setup.height = kHeight;
  setup.frameRate = 25.0;
  setup.videoBitrate = 300000;
  setup.audioBitrate = c.audioBitrate;
  SinkWriterEncoder encoder(MakeParams(setup));
  ASSERT_EQ(encoder.Init(WidePath(path).c_str()), 1);
  encoder.SetXmpString(kXmpPacket.data(), kXmpPacket.size());

  std::vector<uint8_t> picture(kWidth * kHeight * 3 / 2);
  std::vector<uint8_t> pcm(1024 * 4);
  int64_t audioPts = 0;
  int64_t audioSamples = 0;
  for (int i = 0; i < frames; ++i) {
    for (size_t k = 0; k < picture.size(); ++k) picture[k] = static_cast<uint8_t>(k + i * 3);
    MediaFrame video{};
    video.video.pData[0] = picture.data();
    video.video.pData[1] = picture.data() + kWidth * kHeight;
    video.video.pData[2] = picture.data() + kWidth * kHeight + (kWidth / 2) * (kHeight / 2);
    video.video.nStride[0] = kWidth;
    video.video.nStride[1] = kWidth / 2;
    video.video.nStride[2] = kWidth / 2;
    video.pts = i * kFrameDuration;
    ASSERT_EQ(encoder.EncodeVideoFrame(&video), 1) << "frame " << i;
    while (audioPts < (i + 1) * kFrameDuration) {
      for (size_t k = 0; k + 1 < pcm.size(); k += 2) {
        const auto value = static_cast<int16_t>(8000 * std::sin(static_cast<double>(audioSamples + k / 4) / 20.0));
        pcm[k] = static_cast<uint8_t>(value & 0xFF);
        pcm[k + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
      }
      MediaFrame audio{};
      audio.audio.pData = pcm.data();
      audio.audio.nBytes = static_cast<int32_t>(pcm.size());
      audio.pts = audioPts;
      ASSERT_EQ(encoder.EncodeAudioFrame(&audio), 1);
      audioSamples += 1024;
      audioPts = audioSamples * 10000000 / 44100;
    }
  }
  if (finishRequest) {
    MediaFrame finish{};
    finish.duration = KX_FINISH_REQUEST_DURATION;
    EXPECT_EQ(encoder.EncodeVideoFrame(&finish), 0);
    EXPECT_TRUE(encoder.Finalized());
  }
}

TEST_P(RealWriter, WritesAFileThatReadsBack) {
  const FileCase& c = GetParam();
  for (const bool finishRequest : {false, true}) {
    const std::filesystem::path path = PathFor(c);
    std::filesystem::remove(path);
    const int frames = finishRequest ? 5 : 10;
    WriteClip(c, path, frames, finishRequest);
    const FileInfo info = ReadBack(path.string());
    ASSERT_TRUE(info.opened) << path;
    EXPECT_EQ(info.videoStreams, 1);
    EXPECT_EQ(info.audioStreams, 1);
    EXPECT_EQ(info.video.codec, c.videoCodec);
    EXPECT_EQ(info.video.width, static_cast<int>(kWidth));
    EXPECT_EQ(info.video.height, static_cast<int>(kHeight));
    EXPECT_EQ(info.video.packets, frames) << "finish request: " << finishRequest;
    EXPECT_EQ(info.video.lastPts100ns - info.video.firstPts100ns, (frames - 1) * kFrameDuration);
    EXPECT_EQ(info.audio.codec, c.audioCodec);
    EXPECT_EQ(info.audio.sampleRate, 44100);
    EXPECT_EQ(info.audio.channels, 2);
    EXPECT_GT(info.audio.packets, 0);
    // Closing injects the packet; a file finished by the finish request
    // gets none.
    EXPECT_EQ(ExiftoolCreatorTool(path), finishRequest ? "" : kCreatorTool) << "finish request: " << finishRequest;
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Containers, RealWriter,
    ::testing::Values(FileCase{"Wmv2Wma8", ".wmv", KX_FOURCC('W', 'M', 'V', '2'), KX_FOURCC('W', 'M', 'A', '8'),
                               128000, AV_CODEC_ID_WMV2, AV_CODEC_ID_WMAV2},
                      FileCase{"H264Aac", ".mp4", KX_FOURCC('W', '2', '6', '4'), KX_FOURCC('W', 'A', 'A', 'C'),
                               128000, AV_CODEC_ID_H264, AV_CODEC_ID_AAC}),
    [](const ::testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

// --- PCM in blocks that split frames -----------------------------------------

constexpr double kToneHz = 1000.0;
constexpr int kPcmFrameBytes = 4;  // 16-bit stereo
constexpr int kPcmFrames = 44100 * 2;

// Writes two seconds of a 1 kHz tone (16-bit stereo, 44100 Hz) as audio
// only, handed over in blocks of the given sizes, repeated.
void WriteTone(const FileCase& c, const std::filesystem::path& path, const std::vector<int32_t>& blockSizes) {
  StreamSetup setup;
  setup.video = false;
  setup.audioFourCC = c.audioFourCC;
  setup.audioBitrate = c.audioBitrate;
  SinkWriterEncoder encoder(MakeParams(setup));
  ASSERT_EQ(encoder.Init(WidePath(path).c_str()), 1);
  std::vector<uint8_t> pcm(size_t{kPcmFrames} * kPcmFrameBytes);
  for (size_t frame = 0; frame < kPcmFrames; ++frame) {
    const auto value = static_cast<int16_t>(8000 * std::sin(2 * M_PI * kToneHz * static_cast<double>(frame) / 44100));
    for (size_t channel = 0; channel < 2; ++channel) {
      pcm[frame * 4 + channel * 2] = static_cast<uint8_t>(value & 0xFF);
      pcm[frame * 4 + channel * 2 + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
    }
  }
  size_t offset = 0;
  for (size_t i = 0; offset < pcm.size(); ++i) {
    const size_t size = std::min<size_t>(static_cast<size_t>(blockSizes[i % blockSizes.size()]), pcm.size() - offset);
    MediaFrame audio{};
    audio.audio.pData = pcm.data() + offset;
    audio.audio.nBytes = static_cast<int32_t>(size);
    audio.pts = static_cast<int64_t>(offset) * 10000000 / (44100 * kPcmFrameBytes);  // the block's first byte
    ASSERT_EQ(encoder.EncodeAudioFrame(&audio), 1) << "block at byte " << offset;
    offset += size;
  }
}

// The first channel of the file's audio, decoded with libavcodec.
std::vector<float> DecodeFirstChannel(const std::filesystem::path& path) {
  std::vector<float> samples;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.string().c_str(), nullptr, nullptr) < 0) return samples;
  const int index = avformat_find_stream_info(format, nullptr) >= 0
                        ? av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0)
                        : -1;
  const AVCodec* decoder = index >= 0 ? avcodec_find_decoder(format->streams[index]->codecpar->codec_id) : nullptr;
  AVCodecContext* codec = decoder ? avcodec_alloc_context3(decoder) : nullptr;
  if (codec && avcodec_parameters_to_context(codec, format->streams[index]->codecpar) >= 0 &&
      avcodec_open2(codec, decoder, nullptr) >= 0) {
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const auto drain = [&] {
      while (avcodec_receive_frame(codec, frame) >= 0) {
        EXPECT_EQ(frame->format, AV_SAMPLE_FMT_FLTP);
        const auto* first = reinterpret_cast<const float*>(frame->extended_data[0]);
        samples.insert(samples.end(), first, first + frame->nb_samples);
      }
    };
    while (av_read_frame(format, packet) >= 0) {
      if (packet->stream_index == index && avcodec_send_packet(codec, packet) >= 0) drain();
      av_packet_unref(packet);
    }
    avcodec_send_packet(codec, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&packet);
  }
  avcodec_free_context(&codec);
  avformat_close_input(&format);
  return samples;
}

// The share of the signal's energy at `hz` (Goertzel over whole periods).
double ShareAt(const std::vector<float>& samples, double hz) {
  const double coefficient = 2 * std::cos(2 * M_PI * hz / 44100);
  double previous = 0, beforePrevious = 0, energy = 0;
  for (const float sample : samples) {
    const double current = sample + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
    energy += double{sample} * sample;
  }
  const double power = previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
  return energy > 0 ? 2 * power / (energy * static_cast<double>(samples.size())) : 0;
}

TEST_P(RealWriter, PcmInBlocksThatSplitFramesDecodesToTheSameTone) {
  const FileCase& c = GetParam();
  const std::filesystem::path wholePath = PathFor(c);
  WriteTone(c, wholePath, {4096});
  const std::vector<float> whole = DecodeFirstChannel(wholePath);
  ASSERT_GT(whole.size(), size_t{kPcmFrames} * 9 / 10);
  EXPECT_GT(ShareAt(whole, kToneHz), 0.9);
  for (const auto& blocks : {std::vector<int32_t>{4095}, std::vector<int32_t>{4095, 1, 2, 4093, 3}}) {
    SCOPED_TRACE("blocks of " + std::to_string(blocks[0]) + (blocks.size() > 1 ? " and smaller" : ""));
    const std::filesystem::path splitPath = PathFor(c).replace_extension(std::string(".split") + c.extension);
    WriteTone(c, splitPath, blocks);
    const std::vector<float> split = DecodeFirstChannel(splitPath);
    ASSERT_EQ(split.size(), whole.size());
    EXPECT_GT(ShareAt(split, kToneHz), 0.9);
    double difference = 0, signal = 0;
    for (size_t i = 0; i < whole.size(); ++i) {
      difference += (double{split[i]} - whole[i]) * (double{split[i]} - whole[i]);
      signal += double{whole[i]} * whole[i];
    }
    EXPECT_LT(std::sqrt(difference / signal), 0.01) << "relative RMS difference to the whole-frame file";
    std::error_code ignored;
    std::filesystem::remove(splitPath, ignored);
  }
  std::error_code ignored;
  std::filesystem::remove(wholePath, ignored);
}

}  // namespace
}  // namespace sinkwriter_test
