// The media type dump: each value shape, the 259-character limit, the
// failures that stop it, and the GUID name table against the Windows SDK.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "guid_names.h"
#include "kxdiag/media_type_dump.h"
#include "log_capture.h"

namespace {

using kx::test::LogCapture;
using Strings = std::vector<std::string>;

// {01234567-89AB-CDEF-0123-456789ABCDEF}: in no table.
constexpr GUID kUnknownKey = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
constexpr GUID kUnknownKey2 = {0x0000BEEF, 0x0001, 0x0002, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}};

class FakeUnknown : public IUnknown {
 public:
  virtual ~FakeUnknown() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    if (out) *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  std::atomic<ULONG> refs{1};
};

// An attribute store that holds any PROPVARIANT (the real stores refuse
// some types) and fails where a test asks it to. GetItemByIndex hands out
// copies the caller clears, as Media Foundation does.
class FakeAttributes : public IMFAttributes {
 public:
  virtual ~FakeAttributes() {
    for (auto& item : items_) PropVariantClear(&item.second);
  }

  void AddUInt32(REFGUID key, uint32_t v) { Add(key, VT_UI4).ulVal = v; }
  void AddUInt64(REFGUID key, uint64_t v) { Add(key, VT_UI8).uhVal.QuadPart = v; }
  void AddDouble(REFGUID key, double v) { Add(key, VT_R8).dblVal = v; }
  void AddInt32(REFGUID key, int32_t v) { Add(key, VT_I4).lVal = v; }
  void AddGuid(REFGUID key, REFGUID v) {
    PROPVARIANT& value = Add(key, VT_CLSID);
    value.puuid = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(CLSID)));
    *value.puuid = v;
  }
  // A GUID value without its GUID: it cannot be named.
  void AddMissingGuid(REFGUID key) { Add(key, VT_CLSID).puuid = nullptr; }
  void AddString(REFGUID key, const kx_wchar* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    PROPVARIANT& value = Add(key, VT_LPWSTR);
    value.pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc((n + 1) * sizeof(WCHAR)));
    std::memcpy(value.pwszVal, text, (n + 1) * sizeof(WCHAR));
  }
  void AddBlob(REFGUID key, const void* bytes, uint32_t size) {
    PROPVARIANT& value = Add(key, VT_VECTOR | VT_UI1);
    value.caub.cElems = size;
    value.caub.pElems = static_cast<UCHAR*>(CoTaskMemAlloc(size));
    std::memcpy(value.caub.pElems, bytes, size);
  }
  void AddUnknown(REFGUID key, IUnknown* unknown) {
    unknown->AddRef();
    Add(key, VT_UNKNOWN).punkVal = unknown;
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
    return DeepCopy(items_[index].second, value);
  }

  // IUnknown: owned by the test, on the stack.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    if (out) *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  // Not used by the dump.
  HRESULT STDMETHODCALLTYPE GetItem(REFGUID, PROPVARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetItemType(REFGUID, MF_ATTRIBUTE_TYPE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CompareItem(REFGUID, REFPROPVARIANT, BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Compare(IMFAttributes*, MF_ATTRIBUTES_MATCH_TYPE, BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetUINT32(REFGUID, UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetUINT64(REFGUID, UINT64*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDouble(REFGUID, double*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetGUID(REFGUID, GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStringLength(REFGUID, UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetString(REFGUID, LPWSTR, UINT32, UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAllocatedString(REFGUID, LPWSTR*, UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBlobSize(REFGUID, UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBlob(REFGUID, UINT8*, UINT32, UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAllocatedBlob(REFGUID, UINT8**, UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetUnknown(REFGUID, REFIID, LPVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetItem(REFGUID, REFPROPVARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteItem(REFGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteAllItems() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetUINT32(REFGUID, UINT32) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetUINT64(REFGUID, UINT64) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetDouble(REFGUID, double) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID, REFGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetString(REFGUID, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetBlob(REFGUID, const UINT8*, UINT32) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetUnknown(REFGUID, IUnknown*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LockStore() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnlockStore() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CopyAllItems(IMFAttributes*) override { return E_NOTIMPL; }

 private:
  PROPVARIANT& Add(REFGUID key, VARTYPE type) {
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = type;
    items_.emplace_back(key, value);
    return items_.back().second;
  }

  static HRESULT DeepCopy(const PROPVARIANT& from, PROPVARIANT* to) {
    *to = from;
    switch (from.vt) {
      case VT_CLSID:
        if (from.puuid == nullptr) break;
        to->puuid = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(CLSID)));
        if (to->puuid == nullptr) return E_OUTOFMEMORY;
        *to->puuid = *from.puuid;
        break;
      case VT_LPWSTR: {
        size_t n = 0;
        while (from.pwszVal[n] != 0) ++n;
        to->pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc((n + 1) * sizeof(WCHAR)));
        if (to->pwszVal == nullptr) return E_OUTOFMEMORY;
        std::memcpy(to->pwszVal, from.pwszVal, (n + 1) * sizeof(WCHAR));
        break;
      }
      case VT_VECTOR | VT_UI1:
        to->caub.pElems = static_cast<UCHAR*>(CoTaskMemAlloc(from.caub.cElems ? from.caub.cElems : 1));
        if (to->caub.pElems == nullptr) return E_OUTOFMEMORY;
        std::memcpy(to->caub.pElems, from.caub.pElems, from.caub.cElems);
        break;
      case VT_UNKNOWN:
        to->punkVal->AddRef();
        break;
      default:
        break;
    }
    return S_OK;
  }

  std::vector<std::pair<GUID, PROPVARIANT>> items_;
};

std::string Line(const std::string& attributeText) {
  return "kx_Traxel info [Media Foundation ]: " + attributeText + "\n";
}

// An MFVideoArea as the store keeps it: fract (u16), value (i16) for X and
// Y, then cx and cy (i32), little-endian.
std::vector<uint8_t> Aperture(uint16_t fractX, int16_t valueX, uint16_t fractY, int16_t valueY, int32_t cx,
                              int32_t cy) {
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

class DumpMediaTypeTest : public LogCapture {};

TEST_F(DumpMediaTypeTest, EmptyTypeLogsOneLine) {
  FakeAttributes type;
  EXPECT_TRUE(DumpMediaType(&type));
  EXPECT_EQ(Take(), Strings{Line("Empty media type.")});
}

TEST_F(DumpMediaTypeTest, EveryValueShape) {
  FakeUnknown unknown;
  FakeAttributes type;
  type.AddGuid(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type.AddGuid(MF_MT_SUBTYPE, MFVideoFormat_H264);
  type.AddUInt64(MF_MT_FRAME_SIZE, (1920ull << 32) | 1080);
  type.AddUInt64(MF_MT_FRAME_RATE, (30000ull << 32) | 1001);
  type.AddUInt64(MF_MT_FRAME_RATE_RANGE_MAX, (4294967295ull << 32) | 1);
  type.AddUInt64(MF_MT_FRAME_RATE_RANGE_MIN, 1ull << 32);
  type.AddUInt64(MF_MT_PIXEL_ASPECT_RATIO, (1ull << 32) | 1);
  type.AddUInt32(MF_MT_AVG_BITRATE, 4294967295u);
  type.AddUInt32(MF_MT_INTERLACE_MODE, 2);
  type.AddDouble(kUnknownKey2, 29.97);
  type.AddUInt64(kUnknownKey, 18446744073709551615ull);
  type.AddString(kUnknownKey, KX_W("hello"));
  const uint8_t userData[3] = {1, 2, 3};
  type.AddBlob(MF_MT_USER_DATA, userData, sizeof userData);
  const std::vector<uint8_t> geometric = Aperture(32768, 1, 0, -2, 1920, 1080);
  type.AddBlob(MF_MT_GEOMETRIC_APERTURE, geometric.data(), static_cast<uint32_t>(geometric.size()));
  const std::vector<uint8_t> panScan = Aperture(16384, -1, 0, 0, -4, 0);
  type.AddBlob(MF_MT_PAN_SCAN_APERTURE, panScan.data(), static_cast<uint32_t>(panScan.size()));
  type.AddUnknown(MF_MT_WRAPPED_TYPE, &unknown);
  type.AddInt32(MF_MT_DEFAULT_STRIDE, -1920);
  type.AddGuid(MF_MT_AM_FORMAT_TYPE, kUnknownKey2);
  type.AddGuid(MF_MT_SUBTYPE, MFAudioFormat_AAC);

  EXPECT_TRUE(DumpMediaType(&type));
  EXPECT_EQ(Take(), (Strings{
                        Line("    MF_MT_MAJOR_TYPE: MFMediaType_Video"),
                        Line("    MF_MT_SUBTYPE: MFVideoFormat_H264"),
                        Line("    MF_MT_FRAME_SIZE: 1920 x 1080"),
                        Line("    MF_MT_FRAME_RATE: 30000 x 1001"),
                        Line("    MF_MT_FRAME_RATE_RANGE_MAX: 4294967295 x 1"),
                        Line("    MF_MT_FRAME_RATE_RANGE_MIN: 1 x 0"),
                        Line("    MF_MT_PIXEL_ASPECT_RATIO: 1 x 1"),
                        Line("    MF_MT_AVG_BITRATE: 4294967295"),
                        Line("    MF_MT_INTERLACE_MODE: 2"),
                        Line("    {0000BEEF-0001-0002-A0A1-A2A3A4A5A6A7}: 29.970000"),
                        Line("    {01234567-89AB-CDEF-0123-456789ABCDEF}: 18446744073709551615"),
                        Line("    {01234567-89AB-CDEF-0123-456789ABCDEF}: hello"),
                        Line("    MF_MT_USER_DATA: <<byte array>>"),
                        Line("    MF_MT_GEOMETRIC_APERTURE: (1.500000,-2.000000) (1920,1080)"),
                        Line("    MF_MT_PAN_SCAN_APERTURE: (-0.750000,0.000000) (-4,0)"),
                        Line("    MF_MT_WRAPPED_TYPE: IUnknown"),
                        Line("    MF_MT_DEFAULT_STRIDE: Unexpected attribute type (vt = 3)"),
                        Line("    MF_MT_AM_FORMAT_TYPE: {0000BEEF-0001-0002-A0A1-A2A3A4A5A6A7}"),
                        Line("    MF_MT_SUBTYPE: MFAudioFormat_AAC"),
                    }));
  EXPECT_EQ(unknown.refs.load(), 2u);  // the store's reference; the dump's copy was released
}

TEST_F(DumpMediaTypeTest, LineOver259CharactersIsDroppedAndTheDumpGoesOn) {
  // "    " + 38-character braces name + ": " = 44 characters before the value.
  const std::basic_string<kx_wchar> fits(259 - 44, KX_W('f'));
  const std::basic_string<kx_wchar> tooLong(260 - 44, KX_W('t'));
  FakeAttributes type;
  type.AddString(kUnknownKey, fits.c_str());
  type.AddString(kUnknownKey, tooLong.c_str());
  type.AddUInt32(MF_MT_SAMPLE_SIZE, 42);
  EXPECT_TRUE(DumpMediaType(&type));
  EXPECT_EQ(Take(), (Strings{Line("    {01234567-89AB-CDEF-0123-456789ABCDEF}: " + std::string(215, 'f')),
                             Line("    MF_MT_SAMPLE_SIZE: 42")}));
}

TEST_F(DumpMediaTypeTest, ApertureShorterThan16BytesStopsTheDump) {
  const std::vector<uint8_t> area = Aperture(0, 1, 0, 2, 3, 4);
  FakeAttributes type;
  type.AddUInt32(MF_MT_SAMPLE_SIZE, 1);
  type.AddBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, area.data(), 12);
  type.AddUInt32(MF_MT_AVG_BITRATE, 2);
  EXPECT_FALSE(DumpMediaType(&type));
  EXPECT_EQ(Take(), Strings{Line("    MF_MT_SAMPLE_SIZE: 1")});
}

TEST_F(DumpMediaTypeTest, GuidValueThatCannotBeNamedLogsTheLineWithoutValue) {
  FakeAttributes type;
  type.AddUInt32(MF_MT_SAMPLE_SIZE, 1);
  type.AddMissingGuid(MF_MT_SUBTYPE);
  type.AddUInt32(MF_MT_AVG_BITRATE, 2);
  EXPECT_FALSE(DumpMediaType(&type));
  EXPECT_EQ(Take(), (Strings{Line("    MF_MT_SAMPLE_SIZE: 1"), Line("    MF_MT_SUBTYPE: ")}));
}

TEST_F(DumpMediaTypeTest, ApertureThatIsNoByteArrayIsNotRead) {
  FakeAttributes type;
  type.AddUInt64(MF_MT_GEOMETRIC_APERTURE, 0x1234);
  EXPECT_FALSE(DumpMediaType(&type));
  EXPECT_TRUE(Take().empty());
}

TEST_F(DumpMediaTypeTest, FailedReadsStopTheDump) {
  FakeAttributes noCount;
  noCount.AddUInt32(MF_MT_SAMPLE_SIZE, 1);
  noCount.failGetCount = true;
  EXPECT_FALSE(DumpMediaType(&noCount));
  EXPECT_TRUE(Take().empty());

  FakeAttributes secondFails;
  secondFails.AddUInt32(MF_MT_SAMPLE_SIZE, 1);
  secondFails.AddUInt32(MF_MT_AVG_BITRATE, 2);
  secondFails.AddUInt32(MF_MT_COMPRESSED, 3);
  secondFails.failGetItemAt = 1;
  EXPECT_FALSE(DumpMediaType(&secondFails));
  EXPECT_EQ(Take(), Strings{Line("    MF_MT_SAMPLE_SIZE: 1")});

  EXPECT_FALSE(DumpMediaType(nullptr));
  EXPECT_TRUE(Take().empty());
}

#if !defined(_WIN32)
TEST_F(DumpMediaTypeTest, NonAsciiStringReachesTheLogInUtf8) {
  FakeAttributes type;
  type.AddString(kUnknownKey, KX_W("caf\u00e9 \u65e5\u672c"));
  EXPECT_TRUE(DumpMediaType(&type));
  EXPECT_EQ(Take(), Strings{Line("    {01234567-89AB-CDEF-0123-456789ABCDEF}: caf\u00e9 \u65e5\u672c")});
}
#endif

TEST_F(DumpMediaTypeTest, RealMediaTypeFromThePlatform) {
  ASSERT_EQ(MFStartup(MF_VERSION, 0), S_OK);
  {
    kx::ComPtr<IMFMediaType> type;
    ASSERT_EQ(MFCreateMediaType(&type), S_OK);
    ASSERT_EQ(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio), S_OK);
    ASSERT_EQ(type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_WMAudioV8), S_OK);
    ASSERT_EQ(type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2), S_OK);
    ASSERT_EQ(type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 44100), S_OK);
    ASSERT_EQ(type->SetDouble(MF_MT_AUDIO_FLOAT_SAMPLES_PER_SECOND, 44100.5), S_OK);
    ASSERT_EQ(type->SetString(kUnknownKey, KX_W("text")), S_OK);
    const uint8_t blob[2] = {0, 1};
    ASSERT_EQ(type->SetBlob(MF_MT_USER_DATA, blob, 2), S_OK);
    EXPECT_TRUE(DumpMediaType(type.Get()));
  }
  MFShutdown();
  EXPECT_EQ(Take(), (Strings{
                        Line("    MF_MT_MAJOR_TYPE: MFMediaType_Audio"),
                        Line("    MF_MT_SUBTYPE: MFAudioFormat_WMAudioV8"),
                        Line("    MF_MT_AUDIO_NUM_CHANNELS: 2"),
                        Line("    MF_MT_AUDIO_SAMPLES_PER_SECOND: 44100"),
                        Line("    MF_MT_AUDIO_FLOAT_SAMPLES_PER_SECOND: 44100.500000"),
                        Line("    {01234567-89AB-CDEF-0123-456789ABCDEF}: text"),
                        Line("    MF_MT_USER_DATA: <<byte array>>"),
                    }));
}

TEST_F(DumpMediaTypeTest, DumpLogLineFormatsWide) {
  DumpLogLine(KX_W("%d|%s|%S"), -5, KX_W("wide"), "narrow");
  const std::basic_string<kx_wchar> tooLong(260, KX_W('x'));
  DumpLogLine(KX_W("%s"), tooLong.c_str());
  EXPECT_EQ(Take(), Strings{Line("-5|wide|narrow")});
}

// ---------------------------------------------------------------------------

TEST(MediaGuidNameTest, LooksUpAllBitsOfTheGuid) {
  EXPECT_EQ(kx::test::ToUtf8(MediaGuidName(MF_MT_FRAME_SIZE)), "MF_MT_FRAME_SIZE");
  EXPECT_EQ(kx::test::ToUtf8(MediaGuidName(MFVideoFormat_WVC1)), "MFVideoFormat_WVC1");
  EXPECT_EQ(kx::test::ToUtf8(MediaGuidName(MFAudioFormat_ADTS)), "MFAudioFormat_ADTS");
  GUID almost = MFVideoFormat_H264;
  almost.Data4[7] ^= 1;
  EXPECT_EQ(MediaGuidName(almost), nullptr);
  EXPECT_EQ(MediaGuidName(kUnknownKey), nullptr);
}

// The names and values of the table as the Windows SDK defines them: the
// list the Windows build prints (media_guid_list.exe under Wine) is kept in
// data/; both builds must print exactly that.
TEST(MediaGuidNameTest, TableMatchesTheWindowsSdk) {
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
}

}  // namespace
