// What the ASF media sink needs of a stream's media type: the codec
// parameters the container writes (the BITMAPINFOHEADER or WAVEFORMATEX of
// the stream properties, with the codec's private data after it), and how
// to tell a key frame from the packet bytes when the sample does not say
// (asf_key_frames.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "asf/asf_key_frames.h"
#include "kxplatform/mf.h"
#include "sinkwriter/av_owners.h"

namespace kx::asf {

struct StreamFormat {
  kx::av::CodecParametersPtr parameters;
  KeyFrameLayout keyFrames;
};

// Reads the type's attributes (MF_MT_MAJOR_TYPE, MF_MT_SUBTYPE, frame size
// and rate, pixel aspect ratio, bit rates, the audio attributes,
// MF_MT_USER_DATA). A type the container cannot carry (no major type or
// subtype, a subtype with no FourCC or wave format tag the container knows,
// video without a frame size, audio without channels or rate) gives
// MF_E_INVALIDMEDIATYPE.
HRESULT StreamFormatFromType(IMFMediaType* type, StreamFormat* format);

}  // namespace kx::asf
