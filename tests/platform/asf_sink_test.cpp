// The layer's ASF media sink, as the library drives it: packets demuxed by
// libavformat from a WMV2 + WMA file, described by media types, written
// through MFCreateASFMediaSinkActivate and ProcessSample, and read back by
// FFmpeg. Native only: the layer's own sink.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "fake_com.h"
#include "media_probe.h"
#include "temp_dir.h"

namespace {

using kx::ComPtr;
using WString = std::basic_string<WCHAR>;

WString Wide(const std::string& text) { return WString(text.begin(), text.end()); }

// The media type Media Foundation gives a stream of this codec: the FourCC
// or wave format tag subtype and the header fields, the codec's private
// data as MF_MT_USER_DATA.
ComPtr<IMFMediaType> TypeOf(const AVCodecParameters* par) {
  ComPtr<IMFMediaType> type;
  EXPECT_EQ(S_OK, MFCreateMediaType(&type));
  GUID subtype = MFVideoFormat_WMV2;
  subtype.Data1 = par->codec_tag;
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, par->width, par->height);
    MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 25, 1);
    type->SetUINT32(MF_MT_AVG_BITRATE, static_cast<UINT32>(par->bit_rate));
  } else {
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, par->ch_layout.nb_channels);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, par->sample_rate);
    type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, static_cast<UINT32>(par->bit_rate / 8));
    type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, par->block_align);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, par->bits_per_coded_sample);
  }
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (par->extradata_size > 0) type->SetBlob(MF_MT_USER_DATA, par->extradata, par->extradata_size);
  return type;
}

ComPtr<IMFSample> SampleOf(const uint8_t* data, DWORD size, LONGLONG time, LONGLONG duration) {
  ComPtr<IMFSample> sample;
  ComPtr<IMFMediaBuffer> buffer;
  EXPECT_EQ(S_OK, MFCreateSample(&sample));
  EXPECT_EQ(S_OK, MFCreateMemoryBuffer(size, &buffer));
  BYTE* bytes = nullptr;
  buffer->Lock(&bytes, nullptr, nullptr);
  if (size) std::memcpy(bytes, data, size);
  buffer->Unlock();
  buffer->SetCurrentLength(size);
  sample->AddBuffer(buffer.Get());
  sample->SetSampleTime(time);
  sample->SetSampleDuration(duration);
  return sample;
}

// A profile with one stream per type (numbers 1, 2, ...), its content
// information and the activated sink for `path`.
HRESULT OpenSink(const std::string& path, const std::vector<ComPtr<IMFMediaType>>& types,
                 ComPtr<IMFMediaSink>& sink) {
  ComPtr<IMFASFContentInfo> info;
  ComPtr<IMFASFProfile> profile;
  HRESULT hr = MFCreateASFContentInfo(&info);
  if (SUCCEEDED(hr)) hr = MFCreateASFProfile(&profile);
  for (size_t i = 0; SUCCEEDED(hr) && i < types.size(); ++i) {
    ComPtr<IMFASFStreamConfig> config;
    hr = profile->CreateStream(types[i].Get(), &config);
    if (SUCCEEDED(hr)) hr = config->SetStreamNumber(static_cast<WORD>(i + 1));
    if (SUCCEEDED(hr)) hr = profile->SetStream(config.Get());
  }
  if (SUCCEEDED(hr)) hr = info->SetProfile(profile.Get());
  ComPtr<IMFActivate> activate;
  if (SUCCEEDED(hr)) hr = MFCreateASFMediaSinkActivate(Wide(path).c_str(), info.Get(), &activate);
  if (SUCCEEDED(hr)) hr = activate->ActivateObject(IID_PPV_ARGS(&sink));
  if (SUCCEEDED(hr)) hr = sink->SetPresentationClock(nullptr);
  return hr;
}

// Every packet of a file, per stream: "time_ms size md5" from FFmpeg's own
// stream copy, and the key flags libavformat reads.
struct Packets {
  std::map<std::string, std::vector<std::string>> frames;  // by codec name
  std::map<std::string, std::vector<int>> keys;
};

Packets ReadPackets(const std::string& path) {
  Packets result;
  std::istringstream lines(kx::test::RunCommand("ffmpeg -v error -i '" + path + "' -map 0 -c copy -f framemd5 -"));
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return result;
  avformat_find_stream_info(format, nullptr);
  std::vector<std::string> names;
  for (unsigned i = 0; i < format->nb_streams; ++i) names.push_back(avcodec_get_name(format->streams[i]->codecpar->codec_id));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string field; std::getline(fields, field, ',');) f.push_back(field.substr(field.find_first_not_of(' ')));
    if (f.size() == 6) result.frames[names.at(std::stoul(f[0]))].push_back(f[2] + " " + f[4] + " " + f[5]);
  }
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(format, packet) >= 0) {
    result.keys[names[packet->stream_index]].push_back(packet->flags & AV_PKT_FLAG_KEY);
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&format);
  return result;
}

// Waits for the finalize and hands on EndFinalize's result.
class FinalizeWait final : public kx::test::Fake<IMFAsyncCallback> {
 public:
  explicit FinalizeWait(IMFFinalizableMediaSink* sink) : sink_(sink) {}
  HRESULT STDMETHODCALLTYPE GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(IMFAsyncResult* result) override {
    status.set_value(sink_->EndFinalize(result));
    return S_OK;
  }
  std::promise<HRESULT> status;

 private:
  IMFFinalizableMediaSink* const sink_;
};

class AsfSink : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_FULL)); }
  void TearDown() override { MFShutdown(); }
  kx::test::TempDir dir_;
};

// Demux, write through the sink without clean-point marks (as the library
// does), finalize, and compare packet for packet with the input.
struct RemuxCase {
  const char* video;  // FFmpeg's encoder and codec name
  const char* audio;
};
class AsfRemux : public AsfSink, public ::testing::WithParamInterface<RemuxCase> {};
INSTANTIATE_TEST_SUITE_P(Codecs, AsfRemux,
                         ::testing::Values(RemuxCase{"wmv2", "wmav2"}, RemuxCase{"wmv1", "wmav1"},
                                           RemuxCase{"msmpeg4v3", "wmav2"}));

TEST_P(AsfRemux, KeepsPacketsBytesTimesAndKeyFrames) {
  const RemuxCase codecs = GetParam();
  const std::string input = (dir_ / "in.wmv").string();
  const std::string output = (dir_ / "out.wmv").string();
  kx::test::RunCommand("ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=f=440:r=44100 -t 6 "
                       "-c:v " + std::string(codecs.video) + " -g 30 -b:v 600k -c:a " + codecs.audio +
                       " -b:a 64k -y '" + input + "'");
  AVFormatContext* format = nullptr;
  ASSERT_EQ(0, avformat_open_input(&format, input.c_str(), nullptr, nullptr)) << input;
  ASSERT_GE(avformat_find_stream_info(format, nullptr), 0);
  ASSERT_EQ(2u, format->nb_streams);
  std::vector<ComPtr<IMFMediaType>> types;
  for (unsigned i = 0; i < 2; ++i) types.push_back(TypeOf(format->streams[i]->codecpar));

  ComPtr<IMFMediaSink> sink;
  ASSERT_EQ(S_OK, OpenSink(output, types, sink));
  DWORD characteristics = 0;
  EXPECT_EQ(S_OK, sink->GetCharacteristics(&characteristics));
  EXPECT_EQ(DWORD{MEDIASINK_FIXED_STREAMS | MEDIASINK_RATELESS}, characteristics);
  std::vector<ComPtr<IMFStreamSink>> streams(2);
  for (DWORD i = 0; i < 2; ++i) ASSERT_EQ(S_OK, sink->GetStreamSinkById(i + 1, &streams[i]));
  ComPtr<IMFStreamSink> none;
  EXPECT_EQ(MF_E_INVALIDSTREAMNUMBER, sink->GetStreamSinkById(3, &none));
  EXPECT_EQ(MF_E_STREAMSINKS_FIXED, sink->AddStreamSink(3, types[0].Get(), &none));

  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(format, packet) >= 0) {
    const AVRational base = format->streams[packet->stream_index]->time_base;
    ComPtr<IMFSample> sample = SampleOf(packet->data, packet->size, av_rescale_q(packet->pts, base, {1, 10000000}),
                                        av_rescale_q(packet->duration, base, {1, 10000000}));
    ASSERT_EQ(S_OK, streams[packet->stream_index]->ProcessSample(sample.Get()));
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&format);

  // Finish, then the refusals of a finished and of a shut-down sink.
  ComPtr<IMFFinalizableMediaSink> finalizable;
  ASSERT_EQ(S_OK, sink->QueryInterface(IID_PPV_ARGS(&finalizable)));
  auto wait = kx::test::Make<FinalizeWait>(finalizable.Get());
  ASSERT_EQ(S_OK, finalizable->BeginFinalize(wait.Get(), nullptr));
  EXPECT_EQ(S_OK, wait->status.get_future().get());
  ComPtr<IMFSample> late = SampleOf(reinterpret_cast<const uint8_t*>("x"), 1, 70000000, 0);
  EXPECT_EQ(MF_E_INVALID_STATE_TRANSITION, streams[0]->ProcessSample(late.Get())) << "after finalize";
  EXPECT_EQ(S_OK, sink->Shutdown());
  DWORD count = 0;
  const struct {
    const char* call;
    HRESULT result;
  } afterShutdown[] = {
      {"ProcessSample", streams[1]->ProcessSample(late.Get())},
      {"GetCharacteristics", sink->GetCharacteristics(&characteristics)},
      {"GetStreamSinkCount", sink->GetStreamSinkCount(&count)},
      {"GetStreamSinkById", sink->GetStreamSinkById(1, &none)},
      {"SetPresentationClock", sink->SetPresentationClock(nullptr)},
      {"BeginFinalize", finalizable->BeginFinalize(wait.Get(), nullptr)},
      {"Shutdown", sink->Shutdown()},
  };
  for (const auto& c : afterShutdown) {
    EXPECT_EQ(std::string(c.call) == "ProcessSample" ? MF_E_INVALID_STATE_TRANSITION : MF_E_SHUTDOWN, c.result)
        << c.call;
  }

  const Packets in = ReadPackets(input);
  const Packets out = ReadPackets(output);
  for (const char* codec : {codecs.video, codecs.audio}) {
    ASSERT_GT(in.frames.count(codec), 0u) << codec;
    EXPECT_GT(in.frames.at(codec).size(), 100u) << codec;
    EXPECT_EQ(in.frames.at(codec), out.frames.at(codec)) << codec << ": packets, times, sizes and bytes";
    EXPECT_EQ(in.keys.at(codec), out.keys.at(codec)) << codec << ": key frames";
  }
  const kx::test::FileReport original = kx::test::ReadMediaFile(input);
  const kx::test::FileReport report = kx::test::ReadMediaFile(output);
  ASSERT_TRUE(report.opened) << report.error;
  for (AVMediaType type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}) {
    ASSERT_NE(nullptr, report.Find(type));
    EXPECT_EQ(0, report.Find(type)->decodeErrors) << report.Find(type)->codecName;
    EXPECT_EQ(original.DecodedFrames(type), report.DecodedFrames(type)) << report.Find(type)->codecName;
  }
  // A seek to the middle lands on a key frame.
  EXPECT_EQ("1", kx::test::RunCommand("ffprobe -v error -read_intervals 3%+#1 -select_streams v -show_entries "
                                      "packet=flags -of csv=p=0 '" + output + "' | head -c 1 | tr K 1"));
}

// What a caller may pass that the sink refuses, each with its result and
// nothing followed or written.
TEST_F(AsfSink, RefusalsTable) {
  auto audio = [](GUID subtype, UINT32 channels) {
    ComPtr<IMFMediaType> type;
    MFCreateMediaType(&type);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 44100);
    return type;
  };
  ComPtr<IMFASFProfile> profile;
  ASSERT_EQ(S_OK, MFCreateASFProfile(&profile));
  {
    // Checked before anything else is made, while nothing can have taken
    // its address yet.
    ComPtr<IMFASFStreamConfig> config;
    IMFMediaType* dangling = audio(MFAudioFormat_WMAudioV8, 2).Get();
    EXPECT_EQ(E_INVALIDARG, profile->CreateStream(dangling, &config)) << "a released media type";
  }
  ComPtr<IMFMediaType> videoWithoutSize;
  MFCreateMediaType(&videoWithoutSize);
  videoWithoutSize->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  videoWithoutSize->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_WMV3);
  auto wrapped = kx::test::Make<kx::test::MediaTypeOver>();
  audio(MFAudioFormat_WMAudioV8, 2)->CopyAllItems(wrapped.Get());
  uint64_t garbage[8] = {};
  const ComPtr<IMFMediaType> unknownTag = audio(MFVideoFormat_H264, 2);
  const ComPtr<IMFMediaType> noChannels = audio(MFAudioFormat_WMAudioV8, 0);
  const struct {
    const char* what;
    IMFMediaType* type;
    HRESULT result;
  } types[] = {
      {"bytes that are no object", reinterpret_cast<IMFMediaType*>(garbage), E_INVALIDARG},
      {"a media type made elsewhere", wrapped.Get(), E_INVALIDARG},
      {"null", nullptr, E_INVALIDARG},
      {"no wave format tag known", unknownTag.Get(), MF_E_INVALIDMEDIATYPE},
      {"no channels", noChannels.Get(), MF_E_INVALIDMEDIATYPE},
      {"video without a frame size", videoWithoutSize.Get(), MF_E_INVALIDMEDIATYPE},
  };
  for (const auto& c : types) {
    ComPtr<IMFASFStreamConfig> config;
    EXPECT_EQ(c.result, profile->CreateStream(c.type, &config)) << c.what;
    EXPECT_FALSE(config) << c.what;
  }
  ComPtr<IMFASFStreamConfig> config;
  ASSERT_EQ(S_OK, profile->CreateStream(audio(MFAudioFormat_WMAudio_Lossless, 2).Get(), &config));
  EXPECT_EQ(E_INVALIDARG, config->SetMediaType(reinterpret_cast<IMFMediaType*>(garbage))) << "SetMediaType checks its pointer too";
  EXPECT_EQ(E_INVALIDARG, config->SetStreamNumber(128)) << "ASF stream numbers are 1 to 127";

  ComPtr<IMFASFContentInfo> info;
  ASSERT_EQ(S_OK, MFCreateASFContentInfo(&info));
  ComPtr<IMFActivate> activate;
  EXPECT_EQ(E_INVALIDARG, MFCreateASFMediaSinkActivate(u"", info.Get(), &activate)) << "an empty path";
  ComPtr<IMFMediaSink> sink;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
            OpenSink((dir_ / "missing" / "x.wma").string(), {audio(MFAudioFormat_WMAudioV8, 2)}, sink));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
}

// The file is finished once, by whichever comes first; the last release of
// a stream sink (which keeps its sink alive) finishes it as Shutdown does.
// A full disk fails the writes and the finish, never silently.
TEST_F(AsfSink, FinishesOnceOnShutdownOrLastReleaseAndReportsWriteErrors) {
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_WMAudioV8);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 1);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 22050);
  type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 2000);
  type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 743);
  const uint8_t userData[6] = {0, 0, 1, 0, 0, 0};
  type->SetBlob(MF_MT_USER_DATA, userData, sizeof userData);
  const std::vector<uint8_t> block(743, 0x5A);

  auto write = [&](const std::string& path, bool shutdown, HRESULT* lastWrite) {
    ComPtr<IMFMediaSink> sink;
    HRESULT hr = OpenSink(path, {type}, sink);
    if (FAILED(hr)) return hr;
    ComPtr<IMFStreamSink> stream;
    sink->GetStreamSinkByIndex(0, &stream);
    for (int i = 0; i < 400 && SUCCEEDED(hr); ++i) {
      hr = stream->ProcessSample(SampleOf(block.data(), 743, i * 2971428LL, 2971428).Get());
    }
    *lastWrite = hr;
    // An empty sample is taken and leaves no trace in the file.
    if (SUCCEEDED(hr)) hr = stream->ProcessSample(SampleOf(nullptr, 0, 400 * 2971428LL, 0).Get());
    if (FAILED(hr)) *lastWrite = hr;
    if (shutdown) return sink->Shutdown();
    sink = nullptr;  // the stream sink now holds the last reference
    return S_OK;
  };
  HRESULT lastWrite = E_FAIL;
  ASSERT_EQ(S_OK, write((dir_ / "shutdown.wma").string(), true, &lastWrite));
  EXPECT_EQ(S_OK, lastWrite);
  ASSERT_EQ(S_OK, write((dir_ / "released.wma").string(), false, &lastWrite));
  auto bytes = [](const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  const std::string finished = bytes(dir_ / "shutdown.wma");
  EXPECT_GT(finished.size(), 400u * 743);
  EXPECT_EQ(finished, bytes(dir_ / "released.wma")) << "the last release finishes the file as Shutdown does";
  const kx::test::FileReport report = kx::test::ReadMediaFile((dir_ / "shutdown.wma").string());
  ASSERT_EQ(1u, report.streams.size()) << report.error;
  EXPECT_EQ(400, report.streams[0].packets);
  EXPECT_NEAR(400 * 0.2971428, report.streams[0].durationSeconds, 0.01);

  const HRESULT full = write("/dev/full", true, &lastWrite);
  EXPECT_TRUE(FAILED(full) || FAILED(lastWrite)) << "a full disk is never success";
  EXPECT_TRUE(full == HRESULT_FROM_WIN32(ERROR_DISK_FULL) || lastWrite == HRESULT_FROM_WIN32(ERROR_DISK_FULL))
      << std::hex << full << " " << lastWrite;
}

}  // namespace
