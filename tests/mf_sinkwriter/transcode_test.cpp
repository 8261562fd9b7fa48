// The encoders' audio output types and their wave format blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "writer_helpers.h"

namespace sinkwriter_test {
namespace {

using Rates = std::map<std::pair<UINT32, UINT32>, std::vector<UINT32>>;  // (rate, channels) -> bytes/s

UINT32 Get32(IMFMediaType* type, const GUID& key) { return MFGetAttributeUINT32(type, key, 0xFFFFFFFF); }

// The listed types of `subtype`, each checked to be complete, by format.
Rates ListRates(const GUID& subtype) {
  Rates rates;
  for (const ComPtr<IMFMediaType>& type : AudioOutputTypes(subtype)) {
    const UINT32 sampleRate = Get32(type.Get(), MF_MT_AUDIO_SAMPLES_PER_SECOND);
    const UINT32 channels = Get32(type.Get(), MF_MT_AUDIO_NUM_CHANNELS);
    GUID actual = GUID_NULL;
    EXPECT_EQ(type->GetGUID(MF_MT_SUBTYPE, &actual), S_OK);
    EXPECT_EQ(actual, subtype);
    // AAC's user data: payload type, profile-level, then the
    // AudioSpecificConfig of AAC-LC for this rate and channel count.
    UINT8 blob[32] = {};
    UINT32 size = 0;
    EXPECT_EQ(type->GetBlob(MF_MT_USER_DATA, blob, sizeof(blob), &size), S_OK);
    if (subtype == MFAudioFormat_AAC) {
      EXPECT_EQ(size, 14u);
      EXPECT_EQ(blob[0] | blob[1] << 8 | blob[2] << 16 | blob[3] << 24, 0x290000);
      EXPECT_EQ(blob[12] >> 3, 2);  // object type LC
      EXPECT_EQ(((blob[12] & 7) << 1) | (blob[13] >> 7), sampleRate == 48000 ? 3 : 4);
      EXPECT_EQ((blob[13] >> 3) & 0xF, static_cast<int>(channels));
    } else {
      EXPECT_GT(size, 0u);
    }
    rates[{sampleRate, channels}].push_back(Get32(type.Get(), MF_MT_AUDIO_AVG_BYTES_PER_SECOND));
  }
  return rates;
}

TEST_F(MfTest, AudioTypesAreThoseOfThePlatformEncoders) {
  Rates rates = ListRates(MFAudioFormat_AAC);
  EXPECT_EQ(rates.size(), 2u * 3u);
  for (UINT32 sampleRate : {44100u, 48000u}) {
    for (UINT32 channels : {1u, 2u, 6u}) {
      const UINT32 f = channels == 6 ? 6 : 1;
      EXPECT_EQ(rates[std::make_pair(sampleRate, channels)],
                (std::vector<UINT32>{12000 * f, 16000 * f, 20000 * f, 24000 * f}));
    }
  }
  // WMA: 7 rates x mono, stereo, highest bit rate first; 128 kbit/s stereo
  // at 44.1 kHz, the host's usual choice, is offered, and the lowest rate of
  // each format really encodes.
  rates = ListRates(MFAudioFormat_WMAudioV8);
  EXPECT_EQ(rates.size(), 14u);
  const std::vector<UINT32>& stereo44 = rates[std::make_pair(44100u, 2u)];
  EXPECT_NE(std::find(stereo44.begin(), stereo44.end(), 16000u), stereo44.end());
  for (const auto& [format, list] : rates) {
    SCOPED_TRACE(std::to_string(format.first) + "/" + std::to_string(format.second));
    EXPECT_TRUE(std::adjacent_find(list.begin(), list.end(), std::less_equal<UINT32>()) == list.end());
    const AudioSpec audio{.subtype = MFAudioFormat_WMAudioV8, .sampleRate = format.first, .channels = format.second,
                          .outputBytesPerSecond = list.back()};
    Writer writer(TempPath("rate.wma"), nullptr, &audio);
    EXPECT_EQ(writer.WriteClip(0, format.first / 4, 1000), S_OK);
    EXPECT_EQ(writer.writer->Finalize(), S_OK);
  }
  // WMA 9 has no encoder here: an empty list.
  EXPECT_TRUE(ListRates(MFAudioFormat_WMAudioV9).empty());
  EXPECT_EQ(MFTranscodeGetAudioOutputAvailableTypes(MFAudioFormat_AAC, MFT_ENUM_FLAG_ALL, nullptr, nullptr), E_POINTER);

  // The wave format block of a type carries its user data.
  const ComPtr<IMFMediaType> type = AudioOutputType({});  // AAC 44.1 kHz stereo, 16000 bytes per second
  AM_MEDIA_TYPE converted{};
  ASSERT_EQ(MFInitAMMediaTypeFromMFMediaType(type.Get(), FORMAT_WaveFormatEx, &converted), S_OK);
  ASSERT_NE(converted.pbFormat, nullptr);
  ASSERT_EQ(converted.cbFormat, sizeof(WAVEFORMATEX) + 14);
  WAVEFORMATEX format;
  std::memcpy(&format, converted.pbFormat, sizeof(format));
  EXPECT_EQ(std::vector<UINT32>({format.wFormatTag, format.nChannels, format.nSamplesPerSec, format.nAvgBytesPerSec,
                                 format.wBitsPerSample, format.cbSize}),
            std::vector<UINT32>({0x1610, 2, 44100, 16000, 16, 14}));
  UINT8 userData[14] = {};
  ASSERT_EQ(type->GetBlob(MF_MT_USER_DATA, userData, sizeof(userData), nullptr), S_OK);
  EXPECT_EQ(std::memcmp(converted.pbFormat + sizeof(WAVEFORMATEX), userData, sizeof(userData)), 0);

  EXPECT_EQ(MoFreeMediaType(reinterpret_cast<DMO_MEDIA_TYPE*>(&converted)), S_OK);
  EXPECT_TRUE(converted.pbFormat == nullptr && converted.cbFormat == 0);
}

}  // namespace
}  // namespace sinkwriter_test
