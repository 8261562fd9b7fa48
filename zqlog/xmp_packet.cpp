// DumpXmpMetadata: the host's record as an XMP packet, written by the XMP
// toolkit where the build has it (Linux) and by our own writer elsewhere.
#include <kx_traxel/zq_log.h>

#include <new>

#include "xmp_packet.h"

ZQ_LOG_API std::string DumpXmpMetadata(const _XmpMetadata& metadata, int options) {
  try {
    const kx::zqlog::XmpFields fields = kx::zqlog::FieldsFromRecord(metadata);
    const bool wrapper = (options & ZQ_XMP_PACKET_WRAPPER) != 0;
#if defined(ZQ_LOG_HAVE_EXEMPI)
    return kx::zqlog::WriteXmpPacketWithExempi(fields, wrapper);
#else
    return kx::zqlog::WriteXmpPacket(fields, wrapper);
#endif
  } catch (...) {
    // The XMP toolkit turns a failed allocation into its own exception type:
    // whatever it throws, the caller gets no packet rather than an exception.
    return std::string();
  }
}
