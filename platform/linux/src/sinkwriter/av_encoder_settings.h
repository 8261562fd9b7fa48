// Encoder settings the sink writer applies on top of FFmpeg's defaults.
// The benchmark passes the same values to the ffmpeg command-line tool, so
// that both sides run the same encoder configuration.
#pragma once

#include <cstddef>

namespace kx::av {

// x264 / x265 speed preset.
inline constexpr const char* kX26xPreset = "medium";
// Encoder threads: 0 lets the codec library choose from the CPU count
// (frame threads plus lookahead for x264), the command-line tool's default.
inline constexpr int kVideoEncoderThreads = 0;

// Queue depth per stream: how many input samples the sink writer holds for
// an encoder that has fallen behind before WriteSample blocks the caller.
inline constexpr int kVideoQueueDepth = 4;
inline constexpr int kAudioQueueDepth = 32;

// A gap in the audio time stamps up to this long is filled with silence, so
// that the sound after it keeps its time; a longer jump is taken as a
// mistake of the caller's clock and the sound continues without a gap.
inline constexpr int kMaxAudioGapSeconds = 60;

// Lanes for a video encoder without threads of its own (WMV 7/8): each lane
// encodes every other GOP on its own worker and holds up to one GOP of
// pictures, so that the caller can fill one lane while the other encodes.
inline constexpr int kVideoGopLanes = 2;
// Each lane first encodes copies of the first pictures (a GOP divided by
// this), whose packets it drops, so that no lane's rate control starts
// cold. Half a GOP gave the same quality as a whole one for half the work.
inline constexpr int kVideoLaneWarmUpDivisor = 2;
// Below this many bits per pixel (a 500 kb/s 720p25 stream has 0.022), WMV
// 7/8 search sub-pixel motion on SATD instead of the sum of differences:
// +0.05 dB for the same bits at 720p 500k, where the lanes have the time.
inline constexpr double kFineSubPixelSearchBitsPerPixel = 0.04;
// When the stream ends, the unstarted part of the last GOP moves to an idle
// lane as a GOP of its own if at least this many pictures would move (each
// such GOP costs a key frame).
inline constexpr size_t kLaneBalanceMinPictures = 3;

}  // namespace kx::av
