#include "asf/asf_key_frames.h"

namespace kx::asf {

// RANGERED (bit 24 from the top), MAXBFRAMES (25..27), FINTERPFLAG (30).
void ReadWmv3SequenceHeader(const uint8_t* data, size_t size, KeyFrameLayout* layout) {
  if (size < 4) return;
  const uint32_t bits = uint32_t{data[0]} << 24 | uint32_t{data[1]} << 16 | uint32_t{data[2]} << 8 | data[3];
  layout->rangeReduction = (bits >> 7) & 1;
  layout->bFrames = ((bits >> 4) & 7) != 0;
  layout->frameInterpolation = (bits >> 1) & 1;
}

bool IsKeyFrame(const KeyFrameLayout& layout, const uint8_t* data, size_t size) {
  switch (layout.rule) {
    case KeyFrameRule::kAlways:
    case KeyFrameRule::kIndependent:
      return true;
    case KeyFrameRule::kNever:
      return false;
    case KeyFrameRule::kMsMpeg4:
      return size > 0 && (data[0] >> 6) == 0;
    case KeyFrameRule::kWmv2:
      return size > 0 && (data[0] >> 7) == 0;
    case KeyFrameRule::kWmv3: {
      // [INTERPFRM] FRMCNT(2) [RANGEREDFRM] PTYPE: 1 is P; with B-frames
      // 01 is I and 00 is B; without, 0 is I. Packets of a byte or less
      // are skipped (repeated) pictures.
      if (size < 2) return false;
      const uint32_t bits = uint32_t{data[0]} << 8 | data[1];
      int position = 15 - (layout.frameInterpolation ? 1 : 0) - 2 - (layout.rangeReduction ? 1 : 0);
      if ((bits >> position) & 1) return false;
      if (!layout.bFrames) return true;
      return (bits >> (position - 1)) & 1;
    }
    case KeyFrameRule::kVc1Advanced:
      // A sequence header (0x0F) or entry point (0x0E) start code.
      for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] == 0x0F || data[i + 3] == 0x0E)) {
          return true;
        }
      }
      return false;
  }
  return false;
}

}  // namespace kx::asf
