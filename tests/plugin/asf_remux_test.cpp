// Compressed packets demuxed by libavformat from files the ffmpeg tool wrote,
// remuxed through the MFWMVMuxer_ exports and through the legacy rows into
// the layer's ASF media sink, and compared with the input packet for packet
// by FFmpeg: the same bytes, times, key frames; every frame decodes; a seek
// to the middle lands on a key frame. Native only.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "discovery_tables.h"
#include "host_view.h"
#include "kxplatform/mf.h"
#include "media_probe.h"
#include "temp_dir.h"

namespace kx::test {
namespace {

// The media type Media Foundation gives a stream of this codec.
ComPtr<IMFMediaType> TypeOf(const AVCodecParameters* par) {
  ComPtr<IMFMediaType> type;
  EXPECT_EQ(MFCreateMediaType(&type), S_OK);
  GUID subtype = MFVideoFormat_WMV2;
  subtype.Data1 = par->codec_tag;
  const bool video = par->codec_type == AVMEDIA_TYPE_VIDEO;
  type->SetGUID(MF_MT_MAJOR_TYPE, video ? MFMediaType_Video : MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (video) {
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, par->width, par->height);
    MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 25, 1);
    type->SetUINT32(MF_MT_AVG_BITRATE, static_cast<UINT32>(par->bit_rate));
  } else {
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, par->ch_layout.nb_channels);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, par->sample_rate);
    type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, static_cast<UINT32>(par->bit_rate / 8));
    type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, par->block_align);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, par->bits_per_coded_sample);
  }
  if (par->extradata_size > 0) type->SetBlob(MF_MT_USER_DATA, par->extradata, par->extradata_size);
  return type;
}

// A host's extra-data block: two bytes of its own, then the type's address.
std::vector<uint8_t> Block(IMFMediaType* type) {
  std::vector<uint8_t> block(2 + sizeof(type), 0x11);
  std::memcpy(block.data() + 2, &type, sizeof(type));
  return block;
}

// Per stream type: "pts size flags md5" of every packet, as ffprobe reads it.
std::map<std::string, std::vector<std::string>> Packets(const std::string& path) {
  std::map<std::string, std::vector<std::string>> packets;
  std::istringstream lines(RunCommand("ffprobe -v error -show_data_hash md5 -show_entries "
                                      "packet=codec_type,pts,size,flags,data_hash -of csv=p=0 '" + path + "'"));
  for (std::string line; std::getline(lines, line);) packets[line.substr(0, 5)].push_back(line.substr(6));
  return packets;
}

// The two ways a host writes: open with the two types, write one packet
// (audio or video) with 100 ns times, close.
struct Writer {
  std::function<bool(const std::string& path, IMFMediaType* audio, IMFMediaType* video)> open;
  std::function<int(bool video, const uint8_t* data, int32_t size, int64_t pts, int64_t duration)> write;
  std::function<void()> close;
};

Writer ThroughExports() {
  auto handle = std::make_shared<MFWMVMuxerHandle>(nullptr);
  return {[handle](const std::string& path, IMFMediaType* audio, IMFMediaType* video) {
            const auto a = Block(audio), v = Block(video);
            const auto wide = Wide(path);
            *handle = MFWMVMuxer_Create(wide.c_str(), audio ? a.data() : nullptr, 10, video ? v.data() : nullptr, 10);
            if (audio) MFWMVMuxer_SetAudioParam(*handle, 1, 2, 44100, 64000, 16, 2);
            if (video) MFWMVMuxer_SetVideoParam(*handle, 2, 320, 240, 25, 1, 600000, 3, 5);
            return MFWMVMuxer_ConfigInit(*handle) == 1;
          },
          [handle](bool video, const uint8_t* data, int32_t size, int64_t pts, int64_t duration) {
            const MFWMVMuxerPacket p{.pData = data, .nLength = static_cast<uint32_t>(size), .reserved12 = {},
                                     .nPts = pts, .reserved24 = {}, .nDuration = duration};
            return video ? MFWMVMuxer_WriteVideoPacket(*handle, &p) : MFWMVMuxer_WriteAudioPacket(*handle, &p);
          },
          [handle] { MFWMVMuxer_Destroy(*handle); }};
}

Writer ThroughLegacyRow(const char* fourcc) {
  const uint8_t* row = FindRow(kx::LegacyFileFormatTable(), host::kFileFormatRowBytes, fourcc);
  const SingleStreamRow s = SingleStreamSlots(row);
  auto setAudio = SlotAt<SetAudioExtraDataFn>(row, host::kCloseSlot + 8);
  auto setVideo = SlotAt<SetVideoExtraDataFn>(row, host::kCloseSlot + 16);
  auto handle = std::make_shared<MediaFileHandle>(nullptr);
  return {[=](const std::string& path, IMFMediaType* audio, IMFMediaType* video) {
            const auto a = Block(audio), v = Block(video);
            setAudio(nullptr, a.data(), 10, 0);
            setVideo(nullptr, v.data(), 10, nullptr, 0, 0);
            HostRecord record;
            record.Container(fourcc);
            if (audio) record.Audio("WMA8", 44100, 2, 64000);
            if (video) record.Video("WMV2", 320, 240, 25.0, 600000);
            const auto wide = Wide(path);
            *handle = s.create(wide.c_str(), record.get(), 0);
            return *handle != nullptr;
          },
          [=](bool video, const uint8_t* data, int32_t size, int64_t pts, int64_t duration) {
            HostFrame frame;
            frame.Set(video ? host::kPacket : host::kPcm, data).Times(pts, duration);
            frame.Set(video ? host::kPacketBytes : host::kPcmBytes, size);
            return video ? s.writeVideo(*handle, frame.get(), 0) : s.writeAudio(*handle, frame.get(), 0, 0);
          },
          [=] { s.close(*handle); }};
}

class AsfRemux : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK); }
  void TearDown() override { MFShutdown(); }
  TempDir dir;
  LogCapture log;  // the media type dumps stay out of the test output
};

// Each path, each track set, and the codecs whose key frames the sink finds
// from the bitstream.
TEST_F(AsfRemux, PacketsBytesTimesAndKeyFramesSurviveEachPath) {
  const std::string both = "-map 0:v -map 1:a", audio = "-map 1:a", video = "-map 0:v";
  struct Case {
    const char* name;
    std::string maps, codecs;
    Writer writer;
  } cases[] = {
      {"exports, both tracks", both, "-c:v wmv2 -c:a wmav2", ThroughExports()},
      {"exports, audio only", audio, "-c:a wmav2", ThroughExports()},
      {"exports, video only", video, "-c:v wmv2", ThroughExports()},
      {"exports, WMV1 and WMA1", both, "-c:v wmv1 -c:a wmav1", ThroughExports()},
      {"legacy WWMV row, both tracks", both, "-c:v wmv2 -c:a wmav2", ThroughLegacyRow("WWMV")},
      {"legacy WWMA row, audio only", audio, "-c:a wmav2", ThroughLegacyRow("WWMA")},
      {"legacy WWMV row, video only", video, "-c:v wmv2", ThroughLegacyRow("WWMV")},
      {"legacy WWMV row, MS MPEG-4 v3 and WMA2", both, "-c:v msmpeg4v3 -c:a wmav2", ThroughLegacyRow("WWMV")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = (dir / "in.wmv").string(), output = (dir / "out.wmv").string();
    RunCommand("ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=f=440:r=44100 -t 6 " +
               c.maps + " " + c.codecs + " -g 30 -b:v 600k -b:a 64k -y '" + input + "'");
    AVFormatContext* format = nullptr;
    ASSERT_EQ(avformat_open_input(&format, input.c_str(), nullptr, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(format, nullptr), 0);
    ComPtr<IMFMediaType> types[2];  // audio, video
    for (unsigned i = 0; i < format->nb_streams; ++i) {
      const bool video = format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
      types[video ? 1 : 0] = TypeOf(format->streams[i]->codecpar);
    }
    ASSERT_TRUE(c.writer.open(output, types[0].Get(), types[1].Get()));
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(format, packet) >= 0) {
      const AVStream* stream = format->streams[packet->stream_index];
      EXPECT_EQ(c.writer.write(stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO, packet->data, packet->size,
                               av_rescale_q(packet->pts, stream->time_base, {1, 10000000}),
                               av_rescale_q(packet->duration, stream->time_base, {1, 10000000})),
                1);
      av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    c.writer.close();  // finishes the file

    const auto in = Packets(input);
    ASSERT_EQ(in.size(), static_cast<size_t>(!!types[0] + !!types[1]));
    EXPECT_EQ(in, Packets(output)) << "per stream: times in the file, sizes, key frames and bytes";
    const FileReport original = ReadMediaFile(input), report = ReadMediaFile(output);
    ASSERT_TRUE(report.opened) << report.error;
    for (const StreamReport& stream : report.streams) {
      EXPECT_EQ(stream.decodeErrors, 0) << stream.codecName;
      EXPECT_EQ(stream.decodedFrames, original.DecodedFrames(stream.type)) << stream.codecName;
    }
    if (types[1]) {
      EXPECT_EQ(RunCommand("ffprobe -v error -read_intervals 3%+#1 -select_streams v -show_entries packet=flags "
                           "-of csv=p=0 '" + output + "' | head -c 1"),
                "K")
          << "a seek to the middle lands on a key frame";
    }
  }
}

}  // namespace
}  // namespace kx::test
