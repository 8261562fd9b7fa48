// The encoders' audio output types and their wave format blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "writer_helpers.h"

namespace sinkwriter_test {
namespace {

std::vector<ComPtr<IMFMediaType>> ListTypes(const GUID& subtype, HRESULT* result) {
  std::vector<ComPtr<IMFMediaType>> types;
  ComPtr<IMFCollection> collection;
  *result = MFTranscodeGetAudioOutputAvailableTypes(subtype, MFT_ENUM_FLAG_ALL, nullptr, &collection);
  if (FAILED(*result)) return types;
  DWORD count = 0;
  collection->GetElementCount(&count);
  for (DWORD i = 0; i < count; ++i) {
    ComPtr<IUnknown> element;
    ComPtr<IMFMediaType> type;
    if (SUCCEEDED(collection->GetElement(i, &element)) &&
        SUCCEEDED(element->QueryInterface(IID_IMFMediaType, reinterpret_cast<void**>(&type)))) {
      types.push_back(type);
    }
  }
  return types;
}

UINT32 Get32(IMFMediaType* type, const GUID& key) { return MFGetAttributeUINT32(type, key, 0xFFFFFFFF); }

void ExpectCompleteType(IMFMediaType* type, const GUID& subtype, const std::string& label) {
  GUID actual = GUID_NULL;
  EXPECT_EQ(type->GetGUID(MF_MT_SUBTYPE, &actual), S_OK) << label;
  EXPECT_EQ(actual, subtype) << label;
  UINT32 userData = 0;
  EXPECT_EQ(type->GetBlobSize(MF_MT_USER_DATA, &userData), S_OK) << label;
  EXPECT_GT(userData, 0u) << label;
}

TEST_F(MfTest, AacTypesAreThoseOfThePlatformEncoder) {
  HRESULT hr = E_FAIL;
  const auto types = ListTypes(MFAudioFormat_AAC, &hr);
  ASSERT_EQ(hr, S_OK);
  ASSERT_EQ(types.size(), 2u * 3u * 4u);
  std::map<std::pair<UINT32, UINT32>, std::vector<UINT32>> rates;
  for (const auto& type : types) {
    const UINT32 sampleRate = Get32(type.Get(), MF_MT_AUDIO_SAMPLES_PER_SECOND);
    const UINT32 channels = Get32(type.Get(), MF_MT_AUDIO_NUM_CHANNELS);
    const std::string label = std::to_string(sampleRate) + "/" + std::to_string(channels);
    ExpectCompleteType(type.Get(), MFAudioFormat_AAC, label);
    rates[{sampleRate, channels}].push_back(Get32(type.Get(), MF_MT_AUDIO_AVG_BYTES_PER_SECOND));
    // The user data: payload type, profile-level, then the
    // AudioSpecificConfig of AAC-LC for this rate and channel count.
    UINT8 blob[32] = {};
    UINT32 size = 0;
    ASSERT_EQ(type->GetBlob(MF_MT_USER_DATA, blob, sizeof(blob), &size), S_OK) << label;
    ASSERT_EQ(size, 14u) << label;
    EXPECT_EQ(blob[0] | blob[1] << 8, 0) << label;
    EXPECT_EQ(blob[2] | blob[3] << 8, 0x29) << label;
    EXPECT_EQ(blob[12] >> 3, 2) << label;                                      // object type LC
    EXPECT_EQ(((blob[12] & 7) << 1) | (blob[13] >> 7), sampleRate == 48000 ? 3 : 4) << label;
    EXPECT_EQ((blob[13] >> 3) & 0xF, static_cast<int>(channels)) << label;
  }
  for (UINT32 sampleRate : {44100u, 48000u}) {
    for (UINT32 channels : {1u, 2u, 6u}) {
      const UINT32 factor = channels == 6 ? 6 : 1;
      const std::vector<UINT32> expected = {12000 * factor, 16000 * factor, 20000 * factor, 24000 * factor};
      const auto& listed = rates[std::make_pair(sampleRate, channels)];
      EXPECT_EQ(listed, expected) << sampleRate << "/" << channels;
    }
  }
}

TEST_F(MfTest, WmaTypesListHighestBitrateFirstAndEncode) {
  HRESULT hr = E_FAIL;
  const auto types = ListTypes(MFAudioFormat_WMAudioV8, &hr);
  ASSERT_EQ(hr, S_OK);
  ASSERT_FALSE(types.empty());
  std::map<std::pair<UINT32, UINT32>, std::vector<UINT32>> rates;
  for (const auto& type : types) {
    const UINT32 sampleRate = Get32(type.Get(), MF_MT_AUDIO_SAMPLES_PER_SECOND);
    const UINT32 channels = Get32(type.Get(), MF_MT_AUDIO_NUM_CHANNELS);
    ExpectCompleteType(type.Get(), MFAudioFormat_WMAudioV8, std::to_string(sampleRate) + "/" + std::to_string(channels));
    EXPECT_GE(sampleRate, 8000u);
    EXPECT_LE(sampleRate, 48000u);
    EXPECT_TRUE(channels == 1 || channels == 2);
    rates[{sampleRate, channels}].push_back(Get32(type.Get(), MF_MT_AUDIO_AVG_BYTES_PER_SECOND));
  }
  EXPECT_EQ(rates.size(), 14u);  // 7 rates x mono, stereo
  for (const auto& [format, list] : rates) {
    for (size_t i = 1; i < list.size(); ++i) {
      EXPECT_GT(list[i - 1], list[i]) << format.first << "/" << format.second;
    }
  }
  // 128 kbit/s stereo at 44.1 kHz, the host's usual choice, is offered.
  const auto& stereo44 = rates[std::make_pair(44100u, 2u)];
  EXPECT_NE(std::find(stereo44.begin(), stereo44.end(), 16000u), stereo44.end());

  // The lowest rate of each format really encodes.
  for (const auto& [format, list] : rates) {
    const AudioSpec audio{.subtype = MFAudioFormat_WMAudioV8, .sampleRate = format.first, .channels = format.second,
                          .outputBytesPerSecond = list.back()};
    Writer writer(TempPath("rate.wma"), nullptr, &audio);
    EXPECT_EQ(writer.WriteClip(0, format.first / 4, 1000), S_OK) << format.first << "/" << format.second;
    EXPECT_EQ(writer.writer->Finalize(), S_OK) << format.first << "/" << format.second;
  }
}

TEST_F(MfTest, SubtypesWithoutEncoderGiveEmptyLists) {
  for (const GUID* subtype : {&MFAudioFormat_WMAudioV9, &GUID_NULL, &MFAudioFormat_PCM, &MFVideoFormat_H264}) {
    HRESULT hr = E_FAIL;
    EXPECT_TRUE(ListTypes(*subtype, &hr).empty());
    EXPECT_EQ(hr, S_OK);
  }
  EXPECT_EQ(MFTranscodeGetAudioOutputAvailableTypes(MFAudioFormat_AAC, MFT_ENUM_FLAG_ALL, nullptr, nullptr), E_POINTER);
}

TEST_F(MfTest, WaveFormatBlockCarriesTheUserData) {
  const ComPtr<IMFMediaType> type = AudioOutputType({});  // AAC 44.1 kHz stereo, 16000 bytes per second
  AM_MEDIA_TYPE converted{};
  ASSERT_EQ(MFInitAMMediaTypeFromMFMediaType(type.Get(), FORMAT_WaveFormatEx, &converted), S_OK);
  ASSERT_NE(converted.pbFormat, nullptr);
  ASSERT_EQ(converted.cbFormat, sizeof(WAVEFORMATEX) + 14);
  WAVEFORMATEX format;
  std::memcpy(&format, converted.pbFormat, sizeof(format));
  EXPECT_EQ(format.wFormatTag, 0x1610);
  EXPECT_EQ(format.nChannels, 2);
  EXPECT_EQ(format.nSamplesPerSec, 44100u);
  EXPECT_EQ(format.nAvgBytesPerSec, 16000u);
  EXPECT_EQ(format.wBitsPerSample, 16);
  EXPECT_EQ(format.cbSize, 14);
  UINT8 userData[14] = {};
  ASSERT_EQ(type->GetBlob(MF_MT_USER_DATA, userData, sizeof(userData), nullptr), S_OK);
  EXPECT_EQ(std::memcmp(converted.pbFormat + sizeof(WAVEFORMATEX), userData, sizeof(userData)), 0);

  DMO_MEDIA_TYPE* asDmo = reinterpret_cast<DMO_MEDIA_TYPE*>(&converted);
  EXPECT_EQ(MoFreeMediaType(asDmo), S_OK);
  EXPECT_EQ(converted.pbFormat, nullptr);
  EXPECT_EQ(converted.cbFormat, 0u);
}

}  // namespace
}  // namespace sinkwriter_test
