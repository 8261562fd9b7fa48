// The media type dump over the platform's own attribute store: each value
// shape, the 259-character limit, the failures that stop it, and the GUID
// name table against the Windows SDK.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fake_com.h"
#include "kxdiag/media_type_dump.h"
#include "log_capture.h"

namespace {

using kx::test::LogCapture;
using Strings = std::vector<std::string>;

// {01234567-89AB-CDEF-0123-456789ABCDEF} and {0000BEEF-...}: in no table.
constexpr GUID kUnknownKey = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
constexpr GUID kUnknownKey2 = {0x0000BEEF, 0x0001, 0x0002, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}};
const std::string kUnknownName = "{01234567-89AB-CDEF-0123-456789ABCDEF}";

// The platform's own store (Media Foundation's under Wine), whose
// GetCount or GetItemByIndex fails where a test asks, or hands out in place
// of an item a value that no real store holds (an unexpected type, a null
// GUID pointer).
class Store final : public kx::test::AttributesOver<> {
 public:
  HRESULT countResult = S_OK;
  int failAt = -1;
  std::map<UINT32, PROPVARIANT> odd;  // by index; values that own no memory

  HRESULT STDMETHODCALLTYPE GetCount(UINT32* count) override {
    return FAILED(countResult) ? countResult : inner()->GetCount(count);
  }
  HRESULT STDMETHODCALLTYPE GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) override {
    if (static_cast<int>(index) == failAt) return E_UNEXPECTED;
    if (odd.count(index) == 0) return inner()->GetItemByIndex(index, key, value);
    *value = odd[index];
    return inner()->GetItemByIndex(index, key, nullptr);
  }
  Store& Blob(REFGUID key, const std::vector<uint8_t>& bytes) {
    EXPECT_EQ(SetBlob(key, bytes.data(), static_cast<UINT32>(bytes.size())), S_OK);
    return *this;
  }
};

std::string Line(const std::string& attributeText) { return "kx_Traxel info [Media Foundation ]: " + attributeText + "\n"; }

// An MFVideoArea as the store keeps it.
std::vector<uint8_t> Aperture(uint16_t fractX, int16_t valueX, uint16_t fractY, int16_t valueY, int32_t cx, int32_t cy) {
  MFVideoArea area{{fractX, valueX}, {fractY, valueY}, {cx, cy}};
  std::vector<uint8_t> bytes(sizeof area);
  std::memcpy(bytes.data(), &area, sizeof area);
  return bytes;
}

class Dump : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MFStartup(MF_VERSION, 0), S_OK); }
  void TearDown() override { MFShutdown(); }
  LogCapture log;
};

TEST_F(Dump, EveryValueShape) {
  auto unknown = kx::test::Make<kx::test::Fake<IUnknown>>();
  auto type = kx::test::Make<Store>();
  PROPVARIANT i4{}, nullGuid{};
  i4.vt = VT_I4;
  i4.lVal = -1920;
  nullGuid.vt = VT_CLSID;
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  type->SetUINT64(MF_MT_FRAME_RATE_RANGE_MAX, (4294967295ull << 32) | 1);
  type->SetUINT32(MF_MT_AVG_BITRATE, 4294967295u);
  type->SetDouble(MF_MT_AUDIO_FLOAT_SAMPLES_PER_SECOND, 44100.5);
  type->SetUINT64(kUnknownKey, 18446744073709551615ull);
  type->SetString(kUnknownKey2, KX_W("hello"));
  type->Blob(MF_MT_USER_DATA, {1, 2, 3}).Blob(MF_MT_PAN_SCAN_APERTURE, Aperture(16384, -1, 0, -2, -4, 1080));
  type->SetUnknown(MF_MT_WRAPPED_TYPE, unknown.Get());
  type->SetUINT32(MF_MT_DEFAULT_STRIDE, 0);  // handed out as VT_I4
  type->SetGUID(MF_MT_AM_FORMAT_TYPE, kUnknownKey2);
  type->SetGUID(MF_MT_AUDIO_CHANNEL_MASK, GUID_NULL);  // handed out with no GUID: the dump stops
  type->SetUINT32(MF_MT_SAMPLE_SIZE, 1);
  type->odd = {{10, i4}, {12, nullGuid}};
  EXPECT_FALSE(DumpMediaType(type.Get()));
  Strings expected;
  for (const std::string& text : Strings{"MF_MT_MAJOR_TYPE: MFMediaType_Video", "MF_MT_SUBTYPE: MFVideoFormat_H264",
           "MF_MT_FRAME_RATE_RANGE_MAX: 4294967295 x 1", "MF_MT_AVG_BITRATE: 4294967295",
           "MF_MT_AUDIO_FLOAT_SAMPLES_PER_SECOND: 44100.500000", kUnknownName + ": 18446744073709551615",
           "{0000BEEF-0001-0002-A0A1-A2A3A4A5A6A7}: hello", "MF_MT_USER_DATA: <<byte array>>",
           "MF_MT_PAN_SCAN_APERTURE: (-0.750000,-2.000000) (-4,1080)", "MF_MT_WRAPPED_TYPE: IUnknown",
           "MF_MT_DEFAULT_STRIDE: Unexpected attribute type (vt = 3)",
           "MF_MT_AM_FORMAT_TYPE: {0000BEEF-0001-0002-A0A1-A2A3A4A5A6A7}", "MF_MT_AUDIO_CHANNEL_MASK: "}) {
    expected.push_back(Line("    " + text));
  }
  EXPECT_EQ(log.Take(), expected);
  type.Reset();
  EXPECT_EQ(kx::test::RefCount(unknown.Get()), 1u) << "the dump's copy was released";
}

// "    " + 38-character braces name + ": " = 44 characters before the value.
TEST_F(Dump, EmptyTypeLongLinesAndFailuresThatStopIt) {
  const struct { const char* name; std::function<void(Store&)> build; bool result; Strings lines; } cases[] = {
      {"empty", [](Store&) {}, true, {Line("Empty media type.")}},
      {"line over 259 characters dropped, the dump goes on",
       [](Store& t) {
         t.SetString(kUnknownKey, std::basic_string<kx_wchar>(259 - 44, KX_W('f')).c_str());
         t.SetString(kUnknownKey2, std::basic_string<kx_wchar>(260 - 44, KX_W('t')).c_str());
         t.SetUINT32(MF_MT_SAMPLE_SIZE, 42);
       },
       true, {Line("    " + kUnknownName + ": " + std::string(215, 'f')), Line("    MF_MT_SAMPLE_SIZE: 42")}},
      {"aperture shorter than 16 bytes",
       [](Store& t) { t.Blob(MF_MT_MINIMUM_DISPLAY_APERTURE, std::vector<uint8_t>(12)).SetUINT32(MF_MT_AVG_BITRATE, 2); },
       false, {}},
      {"aperture that is no byte array", [](Store& t) { t.SetUINT64(MF_MT_GEOMETRIC_APERTURE, 0x1234); }, false, {}},
      {"GetCount fails", [](Store& t) { t.SetUINT32(MF_MT_SAMPLE_SIZE, 1), t.countResult = E_UNEXPECTED; }, false, {}},
      {"second GetItemByIndex fails",
       [](Store& t) { t.SetUINT32(MF_MT_SAMPLE_SIZE, 1), t.SetUINT32(MF_MT_AVG_BITRATE, 2), t.failAt = 1; }, false,
       {Line("    MF_MT_SAMPLE_SIZE: 1")}},
  };
  for (const auto& c : cases) {
    auto type = kx::test::Make<Store>();
    c.build(*type.Get());
    EXPECT_EQ(DumpMediaType(type.Get()), c.result) << c.name;
    EXPECT_EQ(log.Take(), c.lines) << c.name;
  }
  EXPECT_FALSE(DumpMediaType(nullptr));
  EXPECT_EQ(log.Take(), Strings{});
}

// The media GUID name table as text, "<name> {<GUID in registry form>}" per
// line, formatted here (not by the platform) so that the Windows SDK's values
// and the Linux layer's can be compared.
std::string RegistryForm(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string MediaGuidNameList() {
  std::string list;
  for (size_t i = 0; i < MediaGuidNameCount(); ++i) {
    const MediaGuidEntry& entry = MediaGuidNameAt(i);
    for (const WCHAR* c = entry.name; *c != 0; ++c) list += static_cast<char>(*c);  // names are ASCII
    list += ' ';
    list += RegistryForm(*entry.guid);
    list += '\n';
  }
  return list;
}

// The names and values of the table as the Windows SDK defines them: the
// list the Windows build finds (under Wine) is kept in data/; both builds
// must find exactly that. On a difference the list found is written to
// media_guid_names.found.txt in the working folder (the Windows build's
// refreshes the kept list). A GUID that differs in one bit has no name.
TEST(MediaGuidName, TableMatchesTheWindowsSdk) {
  std::ifstream in(KX_MEDIA_GUID_NAMES_FILE, std::ios::binary);
  ASSERT_TRUE(in.good()) << KX_MEDIA_GUID_NAMES_FILE;
  std::stringstream expected;
  expected << in.rdbuf();
  const std::string found = MediaGuidNameList();
  EXPECT_EQ(found, expected.str());  // a failure shows the differing lines
  if (found != expected.str()) std::ofstream("media_guid_names.found.txt", std::ios::binary) << found;
  GUID almost = MFVideoFormat_H264;
  almost.Data4[7] ^= 1;
  EXPECT_EQ(MediaGuidName(almost), nullptr);
}

}  // namespace
