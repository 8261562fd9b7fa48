// DumpXmpMetadata and InjectAsfXmp. Files built here are checked byte by byte
// in both builds (under Wine too); natively, real files written by ffmpeg are
// read back with exiftool (the XMP) and decoded in full with libavcodec (every
// frame still there).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <kx_traxel/zq_log.h>

#include "temp_dir.h"
#include "xmp_packet.h"
#if !defined(_WIN32)
#include <sys/stat.h>

#include "media_probe.h"
#endif

namespace {

namespace fs = std::filesystem;
using kx::test::FileBytes;

_XmpMetadata Record(uint32_t options, uint64_t duration, uint32_t den = 10000000) {
  _XmpMetadata record{};
  record.nOptions = options, record.nDuration = duration, record.nTimeScaleNum = 1, record.nTimeScaleDen = den;
  return record;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Inject(const fs::path& file, const std::string& packet) {
  return InjectAsfXmp(file.string().c_str(), packet.data(), packet.size(), 0);
}

std::string Le64(uint64_t v) {
  std::string out(8, '\0');
  for (size_t i = 0; i < 8; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}
std::string Be32(uint32_t v) { return {char(v >> 24), char((v >> 16) & 0xFF), char((v >> 8) & 0xFF), char(v & 0xFF)}; }
std::string Bytes(std::initializer_list<int> values) { return std::string(values.begin(), values.end()); }

const std::string kHeaderGuid = Bytes({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C});
const std::string kFilePropertiesGuid = Bytes({0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65});
const std::string kDataGuid = Bytes({0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C});
const std::string kSimpleIndexGuid = Bytes({0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB});
const std::string kXmpGuidAsfOrder = Bytes({0xCB, 0xCF, 0x7A, 0xBE, 0xA9, 0x97, 0xE8, 0x42, 0x9C, 0x71, 0x99, 0x94, 0x91, 0xE3, 0xAF, 0xAC});
const std::string kXmpUuidPlain = Bytes({0xBE, 0x7A, 0xCF, 0xCB, 0x97, 0xA9, 0x42, 0xE8, 0x9C, 0x71, 0x99, 0x94, 0x91, 0xE3, 0xAF, 0xAC});

TEST(XmpPacket, OptionBitsSelectThePropertiesInBothWriters) {
  const struct { uint32_t options, den; int wrapper; bool duration, creator; } cases[] = {
      {ZQ_XMP_DURATION | ZQ_XMP_CREATOR, 10000000, 1, true, true},
      {0, 10000000, 1, false, false},
      {ZQ_XMP_DURATION, 10000000, 1, true, false},
      {ZQ_XMP_CREATOR, 10000000, 0, false, true},
      {ZQ_XMP_DURATION | ZQ_XMP_CREATOR, 0, 1, false, true},  // a zero scale term: no duration
  };
  for (const auto& c : cases) {
    const _XmpMetadata record = Record(c.options, 777, c.den);
    for (const std::string& packet : {DumpXmpMetadata(record, c.wrapper),
                                      kx::zqlog::WriteXmpPacket(kx::zqlog::FieldsFromRecord(record), c.wrapper != 0)}) {
      ASSERT_TRUE(Contains(packet, "xmpmeta")) << packet;
      EXPECT_EQ(packet.rfind("<?xpacket begin=\"\xEF\xBB\xBF\"", 0) == 0, c.wrapper != 0) << packet;
      EXPECT_EQ(Contains(packet, "<?xpacket end=\"w\"?>"), c.wrapper != 0) << packet;
      EXPECT_EQ(Contains(packet, "777") && Contains(packet, "1/10000000"), c.duration) << packet;
      EXPECT_EQ(Contains(packet, "kx_Traxel"), c.creator) << packet;
    }
  }
}

class XmpInject : public ::testing::Test {
 protected:
  kx::test::TempDir dir_;
};

// An ASF object of the XMP packet.
std::string XmpObject(const std::string& packet) { return kXmpGuidAsfOrder + Le64(24 + packet.size()) + packet; }

// A header (with a File Properties Object), a data object, the given
// objects, a simple index; the file size in the File Properties is right.
std::string TinyAsf(const std::string& objects) {
  return kHeaderGuid + Le64(30 + 104) + Bytes({1, 0, 0, 0, 1, 2}) + kFilePropertiesGuid + Le64(104) +
         std::string(16, '\x11') + Le64(240 + objects.size()) + std::string(104 - 48, '\x22') + kDataGuid + Le64(50) +
         std::string(26, '\x33') + objects + kSimpleIndexGuid + Le64(56) + std::string(32, '\x44');
}

// Each file's bytes after the injection, byte for byte; a refusal leaves the
// file as it was, and no call leaves a temporary file behind.
TEST_F(XmpInject, TinyFilesGetExactlyTheirObjectAndRefusalsLeaveThemUntouched) {
  const std::string p1 = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>", p2 = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>2</x:xmpmeta>";
  const std::string ftyp = Be32(16) + "ftypisom" + Be32(0), mdat = "mdat" + std::string(12, '\x55');
  // after: empty: as before
  const struct { const char *name, *file; std::string before, packet; bool result; std::string after; } cases[] = {
      {"ASF: between data and index", "tiny.asf", TinyAsf(""), p1, true, TinyAsf(XmpObject(p1))},
      {"ASF: a second packet replaces the first", "tiny.asf", TinyAsf(XmpObject(p1)), p2, true, TinyAsf(XmpObject(p2))},
      {"ASF: a shorter packet shortens the file", "tiny.asf", TinyAsf(XmpObject(p2)), p1, true, TinyAsf(XmpObject(p1))},
      {"MP4: a shorter packet shortens the file", "tiny.mp4",
       ftyp + Be32(20) + mdat + Be32(static_cast<uint32_t>(24 + p2.size())) + "uuid" + kXmpUuidPlain + p2, p1, true,
       ftyp + Be32(20) + mdat + Be32(static_cast<uint32_t>(24 + p1.size())) + "uuid" + kXmpUuidPlain + p1},
      // The last box runs to the end of the file (size 0): it gets its real size.
      {"MP4: a box at the end", "tiny.mp4", ftyp + Be32(0) + mdat, p1, true,
       ftyp + Be32(20) + mdat + Be32(static_cast<uint32_t>(24 + p1.size())) + "uuid" + kXmpUuidPlain + p1},
      {"empty packet", "any.bin", "not a media file", "", true, ""},
      {"neither format", "text.txt", "plain text, long enough to hold a header or two......", p1, false, ""},
      {"empty file", "empty.wmv", "", p1, false, ""},
      {"damaged ASF header", "damaged.wmv", kHeaderGuid + Le64(255) + std::string(6, '\0'), p1, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir_ / c.file, c.before);
    EXPECT_EQ(Inject(dir_ / c.file, c.packet), c.result);
    EXPECT_EQ(FileBytes(dir_ / c.file), c.after.empty() ? c.before : c.after);
  }
  EXPECT_TRUE(InjectAsfXmp((dir_ / "any.bin").string().c_str(), nullptr, 10, 0)) << "no packet";
  EXPECT_FALSE(Inject(dir_ / "missing.mp4", p1));
  EXPECT_FALSE(InjectAsfXmp(nullptr, p1.data(), p1.size(), 0));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 6) << "nothing created";
}

// A file that must be copied (more than 4 MiB follow its data object): a
// name already at "<file>.xmptmp" (a link planted there, or anyone's file)
// is never written through nor removed: the injection is refused and the
// file, the entry and a link's target stay as they were.
TEST_F(XmpInject, NeverWritesThroughWhatIsAtTheTemporaryName) {
  const std::string before = TinyAsf(std::string(16, '\x77') + Le64(24 + (5 << 20)) + std::string(5 << 20, '\0'));
  const std::string victim = "someone else's bytes";
  WriteFile(dir_ / "victim", victim);
  std::error_code linkError;
  fs::create_symlink(dir_ / "victim", dir_ / "linked.asf.xmptmp", linkError);  // (may need rights on Windows)
  for (const char* file : {"linked.asf", "plain.asf"}) {
    SCOPED_TRACE(file);
    if (std::string(file) == "linked.asf" && linkError) continue;
    if (std::string(file) == "plain.asf") WriteFile(dir_ / "plain.asf.xmptmp", victim);
    WriteFile(dir_ / file, before);
    EXPECT_FALSE(Inject(dir_ / file, "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>"));
    EXPECT_EQ(FileBytes(dir_ / file), before);
    EXPECT_EQ(FileBytes(dir_ / (std::string(file) + ".xmptmp")), victim);
  }
  EXPECT_EQ(FileBytes(dir_ / "victim"), victim);
}

#if !defined(_WIN32)

// Decoded frames of every stream and the decode errors: what a player sees.
std::string Decoded(const fs::path& file) {
  const kx::test::FileReport report = kx::test::ReadMediaFile(file.string());
  std::string text = report.opened ? "" : "not opened: " + report.error;
  for (const kx::test::StreamReport& s : report.streams) {
    text += s.codecName + ":" + std::to_string(s.decodedFrames) + "/" + std::to_string(s.decodeErrors) + " ";
  }
  return text;
}

// The file's identity: the same inode means it was edited, not replaced.
ino_t Inode(const fs::path& file) {
  struct stat info {};
  return stat(file.c_str(), &info) == 0 ? info.st_ino : 0;
}

// A one-second clip with video and audio, written by ffmpeg.
fs::path MakeClip(const fs::path& file, const std::string& codecs) {
  kx::test::RunCommand("ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=duration=1:size=64x48:rate=10 "
                       "-f lavfi -i sine=duration=1 " + codecs + " '" + file.string() + "'");
  return file;
}

// Real files get a packet, then another: the second replaces the first (a
// trailing MP4 box that is no longer last becomes 'free' in place), exiftool
// reads the second, and every frame still decodes. The file is edited where
// it is, never copied. A file the injection cannot take stays byte for byte.
TEST_F(XmpInject, RealFilesKeepEveryFrameAndReadBackWithExiftool) {
  // change: between the two injections; for a refusal, before them
  const struct { const char* name; const char* codecs; void (*change)(const fs::path&); bool injects, oldBecomesFree;
      } cases[] = {
      {"clip.wmv", "-c:v wmv2 -c:a wmav2", nullptr, true, false},
      {"clip.mp4", "-c:v mpeg4 -c:a aac", nullptr, true, false},
      {"box_after.mp4", "-c:v mpeg4 -c:a aac",
       [](const fs::path& f) { std::ofstream(f, std::ios::binary | std::ios::app).write("\0\0\0\x08" "free", 8); },
       true, true},
      // Too much follows the data object to move it in place, and a folder has
      // the temporary file's name (this holds even for root).
      {"blocked.wmv", "-c:v wmv2 -c:a wmav2",
       [](const fs::path& f) {
         const std::string object = std::string(16, '\x77') + Le64(24 + (5 << 20)) + std::string(5 << 20, '\0');
         std::ofstream(f, std::ios::binary | std::ios::app).write(object.data(), static_cast<std::streamsize>(object.size()));
         fs::create_directory(f.string() + ".xmptmp");
       },
       false, false},
      // The data object now reaches past the end.
      {"cut.wmv", "-c:v wmv2 -c:a wmav2", [](const fs::path& f) { fs::resize_file(f, fs::file_size(f) / 2); }, false,
       false},
  };
  const std::string first = DumpXmpMetadata(Record(ZQ_XMP_DURATION | ZQ_XMP_CREATOR, 10000000), 1);
  // The second packet is our own writer's (the Windows build's), so that
  // exiftool reads both writers' packets.
  const std::string second =
      kx::zqlog::WriteXmpPacket(kx::zqlog::FieldsFromRecord(Record(ZQ_XMP_DURATION | ZQ_XMP_CREATOR, 3333)), true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = MakeClip(dir_ / c.name, c.codecs);
    if (!c.injects) {
      c.change(file);
      const std::string before = FileBytes(file);
      EXPECT_FALSE(Inject(file, first));
      EXPECT_EQ(FileBytes(file), before);
      EXPECT_FALSE(fs::is_regular_file(file.string() + ".xmptmp")) << "no temporary file is left";
      continue;
    }
    const std::string decodedBefore = Decoded(file);
    ASSERT_TRUE(Contains(decodedBefore, ":10/0 ")) << decodedBefore;
    const ino_t inode = Inode(file);
    ASSERT_TRUE(Inject(file, first));
    EXPECT_EQ(Inode(file), inode) << "edited in place";
    EXPECT_EQ(kx::test::Exiftool(file.string(), "-XMP-xmp:CreatorTool -XMP-xmpDM:DurationValue"), "kx_Traxel\n10000000\n");
    if (c.change != nullptr) c.change(file);
    const size_t size = fs::file_size(file);
    ASSERT_TRUE(Inject(file, second));
    EXPECT_EQ(fs::file_size(file), size + 24 + second.size() - (c.oldBecomesFree ? 0 : 24 + first.size()));
    EXPECT_EQ(kx::test::Exiftool(file.string(), "-XMP-xmp:CreatorTool -XMP-xmpDM:DurationValue"), "kx_Traxel\n3333\n");
    EXPECT_EQ(Decoded(file), decodedBefore);
    EXPECT_EQ(Inode(file), inode) << "edited in place";
  }
}

#endif  // !_WIN32

}  // namespace
