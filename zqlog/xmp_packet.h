// The XMP packet DumpXmpMetadata writes: what goes into it and two writers,
// the XMP toolkit (exempi) where it is available and a small one of our own.
#pragma once

#include <cstdint>
#include <string>

#include <kx_traxel/kx_traxel.h>

namespace kx::zqlog {

struct XmpFields {
  bool hasDuration = false;
  uint64_t durationValue = 0;
  uint32_t scaleNumerator = 1;
  uint32_t scaleDenominator = 1;
  bool hasCreator = false;
  std::string creatorTool;
  std::string createDate;  // ISO 8601, UTC: "2026-01-31T12:00:00Z"
};

XmpFields FieldsFromRecord(const _XmpMetadata& metadata);

// Our own writer: a well-formed packet, the properties in a fixed order.
std::string WriteXmpPacket(const XmpFields& fields, bool wrapper);

#if defined(ZQ_LOG_HAVE_EXEMPI)
// The same through the XMP toolkit; empty on failure.
std::string WriteXmpPacketWithExempi(const XmpFields& fields, bool wrapper);
#endif

}  // namespace kx::zqlog
