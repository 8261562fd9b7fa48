// How the ASF media sink tells a key frame from a packet's own bytes when
// its sample carries no clean-point mark: the picture type at the start of
// a WMV1/2/3 or MS MPEG-4 picture, or a VC-1 sequence header or entry point
// start code. These read whatever bytes the caller hands in, of any length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::asf {

// How a packet without a clean-point mark is judged.
enum class KeyFrameRule {
  kAlways,        // audio: every packet starts a decodable unit
  kIndependent,   // a type with MF_MT_ALL_SAMPLES_INDEPENDENT set
  kMsMpeg4,       // WMV1, MS MPEG-4 v2/v3: the first two bits, 0 for an intra picture
  kWmv2,          // picture type: the first bit, 0 for an intra picture
  kWmv3,          // VC-1 simple/main frame header, laid out by the sequence header
  kVc1Advanced,   // a sequence header or entry point start code
  kNever,         // no way to tell: only samples marked as clean points are key
};

struct KeyFrameLayout {
  KeyFrameRule rule = KeyFrameRule::kNever;
  // From the WMV3 sequence header (the type's user data).
  bool frameInterpolation = false;
  bool rangeReduction = false;
  bool bFrames = false;
};

// The bits of a WMV3 sequence header (STRUCT_C, the first 4 bytes) that lay
// out a frame header; fewer than 4 bytes leave `layout` as it is.
void ReadWmv3SequenceHeader(const uint8_t* data, size_t size, KeyFrameLayout* layout);

// Whether a packet of this stream, not marked either way, is a key frame.
bool IsKeyFrame(const KeyFrameLayout& layout, const uint8_t* data, size_t size);

}  // namespace kx::asf
