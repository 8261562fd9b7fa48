// The extra-data block a host hands WriteExtraDataMultiStream, split by
// SplitExtraData: every part it returns lies inside the host's bytes and in
// its place, whatever the lengths say.
#include <cstddef>
#include <cstdint>

#include "kxrecords/extra_data.h"
#include "fuzz_check.h"

namespace {

// Reads every byte of a part, so that ASan sees a part reaching outside.
unsigned Touch(const uint8_t* p, int32_t n) {
  unsigned sum = 0;
  for (int32_t i = 0; i < n; ++i) sum += p[i];
  return sum;
}

void CheckSplit(const uint8_t* data, int32_t size) {
  const ExtraDataBlocks blocks = SplitExtraData(data, size);
  KX_FUZZ_CHECK(blocks.firstBytes >= 0 && blocks.secondBytes >= 0);
  if (blocks.first == nullptr) {
    KX_FUZZ_CHECK(blocks.firstBytes == 0);
    KX_FUZZ_CHECK(blocks.second == nullptr && blocks.secondBytes == 0);
    return;
  }
  KX_FUZZ_CHECK(blocks.first == data + 4);
  KX_FUZZ_CHECK(int64_t{4} + blocks.firstBytes <= size);
  (void)Touch(blocks.first, blocks.firstBytes);
  if (blocks.second == nullptr) {
    KX_FUZZ_CHECK(blocks.secondBytes == 0);
    return;
  }
  KX_FUZZ_CHECK(blocks.second == data + 8 + blocks.firstBytes);
  KX_FUZZ_CHECK(int64_t{8} + blocks.firstBytes + blocks.secondBytes <= size);
  (void)Touch(blocks.second, blocks.secondBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  const int32_t n = static_cast<int32_t>(size);
  CheckSplit(data, n);
  // A host that says less than it has: the split stays inside what it said.
  if (n > 0) CheckSplit(data, n / 2);
  // A negative size finds nothing.
  const ExtraDataBlocks none = SplitExtraData(data, -n - 1);
  KX_FUZZ_CHECK(none.first == nullptr && none.second == nullptr);
  return 0;
}
