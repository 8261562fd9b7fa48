// Each refusal of the sink writer, with the HRESULT the platform gives.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>

#include "writer_helpers.h"

using kx::ComPtr;

namespace sinkwriter_test {
namespace {

HRESULT CreateWriter(const std::string& path, IMFSinkWriter** writer) {
  const std::u16string widePath = Wide(path);
  return MFCreateSinkWriterFromURL(widePath.c_str(), nullptr, nullptr, writer);
}

// --- Creation ---------------------------------------------------------------

struct CreateCase {
  const char* name;
  std::function<std::string()> path;
  HRESULT expected;
};

class CreateRefusal : public MfTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(CreateRefusal, Fails) {
  const CreateCase& c = GetParam();
  ComPtr<IMFSinkWriter> writer;
  EXPECT_EQ(CreateWriter(c.path(), &writer), c.expected) << c.name;
  EXPECT_FALSE(writer) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CreateRefusal,
    ::testing::Values(
        CreateCase{"avi_extension", [] { return TempPath("clip.avi"); }, MF_E_UNSUPPORTED_BYTESTREAM_TYPE},
        CreateCase{"no_extension", [] { return TempPath("clip"); }, MF_E_UNSUPPORTED_BYTESTREAM_TYPE},
        CreateCase{"dot_in_folder_only", [] { return TempPath("a.wmv/clip"); }, MF_E_UNSUPPORTED_BYTESTREAM_TYPE},
        CreateCase{"missing_folder", [] { return TempPath("missing/clip.wmv"); },
                   HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
        CreateCase{"file_as_folder",
                   [] {
                     const std::string file = TempPath("plain");
                     std::ofstream(file) << "x";
                     return file + "/clip.wmv";
                   },
                   HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
        CreateCase{"folder_as_file",
                   [] {
                     const std::string folder = TempPath("folder.mp4");
                     mkdir(folder.c_str(), 0700);
                     return folder;
                   },
                   HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)}),
    [](const ::testing::TestParamInfo<CreateCase>& info) { return info.param.name; });

TEST_F(MfTest, CreateRejectsBadArguments) {
  ComPtr<IMFSinkWriter> writer;
  EXPECT_EQ(MFCreateSinkWriterFromURL(nullptr, nullptr, nullptr, &writer), E_INVALIDARG);
  EXPECT_EQ(MFCreateSinkWriterFromURL(u"", nullptr, nullptr, &writer), E_INVALIDARG);
  const std::u16string path = Wide(TempPath("clip.mp4"));
  EXPECT_EQ(MFCreateSinkWriterFromURL(path.c_str(), nullptr, nullptr, nullptr), E_POINTER);
  // A name with an unpaired surrogate has no UTF-8 spelling: refused, not
  // written under another name.
  const std::u16string lone = Wide(TempPath("clip")) + u'\xD800' + u".mp4";
  EXPECT_EQ(MFCreateSinkWriterFromURL(lone.c_str(), nullptr, nullptr, &writer),
            HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION));
  // An async callback attribute that is not a callback.
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(MFCreateAttributes(&attributes, 1), S_OK);
  ComPtr<IMFMediaType> notACallback;
  ASSERT_EQ(MFCreateMediaType(&notACallback), S_OK);
  ASSERT_EQ(attributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, notACallback.Get()), S_OK);
  EXPECT_EQ(MFCreateSinkWriterFromURL(path.c_str(), nullptr, attributes.Get(), &writer), E_INVALIDARG);
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The output is opened when writing begins: a writer configured and then
// let go changes nothing at its path, and an open that fails by then is
// BeginWriting's failure.
TEST_F(MfTest, TheFileIsOpenedOnlyWhenWritingBegins) {
  const VideoSpec video;
  const auto configure = [&](const std::string& path, ComPtr<IMFSinkWriter>* writer) {
    ASSERT_EQ(CreateWriter(path, writer->ReleaseAndGetAddressOf()), S_OK);
    ComPtr<IMFMediaType> output, input;
    DWORD index = 0;
    ASSERT_EQ(MakeVideoOutputType(video, &output), S_OK);
    ASSERT_EQ((*writer)->AddStream(output.Get(), &index), S_OK);
    ASSERT_EQ(MakeVideoInputType(video, &input), S_OK);
    ASSERT_EQ((*writer)->SetInputMediaType(index, input.Get(), nullptr), S_OK);
  };
  ComPtr<IMFSinkWriter> writer;

  const std::string existing = TempPath("existing.mp4");
  std::ofstream(existing, std::ios::binary) << "the host's own bytes";
  configure(existing, std::addressof(writer));
  writer.Reset();
  EXPECT_EQ(FileBytes(existing), "the host's own bytes");

  const std::string fresh = TempPath("fresh.mp4");
  configure(fresh, std::addressof(writer));
  EXPECT_FALSE(std::filesystem::exists(fresh));
  EXPECT_EQ(writer->BeginWriting(), S_OK);
  EXPECT_TRUE(std::filesystem::exists(fresh));
  writer.Reset();

  const std::string folder = TempPath("gone");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  configure(folder + "/clip.mp4", std::addressof(writer));
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  EXPECT_EQ(writer->BeginWriting(), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(writer->WriteSample(0, nullptr), MF_E_INVALIDREQUEST) << "a writer that did not begin takes no samples";
}

// --- AddStream --------------------------------------------------------------

struct AddStreamCase {
  const char* name;
  const char* extension;
  std::function<HRESULT(IMFMediaType**)> type;
};

HRESULT VideoTypeWithout(const GUID& key, IMFMediaType** out) {
  ComPtr<IMFMediaType> type;
  HRESULT hr = MakeVideoOutputType(VideoSpec(), &type);
  if (SUCCEEDED(hr)) hr = type->DeleteItem(key);
  if (SUCCEEDED(hr)) *out = type.Detach();
  return hr;
}

HRESULT VideoOutput(const GUID& subtype, IMFMediaType** out) {
  VideoSpec spec;
  spec.subtype = subtype;
  return MakeVideoOutputType(spec, out);
}

class AddStreamRefusal : public MfTest, public ::testing::WithParamInterface<AddStreamCase> {};

TEST_P(AddStreamRefusal, IsInvalidMediaType) {
  const AddStreamCase& c = GetParam();
  ComPtr<IMFSinkWriter> writer;
  ASSERT_EQ(CreateWriter(TempPath(std::string("clip") + c.extension), &writer), S_OK) << c.name;
  ComPtr<IMFMediaType> type;
  ASSERT_EQ(c.type(&type), S_OK) << c.name;
  DWORD index = 77;
  EXPECT_EQ(writer->AddStream(type.Get(), &index), MF_E_INVALIDMEDIATYPE) << c.name;
  EXPECT_EQ(index, 77u) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Types, AddStreamRefusal,
    ::testing::Values(
        AddStreamCase{"no_major_type", ".wmv", [](IMFMediaType** t) { return VideoTypeWithout(MF_MT_MAJOR_TYPE, t); }},
        AddStreamCase{"no_subtype", ".wmv", [](IMFMediaType** t) { return VideoTypeWithout(MF_MT_SUBTYPE, t); }},
        AddStreamCase{"no_frame_size", ".mp4", [](IMFMediaType** t) { return VideoTypeWithout(MF_MT_FRAME_SIZE, t); }},
        AddStreamCase{"no_frame_rate", ".mp4", [](IMFMediaType** t) { return VideoTypeWithout(MF_MT_FRAME_RATE, t); }},
        AddStreamCase{"zero_frame_rate", ".mp4",
                      [](IMFMediaType** t) {
                        VideoSpec spec;
                        spec.fpsNum = 0;
                        return MakeVideoOutputType(spec, t);
                      }},
        AddStreamCase{"zero_frame_size", ".wmv",
                      [](IMFMediaType** t) {
                        VideoSpec spec;
                        spec.width = 0;
                        return MakeVideoOutputType(spec, t);
                      }},
        AddStreamCase{"wmv2_in_mp4", ".mp4", [](IMFMediaType** t) { return VideoOutput(MFVideoFormat_WMV2, t); }},
        AddStreamCase{"wmv1_in_mp4", ".mp4", [](IMFMediaType** t) { return VideoOutput(MFVideoFormat_WMV1, t); }},
        AddStreamCase{"hevc_in_asf", ".wmv", [](IMFMediaType** t) { return VideoOutput(MFVideoFormat_HEVC, t); }},
        AddStreamCase{"wma_in_mp4", ".mp4",
                      [](IMFMediaType** t) {
                        AudioSpec spec;
                        spec.subtype = MFAudioFormat_WMAudioV8;
                        return FindAudioOutputType(spec, t);
                      }},
        AddStreamCase{"audio_subtype_as_video", ".wmv",
                      [](IMFMediaType** t) { return VideoOutput(MFAudioFormat_AAC, t); }},
        AddStreamCase{"uncompressed_output", ".wmv",
                      [](IMFMediaType** t) { return VideoOutput(MFVideoFormat_YV12, t); }}),
    [](const ::testing::TestParamInfo<AddStreamCase>& info) { return info.param.name; });

TEST_F(MfTest, AddStreamRejectsNullArguments) {
  ComPtr<IMFSinkWriter> writer;
  ASSERT_EQ(CreateWriter(TempPath("clip.wmv"), &writer), S_OK);
  ComPtr<IMFMediaType> type;
  ASSERT_EQ(MakeVideoOutputType(VideoSpec(), &type), S_OK);
  DWORD index = 0;
  EXPECT_EQ(writer->AddStream(nullptr, &index), E_INVALIDARG);
  EXPECT_EQ(writer->AddStream(type.Get(), nullptr), E_POINTER);
}

TEST_F(MfTest, StreamIndexesFollowTheOrderOfAddition) {
  ComPtr<IMFSinkWriter> writer;
  ASSERT_EQ(CreateWriter(TempPath("clip.wmv"), &writer), S_OK);
  ComPtr<IMFMediaType> video, audio;
  VideoSpec videoSpec;
  videoSpec.subtype = MFVideoFormat_WMV2;
  AudioSpec audioSpec;
  audioSpec.subtype = MFAudioFormat_WMAudioV8;
  ASSERT_EQ(MakeVideoOutputType(videoSpec, &video), S_OK);
  ASSERT_EQ(FindAudioOutputType(audioSpec, &audio), S_OK);
  DWORD first = 9, second = 9, third = 9;
  EXPECT_EQ(writer->AddStream(audio.Get(), &first), S_OK);
  EXPECT_EQ(writer->AddStream(video.Get(), &second), S_OK);
  EXPECT_EQ(writer->AddStream(video.Get(), &third), S_OK);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(second, 1u);
  EXPECT_EQ(third, 2u);
}

// --- SetInputMediaType ------------------------------------------------------

struct InputCase {
  const char* name;
  const char* extension;
  VideoSpec video;       // used when audio is false
  AudioSpec audio;       // used when audio is true
  bool isAudio;
  std::function<void(IMFMediaType*)> changeInput;  // applied to the matching input type
  HRESULT expected;
};

VideoSpec Video(const GUID& subtype) {
  VideoSpec spec;
  spec.subtype = subtype;
  return spec;
}
AudioSpec Audio(const GUID& subtype) {
  AudioSpec spec;
  spec.subtype = subtype;
  return spec;
}
const auto kNoChange = [](IMFMediaType*) {};

class InputRefusal : public MfTest, public ::testing::WithParamInterface<InputCase> {};

TEST_P(InputRefusal, Fails) {
  const InputCase& c = GetParam();
  ComPtr<IMFSinkWriter> writer;
  ASSERT_EQ(CreateWriter(TempPath(std::string("clip") + c.extension), &writer), S_OK) << c.name;
  ComPtr<IMFMediaType> output, input;
  if (c.isAudio) {
    // WMA 9 has no listed types here: build its output type by hand.
    if (c.audio.subtype == MFAudioFormat_WMAudioV9) {
      ASSERT_EQ(MFCreateMediaType(&output), S_OK);
      output->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
      output->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_WMAudioV9);
      output->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 44100);
      output->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
    } else {
      ASSERT_EQ(FindAudioOutputType(c.audio, &output), S_OK) << c.name;
    }
    ASSERT_EQ(MakeAudioInputType(c.audio, &input), S_OK) << c.name;
  } else {
    ASSERT_EQ(MakeVideoOutputType(c.video, &output), S_OK) << c.name;
    ASSERT_EQ(MakeVideoInputType(c.video, &input), S_OK) << c.name;
  }
  DWORD index = 0;
  ASSERT_EQ(writer->AddStream(output.Get(), &index), S_OK) << c.name;
  c.changeInput(input.Get());
  EXPECT_EQ(writer->SetInputMediaType(index, input.Get(), nullptr), c.expected) << c.name;
  // Without an input type the stream cannot start.
  EXPECT_EQ(writer->BeginWriting(), MF_E_INVALIDREQUEST) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Types, InputRefusal,
    ::testing::Values(
        InputCase{"wmv3_has_no_encoder", ".wmv", Video(MFVideoFormat_WMV3), {}, false, kNoChange,
                  MF_E_TOPO_CODEC_NOT_FOUND},
        InputCase{"vc1_has_no_encoder", ".wmv", Video(MFVideoFormat_WVC1), {}, false, kNoChange,
                  MF_E_TOPO_CODEC_NOT_FOUND},
        InputCase{"wma9_has_no_encoder", ".wma", {}, Audio(MFAudioFormat_WMAudioV9), true, kNoChange,
                  MF_E_TOPO_CODEC_NOT_FOUND},
        InputCase{"other_frame_size", ".mp4", Video(MFVideoFormat_H264), {}, false,
                  [](IMFMediaType* t) { MFSetAttributeSize(t, MF_MT_FRAME_SIZE, 320, 240); }, MF_E_INVALIDMEDIATYPE},
        InputCase{"other_frame_rate", ".mp4", Video(MFVideoFormat_H264), {}, false,
                  [](IMFMediaType* t) { MFSetAttributeRatio(t, MF_MT_FRAME_RATE, 25, 1); }, MF_E_INVALIDMEDIATYPE},
        InputCase{"rgb_input", ".wmv", Video(MFVideoFormat_WMV2), {}, false,
                  [](IMFMediaType* t) { t->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32); }, MF_E_INVALIDMEDIATYPE},
        InputCase{"nv12_into_wmv2", ".wmv", Video(MFVideoFormat_WMV2), {}, false,
                  [](IMFMediaType* t) { t->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12); }, MF_E_INVALIDMEDIATYPE},
        InputCase{"audio_for_video", ".mp4", Video(MFVideoFormat_H264), {}, false,
                  [](IMFMediaType* t) { t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio); }, MF_E_INVALIDMEDIATYPE},
        InputCase{"other_sample_rate", ".m4a", {}, Audio(MFAudioFormat_AAC), true,
                  [](IMFMediaType* t) { t->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000); },
                  MF_E_INVALIDMEDIATYPE},
        InputCase{"other_channel_count", ".wma", {}, Audio(MFAudioFormat_WMAudioV8), true,
                  [](IMFMediaType* t) { t->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 1); }, MF_E_INVALIDMEDIATYPE},
        InputCase{"twelve_bit_pcm", ".m4a", {}, Audio(MFAudioFormat_AAC), true,
                  [](IMFMediaType* t) { t->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 12); }, MF_E_INVALIDMEDIATYPE},
        InputCase{"wrong_block_alignment", ".m4a", {}, Audio(MFAudioFormat_AAC), true,
                  [](IMFMediaType* t) { t->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 3); }, MF_E_INVALIDMEDIATYPE},
        InputCase{"compressed_input", ".m4a", {}, Audio(MFAudioFormat_AAC), true,
                  [](IMFMediaType* t) { t->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC); }, MF_E_INVALIDMEDIATYPE}),
    [](const ::testing::TestParamInfo<InputCase>& info) { return info.param.name; });

TEST_F(MfTest, OddPictureSizesAreRefused) {
  ComPtr<IMFSinkWriter> writer;
  ASSERT_EQ(CreateWriter(TempPath("odd.wmv"), &writer), S_OK);
  VideoSpec spec = Video(MFVideoFormat_WMV2);
  spec.width = 161;
  ComPtr<IMFMediaType> output, input;
  ASSERT_EQ(MakeVideoOutputType(spec, &output), S_OK);
  ASSERT_EQ(MakeVideoInputType(spec, &input), S_OK);
  DWORD index = 0;
  ASSERT_EQ(writer->AddStream(output.Get(), &index), S_OK);
  EXPECT_EQ(writer->SetInputMediaType(index, input.Get(), nullptr), MF_E_INVALIDMEDIATYPE);
}

TEST_F(MfTest, SetInputMediaTypeChecksItsArguments) {
  ComPtr<IMFSinkWriter> writer;
  ASSERT_EQ(CreateWriter(TempPath("clip.mp4"), &writer), S_OK);
  ComPtr<IMFMediaType> input;
  ASSERT_EQ(MakeVideoInputType(VideoSpec(), &input), S_OK);
  EXPECT_EQ(writer->SetInputMediaType(0, input.Get(), nullptr), MF_E_INVALIDSTREAMNUMBER);
  EXPECT_EQ(writer->BeginWriting(), MF_E_INVALIDREQUEST);  // no stream at all
}

// --- Calls out of order -----------------------------------------------------

TEST_F(MfTest, CallsOutOfOrderAreInvalidRequests) {
  const std::string path = TempPath("order.mp4");
  ComPtr<IMFSinkWriter> writer;
  ASSERT_EQ(CreateWriter(path, &writer), S_OK);
  VideoSpec spec;
  ComPtr<IMFMediaType> output, input;
  ASSERT_EQ(MakeVideoOutputType(spec, &output), S_OK);
  ASSERT_EQ(MakeVideoInputType(spec, &input), S_OK);
  DWORD index = 0;
  ASSERT_EQ(writer->AddStream(output.Get(), &index), S_OK);
  ASSERT_EQ(writer->SetInputMediaType(index, input.Get(), nullptr), S_OK);

  ComPtr<IMFSample> sample;
  ASSERT_EQ(MakeVideoSample(spec, 0, &sample), S_OK);
  EXPECT_EQ(writer->WriteSample(index, sample.Get()), MF_E_INVALIDREQUEST);  // before BeginWriting
  EXPECT_EQ(writer->Finalize(), MF_E_INVALIDREQUEST);
  EXPECT_EQ(writer->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS), MF_E_INVALIDREQUEST);

  ASSERT_EQ(writer->BeginWriting(), S_OK);
  EXPECT_EQ(writer->BeginWriting(), MF_E_INVALIDREQUEST);
  DWORD another = 0;
  EXPECT_EQ(writer->AddStream(output.Get(), &another), MF_E_INVALIDREQUEST);
  EXPECT_EQ(writer->SetInputMediaType(index, input.Get(), nullptr), MF_E_INVALIDREQUEST);

  EXPECT_EQ(writer->WriteSample(index + 1, sample.Get()), MF_E_INVALIDSTREAMNUMBER);
  EXPECT_EQ(writer->WriteSample(index, nullptr), E_INVALIDARG);
  ComPtr<IMFSample> untimed;
  ASSERT_EQ(MFCreateSample(&untimed), S_OK);
  EXPECT_EQ(writer->WriteSample(index, untimed.Get()), MF_E_NO_SAMPLE_TIMESTAMP);
  // A picture smaller than the frame size.
  ComPtr<IMFSample> small;
  ComPtr<IMFMediaBuffer> smallBuffer;
  ASSERT_EQ(MFCreateSample(&small), S_OK);
  ASSERT_EQ(MFCreateMemoryBuffer(100, &smallBuffer), S_OK);
  ASSERT_EQ(smallBuffer->SetCurrentLength(100), S_OK);
  ASSERT_EQ(small->AddBuffer(smallBuffer.Get()), S_OK);
  ASSERT_EQ(small->SetSampleTime(0), S_OK);
  EXPECT_EQ(writer->WriteSample(index, small.Get()), MF_E_BUFFERTOOSMALL);

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
