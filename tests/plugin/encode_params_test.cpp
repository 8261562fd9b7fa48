// The library's own EncodeParams operations, checked byte by byte against the
// record layout a host fills by offset.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "host_records.h"
#include "kxrecords/encode_params.h"

namespace kx::test {
namespace {

using namespace host;
constexpr size_t kExtraBlocks[] = {kVideoExtra, kAudioExtra, kSubpictureExtra};

struct ByteRange {
  size_t offset, count;
  bool Holds(size_t at) const { return at >= offset && at < offset + count; }
};
// Bytes no operation may touch: the padding and the subpicture's reserved bytes.
const ByteRange kUntouched[] = {{12, 4},
                                {kVideoExtra + 12332, 4}, {kVideoExtra + 12348, 4},
                                {kAudioExtra + 12332, 4}, {kAudioExtra + 12348, 4},
                                {24836, 2052},
                                {kSubpictureExtra + 12332, 4}, {kSubpictureExtra + 12348, 4}};
const ByteRange kLanguages[] = {{kAudioLanguage, 20}, {kSubpictureLanguage, 20}};

template <size_t N>
bool InRanges(size_t at, const ByteRange (&ranges)[N]) {
  for (const ByteRange& range : ranges) {
    if (range.Holds(at)) return true;
  }
  return false;
}

// A heap record (70944 bytes do not belong on a test's stack) seen as bytes.
struct Record {
  std::unique_ptr<EncodeParams> params = std::make_unique<EncodeParams>();
  uint8_t* bytes() const { return reinterpret_cast<uint8_t*>(params.get()); }
  EncodeParams* get() const { return params.get(); }
  std::vector<uint8_t> Extra(size_t block) const {
    const auto* data = static_cast<const uint8_t*>(ReadPointer(bytes(), block + kExtraPointer));
    return data == nullptr ? std::vector<uint8_t>{} : std::vector<uint8_t>(data, data + ReadU32(bytes(), block + kExtraSize));
  }
};

TEST(EncodeParamsInit, SetsTheDefaultsAndLeavesPaddingAndReservedBytesAlone) {
  Record record;
  std::memset(record.bytes(), 0xA5, kEncodeParamsBytes);
  EncodeParamsInit(record.get());
  std::vector<uint8_t> expected(kEncodeParamsBytes, 0);
  for (const ByteRange& range : kUntouched) std::memset(&expected[range.offset], 0xA5, range.count);
  for (const auto& [offset, value] : {std::pair<size_t, uint32_t>{24, 1}, {40, 8}, {12424, 8}, {39240, 1},
                                      {39244, 1}, {39248, 1}, {70912, 3}}) {
    WriteAt<uint32_t>(expected.data(), offset, value);
  }
  for (size_t i = 0; i < kEncodeParamsBytes; ++i) ASSERT_EQ(record.bytes()[i], expected[i]) << "offset " << i;
}

// Every field copied but the padding (left alone) and the two languages
// (cleared); the three codec-private buffers deep-copied, independent of the
// host's buffers and of other copies; a second copy into the same record
// frees the first one's buffers (the sanitizer build's leak check), and a
// copy onto itself keeps the record whole.
TEST(EncodeParamsCopy, CopiesEveryFieldAndOwnsTheCodecPrivateData) {
  Record source, target, second;
  for (size_t i = 0; i < kEncodeParamsBytes; ++i) source.bytes()[i] = static_cast<uint8_t>(i * 7 + 3);
  std::vector<uint8_t> hostBuffers[3];
  std::memset(target.bytes(), 0x5A, kEncodeParamsBytes);
  for (size_t b = 0; b < 3; ++b) {
    hostBuffers[b].assign(16 + b, static_cast<uint8_t>(0x10 * (b + 1)));
    WriteAt<const void*>(source.bytes(), kExtraBlocks[b] + kExtraPointer, hostBuffers[b].data());
    WriteAt<uint32_t>(source.bytes(), kExtraBlocks[b] + kExtraSize, static_cast<uint32_t>(hostBuffers[b].size()));
    WriteAt<const void*>(target.bytes(), kExtraBlocks[b] + kExtraPointer, nullptr);
    WriteAt<uint32_t>(target.bytes(), kExtraBlocks[b] + kExtraSize, 0);
  }
  EncodeParamsCopy(target.get(), *source.get());
  EncodeParamsCopy(target.get(), *source.get());
  for (size_t i = 0; i < kEncodeParamsBytes; ++i) {
    bool pointer = false;
    for (size_t block : kExtraBlocks) pointer |= i >= block + kExtraPointer && i < block + kExtraPointer + 8;
    if (pointer) continue;
    const uint8_t want = InRanges(i, kUntouched) ? 0x5A : InRanges(i, kLanguages) ? 0 : source.bytes()[i];
    ASSERT_EQ(target.bytes()[i], want) << "offset " << i;
  }
  EncodeParamsInit(second.get());
  EncodeParamsCopy(second.get(), *target.get());
  EncodeParamsCopy(target.get(), *target.get());
  for (size_t b = 0; b < 3; ++b) {
    SCOPED_TRACE("extra block at " + std::to_string(kExtraBlocks[b]));
    const std::vector<uint8_t> original = hostBuffers[b];
    EXPECT_NE(ReadPointer(target.bytes(), kExtraBlocks[b] + kExtraPointer), hostBuffers[b].data());
    EXPECT_NE(ReadPointer(second.bytes(), kExtraBlocks[b] + kExtraPointer),
              ReadPointer(target.bytes(), kExtraBlocks[b] + kExtraPointer));
    hostBuffers[b].assign(hostBuffers[b].size(), 0xEE);  // the host reuses its buffer
    EXPECT_EQ(target.Extra(kExtraBlocks[b]), original);
    EXPECT_EQ(second.Extra(kExtraBlocks[b]), original);
  }
  EncodeParamsRelease(target.get());  // the first copy goes; the second stays whole
  EXPECT_EQ(second.Extra(kAudioExtra), std::vector<uint8_t>(17, 0x20));
  EncodeParamsRelease(second.get());
}

// Only a positive size with data is copied; whatever the target held from
// an earlier copy goes.
TEST(EncodeParamsCopy, CopiesOnlyAPositiveSizeWithData) {
  uint8_t hostBytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const struct {
    const char* name;
    bool withPointer;
    uint32_t size;
    bool copied;
  } cases[] = {{"zero size", true, 0, false},          {"negative size", true, 0xFFFFFFF0u, false},
               {"size with null data", false, 8, false}, {"eight bytes", true, 8, true},
               {"one byte", true, 1, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Record source, target;
    EncodeParamsInit(source.get());
    EncodeParamsInit(target.get());
    HostRecord earlier;
    earlier.Extra(kAudioExtra, hostBytes, 4);
    EncodeParamsCopy(target.get(), *earlier.get());
    WriteAt<const void*>(source.bytes(), kAudioExtra + kExtraPointer, c.withPointer ? hostBytes : nullptr);
    WriteAt<uint32_t>(source.bytes(), kAudioExtra + kExtraSize, c.size);
    EncodeParamsCopy(target.get(), *source.get());
    EXPECT_EQ(target.Extra(kAudioExtra), c.copied ? std::vector<uint8_t>(hostBytes, hostBytes + c.size)
                                                  : std::vector<uint8_t>{});
    EXPECT_EQ(ReadU32(target.bytes(), kAudioExtra + kExtraSize), c.copied ? c.size : 0u);
    EncodeParamsRelease(target.get());
    EncodeParamsRelease(target.get());  // safe to repeat
    for (size_t block : kExtraBlocks) EXPECT_EQ(ReadPointer(target.bytes(), block + kExtraPointer), nullptr);
  }
}

TEST(FindFileFormat, WalksToTheZeroRowAndNoFurther) {
  FileFormatDescriptor table[5] = {};
  table[0].fourcc = FourCC("WWMV");
  table[1].fourcc = FourCC("WWMA");
  table[2].fourcc = FourCC("WMP4");
  table[4].fourcc = FourCC("XXXX");  // behind the terminator: never reached
  const FileFormatDescriptor empty[1] = {};
  const struct {
    const FileFormatDescriptor* table;
    uint32_t fourcc;
    const FileFormatDescriptor* found;
  } cases[] = {{table, FourCC("WWMV"), &table[0]}, {table, FourCC("WMP4"), &table[2]},
               {table, FourCC("WAVI"), nullptr},   {table, 0, nullptr},
               {table, FourCC("XXXX"), nullptr},   {empty, FourCC("WWMV"), nullptr},
               {nullptr, FourCC("WWMV"), nullptr}};
  for (const auto& c : cases) EXPECT_EQ(FindFileFormat(c.table, c.fourcc), c.found) << FourCCText(c.fourcc);
}

}  // namespace
}  // namespace kx::test
