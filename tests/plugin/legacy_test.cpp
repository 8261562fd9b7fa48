// The legacy rows (WWMV, WWMA) and the MFWMVMuxer_ exports. On the paths
// that write nothing: refused creates with their exact lines, the answers of
// the write slots, null handles, and the process-wide extra-data blocks; these
// run natively and, against the system's Media Foundation, under Wine. And,
// natively (the layer's ASF media sink), packets demuxed by libavformat from
// files the ffmpeg tool wrote, remuxed through both, and compared with the
// input packet for packet by FFmpeg. No export returns the legacy table, so
// this program is linked with the plug-in's own objects and reads the table
// through the library's symbol.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "discovery_tables.h"
#include "fake_com.h"
#include "host_view.h"
#include "kxplatform/mf.h"
#include "temp_dir.h"
#if !defined(_WIN32)
extern "C" {
#include <libavformat/avformat.h>
}
#include "media_probe.h"
#endif

namespace kx::test {
namespace {

using Lines = std::vector<std::string>;


class LegacyRows : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
    ASSERT_TRUE(audioType = NewType(MFMediaType_Audio, GUID_NULL));
    ASSERT_TRUE(wmvRow && wmaRow);
    // The process-wide extra-data slots follow the close slot in both rows.
    setAudio = SlotAt<SetAudioExtraDataFn>(wmaRow, host::kCloseSlot + 8);
    setVideo = SlotAt<SetVideoExtraDataFn>(wmvRow, host::kCloseSlot + 16);
    ASSERT_TRUE(wmv.create && wmv.writeAudio && wmv.writeVideo && wma.writeAudio && wma.close && setAudio && setVideo);
    EXPECT_EQ(wma.writeVideo, nullptr);
    log.Clear();
  }
  void TearDown() override {
    audioType = nullptr;
    (void)MFShutdown();
  }

  const uint8_t* wmvRow = FindRow(kx::LegacyFileFormatTable(), host::kFileFormatRowBytes, "WWMV");
  const uint8_t* wmaRow = FindRow(kx::LegacyFileFormatTable(), host::kFileFormatRowBytes, "WWMA");
  const SingleStreamRow wmv = SingleStreamSlots(wmvRow), wma = SingleStreamSlots(wmaRow);
  SetAudioExtraDataFn setAudio = nullptr;
  SetVideoExtraDataFn setVideo = nullptr;
  ComPtr<IMFMediaType> audioType;
  LogCapture log;
};

// In this order: the first create runs before any block was handed over.
TEST_F(LegacyRows, RefusedCreatesLogTheirLinesAndCloseAlwaysAnnouncesItself) {
  const auto path = Wide("legacy.wmv");
  const struct { const char* name; const char* container; bool bNoVideo; std::vector<uint8_t> videoBlock; } cases[] = {
      {"no block handed over", "WWMV", true, {}},
      {"container not in the legacy table", "WMP4", true, PointerBlock(audioType.Get())},
      {"video track whose block is under 10 bytes", "WWMV", false, PointerBlock(audioType.Get(), 9)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.videoBlock.empty()) {
      setAudio(nullptr, PointerBlock(audioType.Get()).data(), 10, 0);
      setVideo(nullptr, c.videoBlock.data(), static_cast<int32_t>(c.videoBlock.size()), nullptr, 0, 0);
    }
    HostRecord record;
    record.Container(c.container).Audio("WMA9", 44100, 2);
    if (!c.bNoVideo) record.Video("WMV3", 320, 240, 29.97);
    EXPECT_EQ(wmv.create(path.c_str(), record.get(), 0), nullptr);
    EXPECT_EQ(log.Take(), (Lines{"kx_Traxel.dll: Creating media file[legacy.wmv]...",
                                 "kx_Traxel.dll: Create file[legacy.wmv] failed."}));
  }
  wma.close(nullptr);
  EXPECT_EQ(log.Take(), Lines{"kx_Traxel.dll: media file closed."});
}

TEST_F(LegacyRows, ABlockServesLaterCreatesUntilReplacedByABlock) {
#if defined(_WIN32)
  // Wine's mf.dll has no ASF media sink: its MFCreateASFContentInfo is a stub
  // that ends the process. Real Windows and our layer answer it.
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) GTEST_SKIP() << "no ASF media sink";
#endif
  const auto block = PointerBlock(audioType.Get());
  setAudio(nullptr, block.data(), 10, 0);
  setAudio(nullptr, nullptr, 10, 0);       // null: the stored block stays
  setAudio(nullptr, block.data(), -4, 0);  // negative count: ignored
  setVideo(nullptr, nullptr, 0, nullptr, 0, 0);
  HostRecord record;
  record.Container("WWMA").Audio("WMA8", 48000, 2);
  const auto path = Wide("kept-block.wma");
  MediaFileHandle file = wma.create(path.c_str(), record.get(), 0);
  // The muxer was made from the kept block: either the file is open or the
  // sink set-up on the platform logged why not.
  const std::string lines = ::testing::PrintToString(log.Take());
  EXPECT_TRUE(file != nullptr || lines.find("[Media Foundation MuxerWMV: 'MuxerWMV']") != std::string::npos) << lines;
  wma.close(file);
  setAudio(nullptr, block.data(), 0, 0);  // an empty block replaces it
  EXPECT_EQ(wma.create(path.c_str(), record.get(), 0), nullptr);
  EXPECT_EQ(log.Take().back(), "kx_Traxel.dll: Create file[kept-block.wma] failed.");
}

// The write slots' answers, and the exports' answers to null handles and
// packets (the muxer's own refusals, null packet data too, are the muxer
// test's).
TEST_F(LegacyRows, WritesAndExportsAnswerNullHandlesEmptyFramesAndUnconfiguredFiles) {
  const auto block = PointerBlock(audioType.Get());
  const auto path = Wide("unconfigured.wmv");
  MFWMVMuxerHandle handle = MFWMVMuxer_Create(path.c_str(), block.data(), 10, block.data(), 10);
  ASSERT_NE(handle, nullptr);
  const uint8_t bytes[3] = {1, 2, 3};
  const struct { const char* name; MediaFileHandle handle; bool frame; const uint8_t* data; int32_t count, result; }
  cases[] = {
      {"null handle", nullptr, true, bytes, 3, -1},     {"null frame", handle, false, bytes, 3, -1},
      {"empty frame", handle, true, bytes, 0, 0},       {"negative count", handle, true, bytes, -7, 0},
      {"no track sink yet", handle, true, bytes, 3, 1},
  };
  for (const auto& c : cases) {
    HostFrame audio, video;
    audio.Set(host::kPcm, c.data).Set(host::kPcmBytes, c.count);
    video.Set(host::kPacket, c.data).Set(host::kPacketBytes, c.count);
    EXPECT_EQ(wmv.writeAudio(c.handle, c.frame ? audio.get() : nullptr, 0, 0), c.result) << c.name;
    EXPECT_EQ(wmv.writeVideo(c.handle, c.frame ? video.get() : nullptr, 0), c.result) << c.name;
  }
  const MFWMVMuxerPacket packet{bytes, 3, {}, 0, {}, 0};
  for (int result : {MFWMVMuxer_SetAudioParam(nullptr, 1, 2, 44100, 128000, 16, 3),
                     MFWMVMuxer_SetVideoParam(nullptr, 2, 320, 240, 25, 1, 500000, 3, 5),
                     MFWMVMuxer_ConfigInit(nullptr), MFWMVMuxer_WriteAudioPacket(nullptr, &packet),
                     MFWMVMuxer_WriteVideoPacket(handle, nullptr)}) {
    EXPECT_EQ(result, 0);
  }
  EXPECT_EQ(MFWMVMuxer_WriteVideoPacket(handle, &packet), 1);
  MFWMVMuxer_Destroy(nullptr);
  MFWMVMuxer_Destroy(handle);
  EXPECT_EQ(log.Take(), Lines{});
}

#if !defined(_WIN32)
// The media type Media Foundation gives a stream of this codec.
ComPtr<IMFMediaType> TypeOf(const AVCodecParameters* par) {
  GUID subtype = MFVideoFormat_WMV2;
  subtype.Data1 = par->codec_tag;
  const bool video = par->codec_type == AVMEDIA_TYPE_VIDEO;
  const ComPtr<IMFMediaType> type = NewType(video ? MFMediaType_Video : MFMediaType_Audio, subtype);
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

struct Packet { std::vector<uint8_t> bytes; int64_t pts, duration; bool key, video; };
MFWMVMuxerPacket Direct(const Packet& p, int64_t offset = 0, int64_t squeeze = 1) {
  return {p.bytes.data(), static_cast<uint32_t>(p.bytes.size()), {}, offset + p.pts / squeeze, {}, p.duration / squeeze};
}
// A file the ffmpeg tool wrote: its media types [audio, video] and its
// packets in file order, times in 100-ns units.
struct Input { ComPtr<IMFMediaType> types[2]; std::vector<Packet> packets; };
Input Demux(const std::string& path) {
  Input in;
  AVFormatContext* format = nullptr;
  EXPECT_EQ(avformat_open_input(&format, path.c_str(), nullptr, nullptr), 0) << path;
  if (format == nullptr || avformat_find_stream_info(format, nullptr) < 0) return in;
  for (unsigned k = 0; k < format->nb_streams; ++k) {
    in.types[format->streams[k]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO] = TypeOf(format->streams[k]->codecpar);
  }
  for (AVPacket p{}; av_read_frame(format, &p) >= 0; av_packet_unref(&p)) {
    const AVStream* stream = format->streams[p.stream_index];
    const AVRational to100ns = {1, 10000000};
    in.packets.push_back({{p.data, p.data + p.size}, av_rescale_q(p.pts, stream->time_base, to100ns),
                          av_rescale_q(p.duration, stream->time_base, to100ns), (p.flags & AV_PKT_FLAG_KEY) != 0,
                          stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO});
  }
  avformat_close_input(&format);
  return in;
}

// Per stream type: "pts size flags md5" of every packet, as ffprobe reads it.
std::map<std::string, std::vector<std::string>> Packets(const std::string& path) {
  std::map<std::string, std::vector<std::string>> packets;
  std::istringstream lines(RunCommand("ffprobe -v error -show_data_hash md5 -show_entries "
                                      "packet=codec_type,pts,size,flags,data_hash -of csv=p=0 '" + path + "'"));
  for (std::string line; std::getline(lines, line);) packets[line.substr(0, 5)].push_back(line.substr(6));
  return packets;
}

// Each path, each track set, and the codecs whose key frames the sink finds
// from the bitstream: the same bytes, times and key frames, every frame
// decodes, a seek to the middle lands on a key frame.
TEST_F(LegacyRows, RemuxKeepsPacketsBytesTimesAndKeyFramesOnEachPath) {
  const std::string both = "-map 0:v -map 1:a", audio = "-map 1:a", video = "-map 0:v";
  const struct { const char* name; std::string maps, codecs; const SingleStreamRow* row; const char* fourcc; }
  cases[] = {
      {"exports, both tracks", both, "-c:v wmv2 -c:a wmav2", nullptr, nullptr},
      {"exports, audio only", audio, "-c:a wmav2", nullptr, nullptr},
      {"exports, video only", video, "-c:v wmv2", nullptr, nullptr},
      {"exports, WMV1 and WMA1", both, "-c:v wmv1 -c:a wmav1", nullptr, nullptr},
      {"legacy WWMV row, both tracks", both, "-c:v wmv2 -c:a wmav2", &wmv, "WWMV"},
      {"legacy WWMA row, audio only", audio, "-c:a wmav2", &wma, "WWMA"},
      {"legacy WWMV row, video only", video, "-c:v wmv2", &wmv, "WWMV"},
      {"legacy WWMV row, MS MPEG-4 v3 and WMA2", both, "-c:v msmpeg4v3 -c:a wmav2", &wmv, "WWMV"},
  };
  const TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = (dir / "in.wmv").string(), output = (dir / "out.wmv").string();
    RunCommand("ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=f=440:r=44100 -t 6 " +
               c.maps + " " + c.codecs + " -g 30 -b:v 600k -b:a 64k -y '" + input + "'");
    const Input demuxed = Demux(input);
    const auto& types = demuxed.types;
    const auto a = PointerBlock(types[0].Get()), v = PointerBlock(types[1].Get());
    const auto wide = Wide(output);
    void* file = nullptr;
    if (c.row != nullptr) {  // both blocks handed over, then the create
      setAudio(nullptr, a.data(), 10, 0);
      setVideo(nullptr, v.data(), 10, nullptr, 0, 0);
      HostRecord record;
      record.Container(c.fourcc);
      if (types[0]) record.Audio("WMA8", 44100, 2, 64000);
      if (types[1]) record.Video("WMV2", 320, 240, 25.0, 600000);
      file = c.row->create(wide.c_str(), record.get(), 0);
    } else {
      file = MFWMVMuxer_Create(wide.c_str(), types[0] ? a.data() : nullptr, 10, types[1] ? v.data() : nullptr, 10);
      if (types[0]) MFWMVMuxer_SetAudioParam(file, 1, 2, 44100, 64000, 16, 2);
      if (types[1]) MFWMVMuxer_SetVideoParam(file, 2, 320, 240, 25, 1, 600000, 3, 5);
      EXPECT_EQ(MFWMVMuxer_ConfigInit(file), 1);
    }
    ASSERT_NE(file, nullptr);
    for (const Packet& packet : demuxed.packets) {
      const bool video = packet.video;
      HostFrame frame;
      frame.Set(video ? host::kPacket : host::kPcm, packet.bytes.data()).Times(packet.pts, packet.duration)
          .Set(video ? host::kPacketBytes : host::kPcmBytes, static_cast<int>(packet.bytes.size()));
      const MFWMVMuxerPacket p = Direct(packet);
      EXPECT_EQ(c.row ? (video ? c.row->writeVideo(file, frame.get(), 0) : c.row->writeAudio(file, frame.get(), 0, 0))
                      : (video ? MFWMVMuxer_WriteVideoPacket(file, &p) : MFWMVMuxer_WriteAudioPacket(file, &p)), 1);
    }
    c.row ? c.row->close(file) : MFWMVMuxer_Destroy(file);  // finishes the file

    const auto in = Packets(input);
    ASSERT_EQ(in.size(), static_cast<size_t>(!!types[0] + !!types[1]));
    EXPECT_EQ(in, Packets(output)) << "per stream: times in the file, sizes, key frames and bytes";
    const FileReport original = ReadMediaFile(input), report = ReadMediaFile(output);
    ASSERT_TRUE(report.opened) << report.error;
    for (const StreamReport& stream : report.streams) {
      EXPECT_EQ(stream.decodeErrors, 0) << stream.codecName;
      EXPECT_EQ(stream.decodedFrames, original.DecodedFrames(stream.type)) << stream.codecName;
    }
    EXPECT_TRUE(!types[1] || RunCommand("ffprobe -v error -read_intervals 3%+#1 -select_streams v -show_entries "
                                        "packet=flags -of csv=p=0 '" + output + "' | head -c 1") == "K")
        << "a seek to the middle lands on a key frame";
  }
}

// A host drawn from a fixed seed, on three threads: Create, Set, ConfigInit,
// Write and Destroy in any order (twice, before or after the set-up), blocks
// with the other kind of type or none, track numbers from the edges, and
// the packets of files the ffmpeg tool wrote, from a random key frame, cut
// anywhere, moved in time or squeezed below a millisecond apart; a second
// muxer on a path being written is refused. Every file
// whose set-up succeeded decodes every packet written after it; every other
// file in the folder stays as it was.
TEST_F(LegacyRows, RandomDirectHostLosesAndTouchesNothing) {
  Input inputs[2];
  std::vector<const Packet*> kinds[2][2];  // each input's packets [audio, video]
  struct Outcome { std::string path, before; bool configured = false; int64_t written[2] = {}; };
  const TempDir dir;
  auto contents = [](const std::string& path) { return std::filesystem::exists(path) ? FileBytes(path) : "(none)"; };
  std::vector<Outcome> outcomes(18);
  outcomes[0].path = (dir / "bystander").string();
  for (int i = 0; i < 2; ++i) {
    outcomes[i + 1].path = (dir / ("in" + std::to_string(i) + ".wmv")).string();
    RunCommand("ffmpeg -v error -f lavfi -i testsrc=size=176x144:rate=25 -f lavfi -i sine=r=22050 -t 3 -g 12 " +
               std::string(i ? "-c:v wmv1 -c:a wmav1" : "-c:v wmv2 -c:a wmav2") + " -y '" + outcomes[i + 1].path + "'");
    inputs[i] = Demux(outcomes[i + 1].path);
    for (const Packet& p : inputs[i].packets) kinds[i][p.video].push_back(&p);
  }
  std::ofstream(outcomes[0].path) << "the host's own file";
  for (int i = 0; i < 3; ++i) outcomes[i].before = contents(outcomes[i].path);
  auto host = [&](int thread) {
    std::mt19937_64 dice(20240917 + thread);
    auto below = [&](uint64_t n) { return static_cast<int64_t>(dice() % n); };
    const uint32_t tracks[] = {1, 2, 3, 0, 0x10001, 128, 0xFFFFFFFF};
    for (int m = 3 + thread; m < 18; m += 3) {
      Outcome& out = outcomes[m];
      const int source = static_cast<int>(below(2));
      const Input& in = inputs[source];
      const auto& packets = kinds[source];
      out.path = (dir / ("out" + std::to_string(m) + ".wmv")).string();
      if (below(3) == 0) std::ofstream(out.path) << "the host's own file";
      out.before = contents(out.path);
      int64_t pick[2] = {below(10), below(10)};  // 0-6 the right type, 7 the other kind, 8 null, 9 no block
      const auto a = PointerBlock(pick[0] < 8 ? in.types[pick[0] == 7].Get() : nullptr);
      const auto v = PointerBlock(pick[1] < 8 ? in.types[pick[1] != 7].Get() : nullptr);
      MFWMVMuxerHandle handle = MFWMVMuxer_Create(Wide(out.path).c_str(), a.data(), pick[0] == 9 ? 0 : 10, v.data(),
                                                  pick[1] == 9 ? 0 : 10);
      const int64_t offset = below(2) ? 0 : below(int64_t{36000} * 10000000), squeeze = below(4) ? 1 : 1000;
      size_t next[2], end[2];
      for (int t = 0; t < 2; ++t) {
        do next[t] = below(packets[t].size()); while (!packets[t][next[t]]->key);
        end[t] = next[t] + below(packets[t].size() - next[t] + 1);
      }
      for (int step = 0, steps = 4 + static_cast<int>(below(200)); step < steps; ++step) {
        const int64_t op = below(100);
        if (op < 4) MFWMVMuxer_SetAudioParam(handle, below(3) ? 1 : tracks[below(7)], 1, 22050, 64000, 16, 2);
        if (op >= 4 && op < 8) MFWMVMuxer_SetVideoParam(handle, below(3) ? 2 : tracks[below(7)], 176, 144, 25, 1, 0, 3, 5);
        if (op >= 8 && op < 12) {
          const int configured = MFWMVMuxer_ConfigInit(handle);
          EXPECT_FALSE(configured && out.configured) << "a second set-up succeeded: " << out.path;
          if (configured && !out.configured) {  // a second muxer on the path while this one writes it
            const auto ra = PointerBlock(in.types[0].Get()), rv = PointerBlock(in.types[1].Get());
            MFWMVMuxerHandle rival = MFWMVMuxer_Create(Wide(out.path).c_str(), ra.data(), 10, rv.data(), 10);
            MFWMVMuxer_SetAudioParam(rival, 1, 1, 22050, 64000, 16, 2);
            MFWMVMuxer_SetVideoParam(rival, 2, 176, 144, 25, 1, 0, 3, 5);
            EXPECT_EQ(MFWMVMuxer_ConfigInit(rival), 0) << "two muxers on " << out.path;
            MFWMVMuxer_Destroy(rival);
          }
          out.configured = out.configured || configured;
        }
        const int t = op < 56;
        if (op < 12 || next[t] >= end[t]) continue;
        const Packet& p = *packets[t][next[t]];
        const MFWMVMuxerPacket packet = Direct(p, offset, squeeze);
        EXPECT_EQ(t ? MFWMVMuxer_WriteVideoPacket(handle, &packet) : MFWMVMuxer_WriteAudioPacket(handle, &packet),
                  handle ? 1 : 0);
        // Before the set-up a packet is dropped: the host sends it again.
        if (out.configured) ++next[t], ++out.written[t];
      }
      MFWMVMuxer_Destroy(handle);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) threads.emplace_back(host, t);
  for (auto& thread : threads) thread.join();

  std::set<std::string> paths;
  for (const Outcome& out : outcomes) paths.insert(out.path);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(paths.count(entry.path().string()), 1u) << "a file nobody asked for: " << entry.path();
  }
  int configured = 0;
  for (const Outcome& out : outcomes) {
    SCOPED_TRACE(out.path);
    if (!out.configured) {
      EXPECT_EQ(contents(out.path), out.before);
      continue;
    }
    ++configured;
    const FileReport report = ReadMediaFile(out.path);
    ASSERT_TRUE(report.opened) << report.error;
    for (const StreamReport& stream : report.streams) {
      const bool video = stream.type == AVMEDIA_TYPE_VIDEO;
      EXPECT_EQ(stream.decodeErrors, 0) << stream.codecName;
      EXPECT_EQ(video ? stream.decodedFrames : stream.packets, out.written[video]) << stream.codecName;
    }
  }
  EXPECT_GT(configured, 3) << "the seed configures too few files to tell";
}
#endif

}  // namespace
}  // namespace kx::test
