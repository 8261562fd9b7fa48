// The library's own EncodeParams operations, checked byte by byte against the
// record layout a host fills by offset.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "encode_params.h"
#include "host_records.h"

namespace kx::test {
namespace {

constexpr size_t kRecordBytes = host::kEncodeParamsBytes;
using host::kVideoExtra, host::kAudioExtra, host::kSubpictureExtra, host::kExtraPointer, host::kExtraSize;

struct ByteRange {
  size_t offset, count;
};

// Bytes no operation may touch: the padding and the subpicture's reserved
// bytes.
const std::vector<ByteRange> kUntouched = {
    {12, 4},
    {kVideoExtra + 12332, 4}, {kVideoExtra + 12348, 4},
    {kAudioExtra + 12332, 4}, {kAudioExtra + 12348, 4},
    {24836, 2052},
    {kSubpictureExtra + 12332, 4}, {kSubpictureExtra + 12348, 4},
};
// The two language fields.
const std::vector<ByteRange> kLanguages = {{12428, 20}, {24816, 20}};
const size_t kExtraBlocks[] = {kVideoExtra, kAudioExtra, kSubpictureExtra};

bool InRanges(size_t offset, const std::vector<ByteRange>& ranges) {
  for (const ByteRange& range : ranges) {
    if (offset >= range.offset && offset < range.offset + range.count) return true;
  }
  return false;
}

bool IsExtraDataField(size_t offset) {
  for (size_t block : kExtraBlocks) {
    if (offset >= block + kExtraPointer && offset < block + kExtraSize + 4) return true;
  }
  return false;
}

// A heap record (70944 bytes do not belong on a test's stack) seen as bytes.
struct Record {
  std::unique_ptr<EncodeParams> params = std::make_unique<EncodeParams>();
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(params.get()); }
  EncodeParams* operator->() { return params.get(); }
  EncodeParams& operator*() { return *params; }
};

// The first offset at which `actual` differs from `expected`, or -1.
long FirstDifference(const uint8_t* actual, const std::vector<uint8_t>& expected) {
  for (size_t i = 0; i < expected.size(); ++i) {
    if (actual[i] != expected[i]) return static_cast<long>(i);
  }
  return -1;
}

TEST(EncodeParamsInit, SetsTheDefaultsAndLeavesPaddingAndReservedBytesAlone) {
  Record record;
  std::memset(record.bytes(), 0xA5, kRecordBytes);
  EncodeParamsInit(record.params.get());

  std::vector<uint8_t> expected(kRecordBytes, 0);
  for (const ByteRange& range : kUntouched) std::memset(&expected[range.offset], 0xA5, range.count);
  const std::vector<std::pair<size_t, uint32_t>> defaults = {
      {24, 1}, {40, 8}, {12424, 8}, {39240, 1}, {39244, 1}, {39248, 1}, {70912, 3}};
  for (const auto& [offset, value] : defaults) WriteAt<uint32_t>(expected.data(), offset, value);

  EXPECT_EQ(FirstDifference(record.bytes(), expected), -1) << "first byte that differs from the default image";
  EXPECT_EQ(ReadU32(record.bytes(), 39252), 0u) << "no container: no create accepts a default record";
}

class EncodeParamsCopyTest : public ::testing::Test {
 protected:
  // A source filled with a byte pattern everywhere, its three extra-data
  // fields pointing at the host's own buffers.
  void SetUp() override {
    for (size_t i = 0; i < kRecordBytes; ++i) source_.bytes()[i] = static_cast<uint8_t>(i * 7 + 3);
    for (size_t b = 0; b < 3; ++b) {
      hostBuffers_[b].assign(16 + b, static_cast<uint8_t>(0x10 * (b + 1)));
      WriteAt<const void*>(source_.bytes(), kExtraBlocks[b] + kExtraPointer, hostBuffers_[b].data());
      WriteAt<uint32_t>(source_.bytes(), kExtraBlocks[b] + kExtraSize, static_cast<uint32_t>(hostBuffers_[b].size()));
    }
    std::memset(target_.bytes(), 0x5A, kRecordBytes);
    for (size_t block : kExtraBlocks) {
      WriteAt<const void*>(target_.bytes(), block + kExtraPointer, nullptr);
      WriteAt<uint32_t>(target_.bytes(), block + kExtraSize, 0);
    }
  }
  void TearDown() override { EncodeParamsRelease(target_.params.get()); }

  Record source_, target_;
  std::vector<uint8_t> hostBuffers_[3];
};

TEST_F(EncodeParamsCopyTest, CopiesEveryFieldButClearsLanguagesAndSkipsPadding) {
  EncodeParamsCopy(target_.params.get(), *source_);
  for (size_t i = 0; i < kRecordBytes; ++i) {
    if (IsExtraDataField(i)) continue;
    uint8_t want = source_.bytes()[i];
    if (InRanges(i, kUntouched)) want = 0x5A;
    if (InRanges(i, kLanguages)) want = 0;
    ASSERT_EQ(target_.bytes()[i], want) << "byte at offset " << i;
  }
}

TEST_F(EncodeParamsCopyTest, DeepCopiesTheCodecPrivateData) {
  EncodeParamsCopy(target_.params.get(), *source_);
  for (size_t b = 0; b < 3; ++b) {
    SCOPED_TRACE("extra block at " + std::to_string(kExtraBlocks[b]));
    const auto* copy = static_cast<const uint8_t*>(ReadPointer(target_.bytes(), kExtraBlocks[b] + kExtraPointer));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, hostBuffers_[b].data()) << "the copy has its own buffer";
    ASSERT_EQ(ReadU32(target_.bytes(), kExtraBlocks[b] + kExtraSize), hostBuffers_[b].size());
    EXPECT_EQ(std::vector<uint8_t>(copy, copy + hostBuffers_[b].size()), hostBuffers_[b]);
    hostBuffers_[b].assign(hostBuffers_[b].size(), 0xEE);  // the host reuses its buffer
    EXPECT_EQ(copy[0], static_cast<uint8_t>(0x10 * (b + 1))) << "the copy is independent of the host's buffer";
  }
}

TEST_F(EncodeParamsCopyTest, CopiesOfCopiesAreIndependent) {
  EncodeParamsCopy(target_.params.get(), *source_);
  Record second;
  EncodeParamsInit(second.params.get());
  EncodeParamsCopy(second.params.get(), *target_);
  EXPECT_NE(second->audio.extra.pExtraData, target_->audio.extra.pExtraData);
  EncodeParamsRelease(target_.params.get());  // the first copy goes; the second stays whole
  ASSERT_EQ(second->audio.extra.nExtraDataSize, hostBuffers_[1].size());
  EXPECT_EQ(std::vector<uint8_t>(second->audio.extra.pExtraData,
                                 second->audio.extra.pExtraData + second->audio.extra.nExtraDataSize),
            hostBuffers_[1]);
  EncodeParamsRelease(second.params.get());
}

TEST_F(EncodeParamsCopyTest, ReplacesTheTargetsOwnBuffers) {
  // Copying twice into the same record frees the first copy's buffers (the
  // leak checker of the sanitizer build catches it if not).
  EncodeParamsCopy(target_.params.get(), *source_);
  EncodeParamsCopy(target_.params.get(), *source_);
  EXPECT_EQ(target_->video.extra.nExtraDataSize, hostBuffers_[0].size());
}

struct ExtraDataCase {
  const char* name;
  bool withPointer;
  uint32_t size;
  bool copied;
};

class ExtraDataSizeTest : public EncodeParamsCopyTest, public ::testing::WithParamInterface<ExtraDataCase> {};

TEST_P(ExtraDataSizeTest, OnlyAPositiveSizeWithDataIsCopied) {
  const ExtraDataCase& c = GetParam();
  uint8_t hostBytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  // The target holds a buffer of its own from an earlier copy: it must go.
  EncodeParamsCopy(target_.params.get(), *source_);
  WriteAt<const void*>(source_.bytes(), kAudioExtra + kExtraPointer, c.withPointer ? hostBytes : nullptr);
  WriteAt<uint32_t>(source_.bytes(), kAudioExtra + kExtraSize, c.size);
  EncodeParamsCopy(target_.params.get(), *source_);
  const void* copy = ReadPointer(target_.bytes(), kAudioExtra + kExtraPointer);
  if (c.copied) {
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(ReadU32(target_.bytes(), kAudioExtra + kExtraSize), c.size);
    EXPECT_EQ(std::memcmp(copy, hostBytes, c.size), 0);
  } else {
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(ReadU32(target_.bytes(), kAudioExtra + kExtraSize), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtraDataSizeTest,
    ::testing::Values(ExtraDataCase{"zero_size_with_pointer", true, 0, false},
                      ExtraDataCase{"negative_size", true, 0xFFFFFFF0u, false},
                      ExtraDataCase{"size_with_null_pointer", false, 8, false},
                      ExtraDataCase{"eight_bytes", true, 8, true}, ExtraDataCase{"one_byte", true, 1, true}),
    [](const ::testing::TestParamInfo<ExtraDataCase>& info) { return std::string(info.param.name); });

TEST_F(EncodeParamsCopyTest, CopyingARecordOntoItselfKeepsItWhole) {
  EncodeParamsCopy(target_.params.get(), *source_);
  const uint8_t* before = target_->video.extra.pExtraData;
  EncodeParamsCopy(target_.params.get(), *target_);
  ASSERT_EQ(target_->video.extra.pExtraData, before);
  EXPECT_EQ(before[0], 0x10) << "the buffer is still the live copy";
}

TEST(EncodeParamsRelease, FreesTheThreeBuffersAndIsSafeToRepeat) {
  Record host, copy;
  EncodeParamsInit(host.params.get());
  EncodeParamsInit(copy.params.get());
  uint8_t bytes[4] = {9, 9, 9, 9};
  for (size_t block : kExtraBlocks) {
    WriteAt<const void*>(host.bytes(), block + kExtraPointer, bytes);
    WriteAt<uint32_t>(host.bytes(), block + kExtraSize, 4);
  }
  EncodeParamsCopy(copy.params.get(), *host);
  EncodeParamsRelease(copy.params.get());
  EncodeParamsRelease(copy.params.get());
  for (size_t block : kExtraBlocks) {
    EXPECT_EQ(ReadPointer(copy.bytes(), block + kExtraPointer), nullptr) << block;
    EXPECT_EQ(ReadU32(copy.bytes(), block + kExtraSize), 0u) << block;
  }
}

TEST(FindFileFormat, WalksToTheZeroRowAndNoFurther) {
  FileFormatDescriptor table[5] = {};
  table[0].fourcc = FourCC("WWMV");
  table[1].fourcc = FourCC("WWMA");
  table[2].fourcc = FourCC("WMP4");
  table[4].fourcc = FourCC("XXXX");  // behind the terminator: never reached
  const FileFormatDescriptor empty[1] = {};
  struct Case {
    const char* name;
    const FileFormatDescriptor* table;
    uint32_t fourcc;
    const FileFormatDescriptor* found;
  };
  const Case cases[] = {
      {"first row", table, FourCC("WWMV"), &table[0]},
      {"last row", table, FourCC("WMP4"), &table[2]},
      {"unknown", table, FourCC("WAVI"), nullptr},
      {"zero fourcc", table, 0, nullptr},
      {"behind the terminator", table, FourCC("XXXX"), nullptr},
      {"empty table", empty, FourCC("WWMV"), nullptr},
      {"null table", nullptr, FourCC("WWMV"), nullptr},
  };
  for (const Case& c : cases) EXPECT_EQ(FindFileFormat(c.table, c.fourcc), c.found) << c.name;
}

}  // namespace
}  // namespace kx::test
