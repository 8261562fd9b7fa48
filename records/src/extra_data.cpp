#include "kxrecords/extra_data.h"

#include <cstring>

namespace {

int32_t ReadI32(const uint8_t* p) {
  int32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

uint32_t ReadU32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

}  // namespace

ExtraDataBlocks SplitExtraData(const uint8_t* pData, int32_t nSize) {
  ExtraDataBlocks blocks;
  if (pData == nullptr || nSize <= 4) return blocks;

  // All arithmetic in 64 bits: no length the host writes can wrap it.
  const int64_t size = nSize;
  const int64_t len1 = ReadI32(pData);
  if (len1 < 0 || len1 > size - 4) return blocks;
  blocks.first = pData + 4;
  blocks.firstBytes = static_cast<int32_t>(len1);

  // The second block follows its own 4-byte length.
  if (size > len1 + 8) {
    const int64_t len2 = ReadU32(pData + len1 + 4);
    if (len2 <= size - len1 - 8) {
      blocks.second = pData + len1 + 8;
      blocks.secondBytes = static_cast<int32_t>(len2);
    }
  }
  return blocks;
}
