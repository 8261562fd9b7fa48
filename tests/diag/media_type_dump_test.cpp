// The media type dump: each value shape, the 259-character limit, the
// failures that stop it, and the GUID name table against the Windows SDK.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fake_com.h"
#include "guid_names.h"
#include "kxdiag/media_type_dump.h"
#include "log_capture.h"

namespace {

using kx::test::LogCapture;
using Strings = std::vector<std::string>;

// {01234567-89AB-CDEF-0123-456789ABCDEF} and {0000BEEF-...}: in no table.
constexpr GUID kUnknownKey = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
constexpr GUID kUnknownKey2 = {0x0000BEEF, 0x0001, 0x0002, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}};
const std::string kUnknownName = "{01234567-89AB-CDEF-0123-456789ABCDEF}";

// An attribute store that holds any PROPVARIANT (real stores refuse some
// types and null GUIDs) and fails where a test asks it to. GetItemByIndex
// hands out copies the caller clears, as Media Foundation does.
class RawItems final : public kx::test::AttributesOver<> {
 public:
  ~RawItems() override {
    for (auto& item : items_) {
      if (item.second.vt != VT_CLSID || item.second.puuid != nullptr) PropVariantClear(&item.second);
    }
  }
  template <typename Fill>
  RawItems& Add(REFGUID key, VARTYPE type, Fill fill) {
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = type;
    fill(value);
    items_.emplace_back(key, value);
    return *this;
  }
  RawItems& U32(REFGUID key, uint32_t v) { return Add(key, VT_UI4, [&](PROPVARIANT& p) { p.ulVal = v; }); }
  RawItems& U64(REFGUID key, uint64_t v) { return Add(key, VT_UI8, [&](PROPVARIANT& p) { p.uhVal.QuadPart = v; }); }
  RawItems& Guid(REFGUID key, const GUID* v) {
    return Add(key, VT_CLSID, [&](PROPVARIANT& p) { p.puuid = v ? Copy(v, 1) : nullptr; });
  }
  RawItems& Text(REFGUID key, const std::basic_string<kx_wchar>& v) {
    return Add(key, VT_LPWSTR, [&](PROPVARIANT& p) { p.pwszVal = reinterpret_cast<LPWSTR>(Copy(v.c_str(), v.size() + 1)); });
  }
  RawItems& Blob(REFGUID key, const void* bytes, uint32_t size) {
    return Add(key, VT_VECTOR | VT_UI1, [&](PROPVARIANT& p) {
      p.caub.cElems = size;
      p.caub.pElems = Copy(static_cast<const UCHAR*>(bytes), size);
    });
  }

  bool failGetCount = false;
  int failGetItemAt = -1;

  HRESULT STDMETHODCALLTYPE GetCount(UINT32* count) override {
    if (failGetCount) return E_UNEXPECTED;
    *count = static_cast<UINT32>(items_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) override {
    if (static_cast<int>(index) == failGetItemAt) return E_UNEXPECTED;
    if (index >= items_.size()) return E_INVALIDARG;
    *key = items_[index].first;
    const PROPVARIANT& item = items_[index].second;
    if (item.vt == VT_CLSID && item.puuid == nullptr) return (*value = item, S_OK);
    return PropVariantCopy(value, &item);
  }

 private:
  template <typename T>
  static T* Copy(const T* from, size_t count) {
    auto* to = static_cast<T*>(CoTaskMemAlloc(count * sizeof(T) + 1));
    std::memcpy(to, from, count * sizeof(T));
    return to;
  }
  std::vector<std::pair<GUID, PROPVARIANT>> items_;
};

std::string Line(const std::string& attributeText) { return "kx_Traxel info [Media Foundation ]: " + attributeText + "\n"; }

// An MFVideoArea as the store keeps it.
std::vector<uint8_t> Aperture(uint16_t fractX, int16_t valueX, uint16_t fractY, int16_t valueY, int32_t cx, int32_t cy) {
  MFVideoArea area;
  area.OffsetX.fract = fractX;
  area.OffsetX.value = valueX;
  area.OffsetY.fract = fractY;
  area.OffsetY.value = valueY;
  area.Area.cx = cx;
  area.Area.cy = cy;
  std::vector<uint8_t> bytes(sizeof area);
  std::memcpy(bytes.data(), &area, sizeof area);
  return bytes;
}

TEST(DumpMediaType, EveryValueShape) {
  LogCapture log;
  auto unknown = kx::test::Make<kx::test::Fake<IUnknown>>();
  const uint8_t userData[3] = {1, 2, 3};
  const std::vector<uint8_t> geometric = Aperture(32768, 1, 0, -2, 1920, 1080);
  const std::vector<uint8_t> panScan = Aperture(16384, -1, 0, 0, -4, 0);
  auto type = kx::test::Make<RawItems>();
  type->Guid(MF_MT_MAJOR_TYPE, &MFMediaType_Video).Guid(MF_MT_SUBTYPE, &MFVideoFormat_H264)
      .U64(MF_MT_FRAME_SIZE, (1920ull << 32) | 1080).U64(MF_MT_FRAME_RATE, (30000ull << 32) | 1001)
      .U64(MF_MT_FRAME_RATE_RANGE_MAX, (4294967295ull << 32) | 1).U64(MF_MT_FRAME_RATE_RANGE_MIN, 1ull << 32)
      .U32(MF_MT_AVG_BITRATE, 4294967295u)
      .Add(kUnknownKey2, VT_R8, [](PROPVARIANT& p) { p.dblVal = 29.97; })
      .U64(kUnknownKey, 18446744073709551615ull).Text(kUnknownKey, KX_W("hello"))
      .Blob(MF_MT_USER_DATA, userData, 3)
      .Blob(MF_MT_GEOMETRIC_APERTURE, geometric.data(), static_cast<uint32_t>(geometric.size()))
      .Blob(MF_MT_PAN_SCAN_APERTURE, panScan.data(), static_cast<uint32_t>(panScan.size()))
      .Add(MF_MT_WRAPPED_TYPE, VT_UNKNOWN, [&](PROPVARIANT& p) { (p.punkVal = unknown.Get())->AddRef(); })
      .Add(MF_MT_DEFAULT_STRIDE, VT_I4, [](PROPVARIANT& p) { p.lVal = -1920; })
      .Guid(MF_MT_AM_FORMAT_TYPE, &kUnknownKey2).Guid(MF_MT_SUBTYPE, &MFAudioFormat_AAC);
  EXPECT_TRUE(DumpMediaType(type.Get()));
  EXPECT_EQ(log.Take(), (Strings{
                            Line("    MF_MT_MAJOR_TYPE: MFMediaType_Video"),
                            Line("    MF_MT_SUBTYPE: MFVideoFormat_H264"),
                            Line("    MF_MT_FRAME_SIZE: 1920 x 1080"),
                            Line("    MF_MT_FRAME_RATE: 30000 x 1001"),
                            Line("    MF_MT_FRAME_RATE_RANGE_MAX: 4294967295 x 1"),
                            Line("    MF_MT_FRAME_RATE_RANGE_MIN: 1 x 0"),
                            Line("    MF_MT_AVG_BITRATE: 4294967295"),
                            Line("    {0000BEEF-0001-0002-A0A1-A2A3A4A5A6A7}: 29.970000"),
                            Line("    " + kUnknownName + ": 18446744073709551615"),
                            Line("    " + kUnknownName + ": hello"),
                            Line("    MF_MT_USER_DATA: <<byte array>>"),
                            Line("    MF_MT_GEOMETRIC_APERTURE: (1.500000,-2.000000) (1920,1080)"),
                            Line("    MF_MT_PAN_SCAN_APERTURE: (-0.750000,0.000000) (-4,0)"),
                            Line("    MF_MT_WRAPPED_TYPE: IUnknown"),
                            Line("    MF_MT_DEFAULT_STRIDE: Unexpected attribute type (vt = 3)"),
                            Line("    MF_MT_AM_FORMAT_TYPE: {0000BEEF-0001-0002-A0A1-A2A3A4A5A6A7}"),
                            Line("    MF_MT_SUBTYPE: MFAudioFormat_AAC"),
                        }));
  EXPECT_EQ(kx::test::RefCount(unknown.Get()), 2u) << "the store's and ours; the dump's copy was released";
}

// "    " + 38-character braces name + ": " = 44 characters before the value.
TEST(DumpMediaType, EmptyTypeLongLinesAndFailuresThatStopIt) {
  const std::vector<uint8_t> area = Aperture(0, 1, 0, 2, 3, 4);
  const struct {
    const char* name;
    std::function<void(RawItems&)> build;
    bool result;
    Strings lines;
  } cases[] = {
      {"empty", [](RawItems&) {}, true, {Line("Empty media type.")}},
      {"line over 259 characters dropped, the dump goes on",
       [](RawItems& t) {
         t.Text(kUnknownKey, std::basic_string<kx_wchar>(259 - 44, KX_W('f')))
             .Text(kUnknownKey, std::basic_string<kx_wchar>(260 - 44, KX_W('t'))).U32(MF_MT_SAMPLE_SIZE, 42);
       },
       true, {Line("    " + kUnknownName + ": " + std::string(215, 'f')), Line("    MF_MT_SAMPLE_SIZE: 42")}},
      {"aperture shorter than 16 bytes",
       [&](RawItems& t) { t.U32(MF_MT_SAMPLE_SIZE, 1).Blob(MF_MT_MINIMUM_DISPLAY_APERTURE, area.data(), 12).U32(MF_MT_AVG_BITRATE, 2); },
       false, {Line("    MF_MT_SAMPLE_SIZE: 1")}},
      {"GUID value that cannot be named",
       [](RawItems& t) { t.U32(MF_MT_SAMPLE_SIZE, 1).Guid(MF_MT_SUBTYPE, nullptr).U32(MF_MT_AVG_BITRATE, 2); },
       false, {Line("    MF_MT_SAMPLE_SIZE: 1"), Line("    MF_MT_SUBTYPE: ")}},
      {"aperture that is no byte array", [](RawItems& t) { t.U64(MF_MT_GEOMETRIC_APERTURE, 0x1234); }, false, {}},
      {"GetCount fails",
       [](RawItems& t) {
         t.U32(MF_MT_SAMPLE_SIZE, 1);
         t.failGetCount = true;
       },
       false, {}},
      {"second GetItemByIndex fails",
       [](RawItems& t) {
         t.U32(MF_MT_SAMPLE_SIZE, 1).U32(MF_MT_AVG_BITRATE, 2).U32(MF_MT_COMPRESSED, 3);
         t.failGetItemAt = 1;
       },
       false, {Line("    MF_MT_SAMPLE_SIZE: 1")}},
  };
  LogCapture log;
  for (const auto& c : cases) {
    auto type = kx::test::Make<RawItems>();
    c.build(*type.Get());
    EXPECT_EQ(DumpMediaType(type.Get()), c.result) << c.name;
    EXPECT_EQ(log.Take(), c.lines) << c.name;
  }
  EXPECT_FALSE(DumpMediaType(nullptr));
  DumpLogLine(KX_W("%d|%s|%S"), -5, KX_W("wide"), "narrow");
  DumpLogLine(KX_W("%s"), std::basic_string<kx_wchar>(260, KX_W('x')).c_str());
  EXPECT_EQ(log.Take(), Strings{Line("-5|wide|narrow")});
}

// A type of the platform's own store (Media Foundation's under Wine).
TEST(DumpMediaType, RealMediaTypeFromThePlatform) {
  LogCapture log;
  ASSERT_EQ(MFStartup(MF_VERSION, 0), S_OK);
  {
    kx::ComPtr<IMFMediaType> type;
    ASSERT_EQ(MFCreateMediaType(&type), S_OK);
    ASSERT_EQ(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio), S_OK);
    ASSERT_EQ(type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_WMAudioV8), S_OK);
    ASSERT_EQ(type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2), S_OK);
    ASSERT_EQ(type->SetDouble(MF_MT_AUDIO_FLOAT_SAMPLES_PER_SECOND, 44100.5), S_OK);
    ASSERT_EQ(type->SetString(kUnknownKey, KX_W("text")), S_OK);
    const uint8_t blob[2] = {0, 1};
    ASSERT_EQ(type->SetBlob(MF_MT_USER_DATA, blob, 2), S_OK);
    EXPECT_TRUE(DumpMediaType(type.Get()));
  }
  MFShutdown();
  EXPECT_EQ(log.Take(), (Strings{
                            Line("    MF_MT_MAJOR_TYPE: MFMediaType_Audio"),
                            Line("    MF_MT_SUBTYPE: MFAudioFormat_WMAudioV8"),
                            Line("    MF_MT_AUDIO_NUM_CHANNELS: 2"),
                            Line("    MF_MT_AUDIO_FLOAT_SAMPLES_PER_SECOND: 44100.500000"),
                            Line("    " + kUnknownName + ": text"),
                            Line("    MF_MT_USER_DATA: <<byte array>>"),
                        }));
}

// The names and values of the table as the Windows SDK defines them: the
// list the Windows build prints (media_guid_list.exe under Wine) is kept in
// data/; both builds must print exactly that. A GUID that differs in one bit
// has no name.
TEST(MediaGuidName, TableMatchesTheWindowsSdk) {
  std::ifstream in(KX_MEDIA_GUID_NAMES_FILE, std::ios::binary);
  ASSERT_TRUE(in.good()) << KX_MEDIA_GUID_NAMES_FILE;
  std::stringstream expected;
  expected << in.rdbuf();
  std::istringstream expectedLines(expected.str()), actualLines(kx::test::MediaGuidNameList());
  std::string want, got;
  int lines = 0;
  while (std::getline(expectedLines, want)) {
    ASSERT_TRUE(std::getline(actualLines, got)) << "missing: " << want;
    EXPECT_EQ(got, want) << "entry " << lines;
    ++lines;
  }
  EXPECT_FALSE(std::getline(actualLines, got)) << "extra: " << got;
  EXPECT_EQ(lines, 138);
  GUID almost = MFVideoFormat_H264;
  almost.Data4[7] ^= 1;
  EXPECT_EQ(MediaGuidName(almost), nullptr);
}

}  // namespace
