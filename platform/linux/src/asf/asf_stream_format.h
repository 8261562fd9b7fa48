// What the ASF media sink needs of a stream's media type: the codec
// parameters the container writes (the BITMAPINFOHEADER or WAVEFORMATEX of
// the stream properties, with the codec's private data after it), and how
// to tell a key frame from the packet bytes when the sample does not say.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kxplatform/mf.h"
#include "sinkwriter/av_owners.h"

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

struct StreamFormat {
  kx::av::CodecParametersPtr parameters;
  KeyFrameRule keyFrameRule = KeyFrameRule::kNever;
  // From the WMV3 sequence header (the type's user data).
  bool frameInterpolation = false;
  bool rangeReduction = false;
  bool bFrames = false;
};

// Reads the type's attributes (MF_MT_MAJOR_TYPE, MF_MT_SUBTYPE, frame size
// and rate, pixel aspect ratio, bit rates, the audio attributes,
// MF_MT_USER_DATA). A type the container cannot carry (no major type or
// subtype, a subtype with no FourCC or wave format tag the container knows,
// video without a frame size, audio without channels or rate) gives
// MF_E_INVALIDMEDIATYPE.
HRESULT StreamFormatFromType(IMFMediaType* type, StreamFormat* format);

// Whether a packet of this stream, not marked either way, is a key frame.
bool IsKeyFrame(const StreamFormat& format, const uint8_t* data, size_t size);

}  // namespace kx::asf
