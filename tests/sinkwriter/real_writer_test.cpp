// Files written through SinkWriterEncoder by the platform's own sink writer
// (real encoders), read back with libavformat.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace sinkwriter_test
