// DumpXmpMetadata and InjectAsfXmp. The packet and the files are read back
// with tools we did not write: exiftool for the XMP, ffprobe for the media
// (native build; the Windows build checks the packet text and the refusals).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kx_traxel/zq_log.h>

#include "xmp_packet.h"

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

_XmpMetadata Record(uint32_t options, uint64_t duration, uint32_t num = 1, uint32_t den = 10000000) {
  _XmpMetadata record{};
  record.nOptions = options;
  record.nDuration = duration;
  record.nTimeScaleNum = num;
  record.nTimeScaleDen = den;
  return record;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A folder of its own for each test.
class XmpFiles : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    const int pid = _getpid();
#else
    const int pid = static_cast<int>(getpid());
#endif
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("kx_xmp_" + std::to_string(pid) + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  fs::path dir_;
};

// ---------------------------------------------------------------------------
// The packet.

TEST(DumpXmpMetadataTest, DefaultRecordGivesACompletePacket) {
  const std::string packet = DumpXmpMetadata(Record(ZQ_XMP_DURATION | ZQ_XMP_CREATOR, 123456789), 1);
  ASSERT_FALSE(packet.empty());
  EXPECT_EQ(packet.rfind("<?xpacket begin=", 0), 0u) << packet;
  EXPECT_TRUE(Contains(packet, "<?xpacket end=\"w\"?>")) << packet;
  EXPECT_TRUE(Contains(packet, "http://ns.adobe.com/xmp/1.0/DynamicMedia/"));
  EXPECT_TRUE(Contains(packet, "123456789"));
  EXPECT_TRUE(Contains(packet, "1/10000000"));
  EXPECT_TRUE(Contains(packet, "kx_Traxel"));
  EXPECT_TRUE(Contains(packet, "CreateDate"));
}

TEST(DumpXmpMetadataTest, OptionBitsSelectTheProperties) {
  struct Case {
    uint32_t options;
    uint32_t den;
    bool duration, creator;
  } cases[] = {
      {0, 10000000, false, false},
      {ZQ_XMP_DURATION, 10000000, true, false},
      {ZQ_XMP_CREATOR, 10000000, false, true},
      {ZQ_XMP_DURATION | ZQ_XMP_CREATOR, 0, false, true},  // a zero scale term: no duration
  };
  for (const Case& c : cases) {
    const std::string packet = DumpXmpMetadata(Record(c.options, 777, 1, c.den), ZQ_XMP_PACKET_WRAPPER);
    ASSERT_FALSE(packet.empty());
    EXPECT_EQ(Contains(packet, "777"), c.duration) << c.options << packet;
    EXPECT_EQ(Contains(packet, "kx_Traxel"), c.creator) << c.options << packet;
  }
}

TEST(DumpXmpMetadataTest, WithoutTheWrapperOptionOnlyTheXmpmetaElement) {
  const std::string packet = DumpXmpMetadata(Record(ZQ_XMP_DURATION | ZQ_XMP_CREATOR, 5), 0);
  EXPECT_FALSE(Contains(packet, "<?xpacket"));
  EXPECT_TRUE(Contains(packet, "xmpmeta")) << packet;
}

// ---------------------------------------------------------------------------
// Refusals, with files built here.

TEST_F(XmpFiles, EmptyPacketLeavesTheFileUntouched) {
  const fs::path file = dir_ / "any.bin";
  WriteFile(file, "not a media file");
  EXPECT_TRUE(InjectAsfXmp(file.string().c_str(), nullptr, 10, 0));
  EXPECT_TRUE(InjectAsfXmp(file.string().c_str(), "x", 0, 0));
  EXPECT_EQ(ReadFile(file), "not a media file");
}

TEST_F(XmpFiles, FileOfNeitherFormatIsRefusedUntouched) {
  const std::string packet = "<x:xmpmeta/>";
  const fs::path text = dir_ / "text.txt";
  WriteFile(text, "plain text, long enough to hold a header or two......");
  EXPECT_FALSE(InjectAsfXmp(text.string().c_str(), packet.data(), packet.size(), 0));
  EXPECT_EQ(ReadFile(text), "plain text, long enough to hold a header or two......");

  const fs::path empty = dir_ / "empty.wmv";
  WriteFile(empty, "");
  EXPECT_FALSE(InjectAsfXmp(empty.string().c_str(), packet.data(), packet.size(), 0));
  EXPECT_FALSE(InjectAsfXmp((dir_ / "missing.mp4").string().c_str(), packet.data(), packet.size(), 0));
  EXPECT_FALSE(fs::exists(dir_ / "missing.mp4"));
  EXPECT_FALSE(InjectAsfXmp(nullptr, packet.data(), packet.size(), 0));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);  // no temporary files left
}

// An ASF header object that claims more bytes than the file has.
TEST_F(XmpFiles, DamagedAsfIsRefusedUntouched) {
  std::string asf(30, '\0');
  const uint8_t headerGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                  0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  std::memcpy(asf.data(), headerGuid, 16);
  asf[16] = static_cast<char>(0xFF);  // header size 255, file size 30
  const fs::path file = dir_ / "damaged.wmv";
  WriteFile(file, asf);
  const std::string packet = "<x:xmpmeta/>";
  EXPECT_FALSE(InjectAsfXmp(file.string().c_str(), packet.data(), packet.size(), 0));
  EXPECT_EQ(ReadFile(file), asf);
}

// ---------------------------------------------------------------------------
// Small files built here, so that the success path runs in both builds
// (under Wine too); the structure is checked byte by byte.

std::string Le64(uint64_t v) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}
std::string Be32(uint32_t v) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * (3 - i))) & 0xFF);
  return out;
}
std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}
uint64_t ReadLe64(const std::string& bytes, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
  return v;
}

const std::string kHeaderGuid = Bytes({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C});
const std::string kFilePropertiesGuid = Bytes({0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65});
const std::string kDataGuid = Bytes({0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C});
const std::string kSimpleIndexGuid = Bytes({0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB});
const std::string kXmpGuidAsfOrder = Bytes({0xCB, 0xCF, 0x7A, 0xBE, 0xA9, 0x97, 0xE8, 0x42, 0x9C, 0x71, 0x99, 0x94, 0x91, 0xE3, 0xAF, 0xAC});
const std::string kXmpUuidPlain = Bytes({0xBE, 0x7A, 0xCF, 0xCB, 0x97, 0xA9, 0x42, 0xE8, 0x9C, 0x71, 0x99, 0x94, 0x91, 0xE3, 0xAF, 0xAC});

// Header (with a File Properties Object), data object, simple index.
std::string TinyAsf() {
  std::string fileProperties = kFilePropertiesGuid + Le64(104) + std::string(16, '\x11') + Le64(240) +
                               std::string(104 - 48, '\x22');
  std::string header = kHeaderGuid + Le64(30 + 104) + Bytes({1, 0, 0, 0, 1, 2}) + fileProperties;
  std::string data = kDataGuid + Le64(50) + std::string(26, '\x33');
  std::string index = kSimpleIndexGuid + Le64(56) + std::string(32, '\x44');
  return header + data + index;
}

TEST_F(XmpFiles, TinyAsfGetsTheObjectBetweenDataAndIndex) {
  const fs::path file = dir_ / "tiny.asf";
  const std::string before = TinyAsf();
  ASSERT_EQ(before.size(), 240u);
  WriteFile(file, before);
  const std::string packet = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
  ASSERT_TRUE(InjectAsfXmp(file.string().c_str(), packet.data(), packet.size(), 0));

  const std::string after = ReadFile(file);
  const uint64_t newSize = 240 + 24 + packet.size();
  ASSERT_EQ(after.size(), newSize);
  EXPECT_EQ(ReadLe64(after, 134 - 104 + 40), newSize);  // File Properties: file size
  std::string expectedHeader = before.substr(0, 134);
  expectedHeader.replace(30 + 40, 8, Le64(newSize));
  EXPECT_EQ(after.substr(0, 134), expectedHeader);
  EXPECT_EQ(after.substr(134, 50), before.substr(134, 50));
  EXPECT_EQ(after.substr(184, 16), kXmpGuidAsfOrder);
  EXPECT_EQ(ReadLe64(after, 200), 24 + packet.size());
  EXPECT_EQ(after.substr(208, packet.size()), packet);
  EXPECT_EQ(after.substr(208 + packet.size()), before.substr(184));

  // Again, with another packet: replaced, not added.
  const std::string second = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>2</x:xmpmeta>";
  ASSERT_TRUE(InjectAsfXmp(file.string().c_str(), second.data(), second.size(), 0));
  const std::string again = ReadFile(file);
  ASSERT_EQ(again.size(), 240 + 24 + second.size());
  EXPECT_EQ(ReadLe64(again, 70), again.size());
  EXPECT_EQ(again.substr(208, second.size()), second);
  EXPECT_EQ(again.substr(208 + second.size()), before.substr(184));
  EXPECT_FALSE(fs::exists(dir_ / "tiny.asf.xmptmp"));
}

TEST_F(XmpFiles, TinyMp4GetsTheBoxAtTheEnd) {
  const std::string ftyp = Be32(16) + "ftypisom" + Be32(0);
  // The last box runs to the end of the file (size 0): it gets its real size.
  const std::string mdat = Be32(0) + "mdat" + std::string(12, '\x55');
  const fs::path file = dir_ / "tiny.mp4";
  WriteFile(file, ftyp + mdat);
  const std::string packet = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
  ASSERT_TRUE(InjectAsfXmp(file.string().c_str(), packet.data(), packet.size(), 0));
  const std::string after = ReadFile(file);
  EXPECT_EQ(after, ftyp + Be32(20) + "mdat" + std::string(12, '\x55') + Be32(static_cast<uint32_t>(24 + packet.size())) +
                       "uuid" + kXmpUuidPlain + packet);
}

// ---------------------------------------------------------------------------
// Real files: written by ffmpeg, read back by exiftool and ffprobe.

#if !defined(_WIN32)

std::string RunCommand(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// A one-second clip with video and audio.
fs::path MakeClip(const fs::path& dir, const std::string& name, const std::string& codecs) {
  const fs::path file = dir / name;
  RunCommand("ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=duration=1:size=64x48:rate=10 "
      "-f lavfi -i sine=duration=1 " +
      codecs + " " + Quoted(file));
  return file;
}

// What ffprobe sees: codecs and packet counts of every stream, and errors.
std::string Probe(const fs::path& file) {
  return RunCommand("ffprobe -v error -count_packets -show_entries stream=codec_name,nb_read_packets -of compact " +
             Quoted(file));
}

std::string Exif(const fs::path& file, const std::string& tags) {
  return RunCommand("exiftool -s -s -s " + tags + " " + Quoted(file));
}

uint64_t LittleEndian64(const std::string& bytes, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
  return v;
}

// The top-level object GUIDs of an ASF file, first four bytes in hex.
std::vector<std::string> AsfTopLevel(const std::string& bytes) {
  std::vector<std::string> ids;
  for (size_t pos = 0; pos + 24 <= bytes.size();) {
    char id[16];
    std::snprintf(id, sizeof id, "%02X%02X%02X%02X", static_cast<uint8_t>(bytes[pos + 3]),
                  static_cast<uint8_t>(bytes[pos + 2]), static_cast<uint8_t>(bytes[pos + 1]),
                  static_cast<uint8_t>(bytes[pos]));
    ids.push_back(id);
    const uint64_t size = LittleEndian64(bytes, pos + 16);
    if (size < 24) break;
    pos += size;
  }
  return ids;
}

constexpr const char* kHeaderObject = "75B22630";
constexpr const char* kDataObject = "75B22636";
constexpr const char* kXmpObject = "BE7ACFCB";

class XmpInjectMedia : public XmpFiles {
 protected:
  static bool ToolsPresent() {
    return Contains(RunCommand("exiftool -ver"), ".") && Contains(RunCommand("ffprobe -version"), "ffprobe version");
  }
};

TEST_F(XmpInjectMedia, AsfGetsAnXmpObjectAfterTheDataObject) {
  ASSERT_TRUE(ToolsPresent());
  const fs::path file = MakeClip(dir_, "clip.wmv", "-c:v wmv2 -c:a wmav2");
  const std::string before = ReadFile(file);
  const std::string probeBefore = Probe(file);
  ASSERT_TRUE(Contains(probeBefore, "codec_name=wmv2")) << probeBefore;

  const std::string packet = DumpXmpMetadata(Record(ZQ_XMP_DURATION | ZQ_XMP_CREATOR, 10000000), 1);
  ASSERT_TRUE(InjectAsfXmp(file.string().c_str(), packet.data(), packet.size(), 0));

  const std::string after = ReadFile(file);
  EXPECT_EQ(after.size(), before.size() + 24 + packet.size());
  EXPECT_EQ(Probe(file), probeBefore);  // every packet still readable, no error
  EXPECT_EQ(Exif(file, "-XMP-xmp:CreatorTool -XMP-xmpDM:DurationValue"), "kx_Traxel\n10000000\n");
  EXPECT_EQ(Exif(file, "-n -ASF:FileLength"), std::to_string(after.size()) + "\n");

  // Placed right after the data object; anything after it (the index) follows.
  const std::vector<std::string> oldObjects = AsfTopLevel(before), newObjects = AsfTopLevel(after);
  std::vector<std::string> expected;
  for (const std::string& id : oldObjects) {
    expected.push_back(id);
    if (id == kDataObject) expected.push_back(kXmpObject);
  }
  EXPECT_EQ(newObjects, expected);
  ASSERT_GE(oldObjects.size(), 2u);
  EXPECT_EQ(oldObjects[0], kHeaderObject);

  // The header is the same apart from the file size field.
  const uint64_t headerSize = LittleEndian64(before, 16);
  ASSERT_EQ(LittleEndian64(after, 16), headerSize);
  size_t differing = 0;
  for (size_t i = 0; i < headerSize; ++i) differing += before[i] != after[i];
  EXPECT_GE(differing, 1u);
  EXPECT_LE(differing, 8u);
}

TEST_F(XmpInjectMedia, AsfXmpObjectIsReplacedNotAdded) {
  ASSERT_TRUE(ToolsPresent());
  const fs::path file = MakeClip(dir_, "twice.wmv", "-c:v wmv2 -c:a wmav2");
  const std::string first = DumpXmpMetadata(Record(ZQ_XMP_DURATION, 111), 1);
  const std::string second = DumpXmpMetadata(Record(ZQ_XMP_DURATION, 222222), 1);
  ASSERT_TRUE(InjectAsfXmp(file.string().c_str(), first.data(), first.size(), 0));
  const size_t sizeAfterFirst = ReadFile(file).size();
  ASSERT_TRUE(InjectAsfXmp(file.string().c_str(), second.data(), second.size(), 0));
  const std::string after = ReadFile(file);
  EXPECT_EQ(after.size(), sizeAfterFirst - first.size() + second.size());
  const std::vector<std::string> objects = AsfTopLevel(after);
  EXPECT_EQ(std::count(objects.begin(), objects.end(), kXmpObject), 1);
  EXPECT_EQ(Exif(file, "-XMP-xmpDM:DurationValue"), "222222\n");
  EXPECT_EQ(Exif(file, "-n -ASF:FileLength"), std::to_string(after.size()) + "\n");
  EXPECT_TRUE(Contains(Probe(file), "codec_name=wmav2"));
}

TEST_F(XmpInjectMedia, Mp4GetsAnXmpUuidBox) {
  ASSERT_TRUE(ToolsPresent());
  const fs::path file = MakeClip(dir_, "clip.mp4", "-c:v mpeg4 -c:a aac");
  const std::string before = ReadFile(file);
  const std::string probeBefore = Probe(file);
  ASSERT_TRUE(Contains(probeBefore, "codec_name=mpeg4")) << probeBefore;

  const std::string packet = DumpXmpMetadata(Record(ZQ_XMP_DURATION | ZQ_XMP_CREATOR, 10000000), 1);
  ASSERT_TRUE(InjectAsfXmp(file.string().c_str(), packet.data(), packet.size(), 0));
  const std::string after = ReadFile(file);
  EXPECT_EQ(after.size(), before.size() + 8 + 16 + packet.size());
  EXPECT_EQ(after.substr(0, before.size()), before);  // nothing before it moved
  EXPECT_EQ(after.substr(before.size() + 4, 4), "uuid");
  EXPECT_EQ(Probe(file), probeBefore);
  EXPECT_EQ(Exif(file, "-XMP-xmp:CreatorTool -XMP-xmpDM:DurationValue"), "kx_Traxel\n10000000\n");
}

TEST_F(XmpInjectMedia, Mp4XmpBoxIsReplacedAndEarlierOneFreed) {
  ASSERT_TRUE(ToolsPresent());
  const fs::path file = MakeClip(dir_, "twice.mp4", "-c:v mpeg4 -c:a aac");
  const std::string probeBefore = Probe(file);
  const std::string first = DumpXmpMetadata(Record(ZQ_XMP_DURATION, 111), 1);
  const std::string second = DumpXmpMetadata(Record(ZQ_XMP_DURATION, 222222), 1);
  const std::string third = DumpXmpMetadata(Record(ZQ_XMP_DURATION, 3333), 1);

  // A trailing XMP box is dropped and the new one appended.
  ASSERT_TRUE(InjectAsfXmp(file.string().c_str(), first.data(), first.size(), 0));
  const size_t withFirst = ReadFile(file).size();
  ASSERT_TRUE(InjectAsfXmp(file.string().c_str(), second.data(), second.size(), 0));
  EXPECT_EQ(ReadFile(file).size(), withFirst - first.size() + second.size());
  EXPECT_EQ(Exif(file, "-XMP-xmpDM:DurationValue"), "222222\n");

  // With a box after it, the old XMP box becomes 'free' in place.
  {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out.write("\0\0\0\x08" "free", 8);
  }
  const size_t withTrailingFree = ReadFile(file).size();
  ASSERT_TRUE(InjectAsfXmp(file.string().c_str(), third.data(), third.size(), 0));
  const std::string after = ReadFile(file);
  EXPECT_EQ(after.size(), withTrailingFree + 24 + third.size());
  EXPECT_EQ(Exif(file, "-XMP-xmpDM:DurationValue"), "3333\n");
  EXPECT_EQ(Probe(file), probeBefore);
}

TEST_F(XmpInjectMedia, FailureToWriteLeavesTheOriginalIntact) {
  ASSERT_TRUE(ToolsPresent());
  const fs::path file = MakeClip(dir_, "blocked.wmv", "-c:v wmv2 -c:a wmav2");
  const std::string before = ReadFile(file);
  // The temporary file cannot be created: a folder has its name (this holds
  // even for root, who ignores read-only folders).
  fs::create_directory(dir_ / "blocked.wmv.xmptmp");
  const std::string packet = DumpXmpMetadata(Record(ZQ_XMP_DURATION, 5), 1);
  EXPECT_FALSE(InjectAsfXmp(file.string().c_str(), packet.data(), packet.size(), 0));
  EXPECT_EQ(ReadFile(file), before);
}

TEST_F(XmpInjectMedia, TruncatedAsfIsRefusedUntouched) {
  ASSERT_TRUE(ToolsPresent());
  const fs::path file = MakeClip(dir_, "cut.wmv", "-c:v wmv2 -c:a wmav2");
  std::string bytes = ReadFile(file);
  bytes.resize(bytes.size() / 2);  // the data object now reaches past the end
  WriteFile(file, bytes);
  const std::string packet = DumpXmpMetadata(Record(ZQ_XMP_DURATION, 5), 1);
  EXPECT_FALSE(InjectAsfXmp(file.string().c_str(), packet.data(), packet.size(), 0));
  EXPECT_EQ(ReadFile(file), bytes);
  EXPECT_FALSE(fs::exists(dir_ / "cut.wmv.xmptmp"));
}

TEST_F(XmpFiles, ExempiPacketReadsBackWithExiftool) {
  const std::string packet = DumpXmpMetadata(Record(ZQ_XMP_DURATION | ZQ_XMP_CREATOR, 987654321), 1);
  const fs::path sidecar = dir_ / "packet.xmp";
  WriteFile(sidecar, packet);
  const std::string tags = Exif(sidecar, "-XMP-xmp:CreatorTool -XMP-xmpDM:DurationValue -XMP-xmp:CreateDate");
  EXPECT_EQ(tags.rfind("kx_Traxel\n987654321\n", 0), 0u) << tags;
  EXPECT_EQ(Exif(sidecar, "-n -XMP-xmpDM:DurationScale"), "1e-07\n");
}

TEST_F(XmpFiles, OwnWriterPacketReadsBackWithExiftool) {
  zqlog::XmpFields fields = zqlog::FieldsFromRecord(Record(ZQ_XMP_DURATION | ZQ_XMP_CREATOR, 4242));
  const fs::path sidecar = dir_ / "own.xmp";
  WriteFile(sidecar, zqlog::WriteXmpPacket(fields, true));
  const std::string tags = Exif(sidecar, "-XMP-xmp:CreatorTool -XMP-xmpDM:DurationValue -XMP-xmp:CreateDate");
  EXPECT_EQ(tags.rfind("kx_Traxel\n4242\n", 0), 0u) << tags;
  EXPECT_EQ(Exif(sidecar, "-n -XMP-xmpDM:DurationScale"), "1e-07\n");
}

#endif  // !_WIN32

// Our own writer's packet text (the Windows build's writer).
TEST(OwnXmpWriterTest, PacketShape) {
  zqlog::XmpFields fields = zqlog::FieldsFromRecord(Record(ZQ_XMP_DURATION | ZQ_XMP_CREATOR, 99));
  ASSERT_TRUE(fields.hasDuration && fields.hasCreator);
  EXPECT_EQ(fields.createDate.size(), 20u) << fields.createDate;  // 2026-01-31T12:00:00Z
  EXPECT_EQ(fields.createDate.back(), 'Z');
  const std::string packet = zqlog::WriteXmpPacket(fields, true);
  EXPECT_EQ(packet.rfind("<?xpacket begin=\"\xEF\xBB\xBF\"", 0), 0u);
  EXPECT_TRUE(Contains(packet, "<xmpDM:value>99</xmpDM:value>"));
  EXPECT_TRUE(Contains(packet, "<xmpDM:scale>1/10000000</xmpDM:scale>"));
  EXPECT_TRUE(Contains(packet, "<xmp:CreatorTool>kx_Traxel</xmp:CreatorTool>"));
  EXPECT_EQ(packet.substr(packet.size() - 19), "<?xpacket end=\"w\"?>");
  EXPECT_FALSE(Contains(zqlog::WriteXmpPacket(fields, false), "xpacket"));
}

}  // namespace
