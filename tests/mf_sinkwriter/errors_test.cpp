// Each refusal of the sink writer, with the HRESULT Media Foundation gives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "sink_writer_hooks.h"
#include "writer_helpers.h"

namespace sinkwriter_test {
namespace {

HRESULT CreateWriter(const std::string& path, IMFSinkWriter** writer, IMFAttributes* attributes = nullptr) {
  return MFCreateSinkWriterFromURL(Wide(path).c_str(), nullptr, attributes, writer);
}

TEST_F(MfTest, CreateRefusesPathsAndArguments) {
  const std::string plain = TempPath("plain");
  std::ofstream(plain) << "x";
  const std::string folder = TempPath("folder.mp4");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const struct { std::u16string path; HRESULT expected; } cases[] = {
      {Wide(TempPath("clip.avi")), MF_E_UNSUPPORTED_BYTESTREAM_TYPE},
      {Wide(TempPath("clip")), MF_E_UNSUPPORTED_BYTESTREAM_TYPE},
      {Wide(TempPath("a.wmv/clip")), MF_E_UNSUPPORTED_BYTESTREAM_TYPE},
      {Wide(TempPath("missing/clip.wmv")), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
      {Wide(plain + "/clip.wmv"), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
      {Wide(folder), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
      {u"", E_INVALIDARG},
      // An unpaired surrogate has no UTF-8 spelling: refused, not written
      // under another name.
      {Wide(TempPath("clip")) + u'\xD800' + u".mp4", HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION)},
  };
  for (const auto& c : cases) {
    ComPtr<IMFSinkWriter> writer;
    EXPECT_EQ(MFCreateSinkWriterFromURL(c.path.c_str(), nullptr, nullptr, &writer), c.expected);
    EXPECT_FALSE(writer);
  }
  ComPtr<IMFSinkWriter> writer;
  EXPECT_EQ(MFCreateSinkWriterFromURL(nullptr, nullptr, nullptr, &writer), E_INVALIDARG);
  EXPECT_EQ(CreateWriter(TempPath("clip.mp4"), nullptr), E_POINTER);
  // An async callback attribute that is not a callback.
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(MFCreateAttributes(&attributes, 1), S_OK);
  ASSERT_EQ(attributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, VideoInputType({}).Get()), S_OK);
  EXPECT_EQ(CreateWriter(TempPath("clip.mp4"), &writer, attributes.Get()), E_INVALIDARG);
}

// The output is opened when writing begins: a writer configured and then let
// go changes nothing at its path (and holds nothing), and an open that fails
// by then is BeginWriting's failure. (Names that look like URLs are file
// names: the ASF media sink's test, on the same muxer.)
TEST_F(MfTest, TheFileIsOpenedOnlyWhenWritingBegins) {
  const auto configure = [](const std::string& path, GUID subtype = MFVideoFormat_H264) {
    ComPtr<IMFSinkWriter> writer;
    DWORD index = 0;
    Check(CreateWriter(path, &writer), "create");
    Check(writer->AddStream(VideoOutputType({.subtype = subtype}).Get(), &index), "AddStream");
    Check(writer->SetInputMediaType(index, VideoInputType({}).Get(), nullptr), "SetInputMediaType");
    return writer;
  };
  const std::string existing = TempPath("existing.wmv");
  std::ofstream(existing, std::ios::binary) << "the host's own bytes";
  configure(existing, MFVideoFormat_WMV2);
  EXPECT_EQ(KxSinkWriterHeldInputs(), 0);
  std::string bytes;
  EXPECT_EQ(std::getline(std::ifstream(existing), bytes) ? bytes : "", "the host's own bytes");

  const std::string fresh = TempPath("fresh.mp4");
  ComPtr<IMFSinkWriter> writer = configure(fresh);
  EXPECT_FALSE(std::filesystem::exists(fresh));
  EXPECT_EQ(writer->BeginWriting(), S_OK);
  EXPECT_TRUE(std::filesystem::exists(fresh));

  // Held from BeginWriting to its end: a second writer, or one while another
  // process holds the file's lock, is refused with the sharing violation,
  // and the file stays whole.
  const VideoSpec wmv{.subtype = MFVideoFormat_WMV2};
  Writer held(TempPath("held.wmv"), &wmv, nullptr);
  ASSERT_EQ(held.WriteClip(3, 0), S_OK);
  EXPECT_EQ(configure(held.path, MFVideoFormat_WMV2)->BeginWriting(), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(held.FinishAndRead().DecodedFrames(AVMEDIA_TYPE_VIDEO), 3);
  const int other = open(held.path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(configure(held.path, MFVideoFormat_WMV2)->BeginWriting(), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
  close(other);
  EXPECT_EQ(kx::test::ReadMediaFile(held.path).DecodedFrames(AVMEDIA_TYPE_VIDEO), 3);
  EXPECT_EQ(configure(held.path, MFVideoFormat_WMV2)->BeginWriting(), S_OK) << "the lock ends with its holder";

  const std::string folder = TempPath("gone");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  writer = configure(folder + "/clip.mp4");
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  EXPECT_EQ(writer->BeginWriting(), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(writer->WriteSample(0, nullptr), MF_E_INVALIDREQUEST) << "a writer that did not begin takes no samples";
}

// Output types a container cannot hold or that miss what the encoder needs.
TEST_F(MfTest, AddStreamRefusesTypesTheContainerCannotHold) {
  const auto without = [](const GUID& key) {
    ComPtr<IMFMediaType> type = VideoOutputType({});
    Check(type->DeleteItem(key), "DeleteItem");
    return type;
  };
  const struct { const char* name; const char* extension; ComPtr<IMFMediaType> type; } cases[] = {
      {"no_major_type", ".wmv", without(MF_MT_MAJOR_TYPE)},
      {"no_subtype", ".wmv", without(MF_MT_SUBTYPE)},
      {"no_frame_size", ".mp4", without(MF_MT_FRAME_SIZE)},
      {"no_frame_rate", ".mp4", without(MF_MT_FRAME_RATE)},
      {"zero_frame_rate", ".mp4", VideoOutputType({.fpsNum = 0})},
      {"zero_frame_size", ".wmv", VideoOutputType({.width = 0})},
      {"wmv2_in_mp4", ".mp4", VideoOutputType({.subtype = MFVideoFormat_WMV2})},
      {"hevc_in_asf", ".wmv", VideoOutputType({.subtype = MFVideoFormat_HEVC})},
      {"wma_in_mp4", ".mp4", AudioOutputType({.subtype = MFAudioFormat_WMAudioV8})},
      {"audio_subtype_as_video", ".wmv", VideoOutputType({.subtype = MFAudioFormat_AAC})},
      {"uncompressed_output", ".wmv", VideoOutputType({.subtype = MFVideoFormat_YV12})},
  };
  for (const auto& c : cases) {
    ComPtr<IMFSinkWriter> writer;
    ASSERT_EQ(CreateWriter(TempPath(std::string("clip") + c.extension), &writer), S_OK);
    DWORD index = 77;
    EXPECT_EQ(writer->AddStream(c.type.Get(), &index), MF_E_INVALIDMEDIATYPE) << c.name;
    EXPECT_EQ(index, 77u) << c.name;
    EXPECT_EQ(writer->AddStream(nullptr, &index), E_INVALIDARG);
    EXPECT_EQ(writer->AddStream(c.type.Get(), nullptr), E_POINTER);
  }
}

// Input types without an encoder behind them or that do not match the
// stream's output.
TEST_F(MfTest, SetInputMediaTypeRefusesWhatNoEncoderTakes) {
  constexpr UINT64 kHigh = UINT64{1} << 32;  // sizes and ratios: the first number times this plus the second
  // video null: audio; `key` of the input type set to `value` (GUID_NULL: none).
  const struct { const char *name, *extension; const GUID *video, *audio; GUID key; UINT64 value; } cases[] = {
      {"wmv3_has_no_encoder", ".wmv", &MFVideoFormat_WMV3, nullptr, GUID_NULL, 0},
      {"vc1_has_no_encoder", ".wmv", &MFVideoFormat_WVC1, nullptr, GUID_NULL, 0},
      {"wma9_has_no_encoder", ".wma", nullptr, &MFAudioFormat_WMAudioV9, GUID_NULL, 0},
      {"other_frame_size", ".mp4", &MFVideoFormat_H264, nullptr, MF_MT_FRAME_SIZE, 320 * kHigh + 240},
      {"odd_width", ".wmv", &MFVideoFormat_WMV2, nullptr, MF_MT_FRAME_SIZE, 161 * kHigh + 120},
      {"other_frame_rate", ".mp4", &MFVideoFormat_H264, nullptr, MF_MT_FRAME_RATE, 30 * kHigh + 1},
      {"other_sample_rate", ".m4a", nullptr, &MFAudioFormat_AAC, MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000},
      {"other_channel_count", ".wma", nullptr, &MFAudioFormat_WMAudioV8, MF_MT_AUDIO_NUM_CHANNELS, 1},
      {"twelve_bit_pcm", ".m4a", nullptr, &MFAudioFormat_AAC, MF_MT_AUDIO_BITS_PER_SAMPLE, 12},
      {"wrong_block_alignment", ".m4a", nullptr, &MFAudioFormat_AAC, MF_MT_AUDIO_BLOCK_ALIGNMENT, 3},
  };
  for (const auto& c : cases) {
    ComPtr<IMFSinkWriter> writer;
    ASSERT_EQ(CreateWriter(TempPath(std::string("clip") + c.extension), &writer), S_OK);
    ComPtr<IMFMediaType> output, input;
    if (c.video) {
      output = VideoOutputType({.subtype = *c.video});
      input = VideoInputType({});
    } else {  // WMA 9 has no listed types here: another format's, renamed
      output = AudioOutputType({.subtype = *c.audio == MFAudioFormat_WMAudioV9 ? MFAudioFormat_AAC : *c.audio});
      output->SetGUID(MF_MT_SUBTYPE, *c.audio);
      input = AudioInputType({});
    }
    DWORD index = 0;
    ASSERT_EQ(writer->AddStream(output.Get(), &index), S_OK) << c.name;
    if (c.value >= kHigh) Check(input->SetUINT64(c.key, c.value), "SetUINT64");
    if (c.value != 0 && c.value < kHigh) Check(input->SetUINT32(c.key, static_cast<UINT32>(c.value)), "SetUINT32");
    EXPECT_EQ(writer->SetInputMediaType(index, input.Get(), nullptr),
              c.value == 0 ? MF_E_TOPO_CODEC_NOT_FOUND : MF_E_INVALIDMEDIATYPE) << c.name;
    EXPECT_EQ(writer->SetInputMediaType(index + 1, input.Get(), nullptr), MF_E_INVALIDSTREAMNUMBER) << c.name;
    // Without an input type the stream cannot start.
    EXPECT_EQ(writer->BeginWriting(), MF_E_INVALIDREQUEST) << c.name;
  }
}

TEST_F(MfTest, CallsOutOfOrderAreInvalidRequests) {
  ComPtr<IMFSinkWriter> writer;
  ASSERT_EQ(CreateWriter(TempPath("order.mp4"), &writer), S_OK);
  EXPECT_EQ(writer->BeginWriting(), MF_E_INVALIDREQUEST);  // no stream at all
  const VideoSpec spec;
  DWORD index = 0;
  ASSERT_EQ(writer->AddStream(VideoOutputType(spec).Get(), &index), S_OK);
  ASSERT_EQ(writer->SetInputMediaType(index, VideoInputType(spec).Get(), nullptr), S_OK);

  const ComPtr<IMFSample> sample = VideoSample(spec, 0);
  EXPECT_EQ(writer->WriteSample(index, sample.Get()), MF_E_INVALIDREQUEST);  // before BeginWriting
  EXPECT_EQ(writer->Finalize(), MF_E_INVALIDREQUEST);
  EXPECT_EQ(writer->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS), MF_E_INVALIDREQUEST);

  ASSERT_EQ(writer->BeginWriting(), S_OK);
  EXPECT_EQ(writer->BeginWriting(), MF_E_INVALIDREQUEST);
  DWORD another = 0;
  EXPECT_EQ(writer->AddStream(VideoOutputType(spec).Get(), &another), MF_E_INVALIDREQUEST);
  EXPECT_EQ(writer->SetInputMediaType(index, VideoInputType(spec).Get(), nullptr), MF_E_INVALIDREQUEST);

  EXPECT_EQ(writer->WriteSample(index + 1, sample.Get()), MF_E_INVALIDSTREAMNUMBER);
  EXPECT_EQ(writer->WriteSample(index, nullptr), E_INVALIDARG);
  ComPtr<IMFSample> untimed;
  ASSERT_EQ(MFCreateSample(&untimed), S_OK);
  EXPECT_EQ(writer->WriteSample(index, untimed.Get()), MF_E_NO_SAMPLE_TIMESTAMP);
  // A picture smaller than the frame size.
  EXPECT_EQ(writer->WriteSample(index, VideoSample({.width = 16, .height = 16}, 0).Get()), MF_E_BUFFERTOOSMALL);

  EXPECT_EQ(writer->WriteSample(index, sample.Get()), S_OK);
  EXPECT_EQ(writer->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS), S_OK);
  EXPECT_EQ(writer->NotifyEndOfSegment(index + 1), MF_E_INVALIDSTREAMNUMBER);
  EXPECT_EQ(writer->Finalize(), S_OK);
  EXPECT_EQ(writer->Finalize(), MF_E_INVALIDREQUEST);
  EXPECT_EQ(writer->WriteSample(index, sample.Get()), MF_E_INVALIDREQUEST);
  EXPECT_EQ(writer->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS), MF_E_INVALIDREQUEST);
}

}  // namespace
}  // namespace sinkwriter_test
