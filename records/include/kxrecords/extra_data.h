// The host's extra-data block of WriteExtraDataMultiStream, split into its
// parts without ever reading outside the host's bytes:
//
//   i32 len1 | len1 bytes (first block) | u32 len2 | len2 bytes (second block)
//
// An audio stream uses only the first block.
#pragma once

#include <cstdint>

struct ExtraDataBlocks {
  const uint8_t* first = nullptr;
  int32_t firstBytes = 0;
  const uint8_t* second = nullptr;
  int32_t secondBytes = 0;
};

// `nSize` is the byte count of the whole block at `pData`. A part that is
// absent, or whose length is negative or reaches past nSize, comes back as
// (null, 0); when len1 itself is unusable the second block is absent too,
// since its place cannot be known.
ExtraDataBlocks SplitExtraData(const uint8_t* pData, int32_t nSize);
