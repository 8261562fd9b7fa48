// Reads a written file back with libavformat and decodes every packet with
// libavcodec: what a player would see.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace sinkwriter_test {

struct StreamReport {
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID codec = AV_CODEC_ID_NONE;
  int width = 0;
  int height = 0;
  int sampleRate = 0;
  int channels = 0;
  int64_t packets = 0;
  double firstPts = 0;  // seconds, smallest presentation time
  double lastPts = 0;   // seconds, largest presentation time
  std::vector<double> packetPts;  // seconds, every packet in file order
  double durationSeconds = 0;     // the container's duration of the stream, if it keeps one
  int64_t decodedFrames = 0;
  int64_t decodedSamples = 0;
  int decodeErrors = 0;
  double meanY = 0, meanU = 0, meanV = 0;  // first decoded picture
  std::vector<double> lumaMeans;           // every decoded picture, in order
  double audioRms = 0;                     // all decoded audio, full scale 1.0
};

struct FileReport {
  bool opened = false;
  std::string containerName;
  double durationSeconds = 0;
  std::vector<StreamReport> streams;
  const StreamReport* Find(AVMediaType type) const;
};

FileReport ReadMediaFile(const std::string& path);

}  // namespace sinkwriter_test
