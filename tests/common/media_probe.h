// Reads a written file back with tools we did not write: libavformat opens
// it and libavcodec decodes every packet (what a player sees); exiftool reads
// its XMP. Native build only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace kx::test {

struct StreamReport {
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID codec = AV_CODEC_ID_NONE;
  std::string codecName;
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
  double meanU = 0, meanV = 0;  // first decoded picture
  std::vector<double> lumaMeans;           // every decoded picture, in order
  double audioRms = 0;                     // all decoded audio, full scale 1.0
};

struct FileReport {
  bool opened = false;
  std::string error;  // why it did not open
  std::string containerName;
  double durationSeconds = 0;
  std::vector<StreamReport> streams;
  const StreamReport* Find(AVMediaType type) const;
  // Decoded frames of every stream of `type`.
  int64_t DecodedFrames(AVMediaType type) const;
};

// `picture`, when given, sees every decoded picture in order.
FileReport ReadMediaFile(const std::string& path, const std::function<void(const AVFrame&)>& picture = {});

// The standard output and error of a shell command.
std::string RunCommand(const std::string& command);
// exiftool -s3 <arguments> <path>: the values asked for, one a line.
std::string Exiftool(const std::string& path, const std::string& arguments);

}  // namespace kx::test
