// Compressed packets of a media file, as `kx-host remux` reads them. The
// reader is libavformat where the build has it (packets_avformat.cpp); a
// build without it answers "not available" (packets_unavailable.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kxhost {

// What a media type needs of one stream, in the container's own terms.
struct StreamFormat {
  bool video = false;
  std::string codecName;      // for messages and the summary
  uint32_t codecTag = 0;      // video: the FourCC; audio: the wave format tag
  uint32_t width = 0, height = 0;
  uint32_t rateNumerator = 0, rateDenominator = 0;  // 0/0 when the file does not say
  uint32_t aspectNumerator = 1, aspectDenominator = 1;
  uint32_t bitsPerSecond = 0;  // 0 when the file does not say
  uint32_t channels = 0, sampleRate = 0, blockAlign = 0, bitsPerSample = 0;
  std::vector<uint8_t> codecPrivateData;  // after the BITMAPINFOHEADER / WAVEFORMATEX
  bool reordered = false;  // video whose packets' times go back (B-frames)
};

struct Packet {
  size_t stream = 0;  // index into PacketSource::streams
  const uint8_t* data = nullptr;
  uint32_t bytes = 0;
  int64_t time100ns = 0, duration100ns = 0;
};

class PacketSource {
 public:
  virtual ~PacketSource() = default;
  std::vector<StreamFormat> streams;
  double durationSeconds = 0;  // 0 when unknown
  // An ASF file cut off before the size its header declares: its size and
  // the declared one (0 when whole). Its last packet, read at the cut, is
  // not handed on (`lastLeftOut`, known at the end).
  int64_t cutAtByte = 0, declaredBytes = 0;
  bool lastLeftOut = false;
  // The next packet, valid until the next call; false at the end of the
  // file. Throws HostError (status 5, with the byte offset) on a read error.
  virtual bool Next(Packet& packet) = 0;
};

// From now on libavformat's and its codecs' log lines (the plug-in's
// encoders among them, in this process) go to the plug-in's log records
// (shown with --verbose), not to standard error.
void RouteLibraryLog();

// What a finished file holds, read back before it is put in place.
struct FileContents {
  int videoStreams = 0, audioStreams = 0;
  int64_t videoPackets = 0, audioPackets = 0;
};
// Reads every packet of `path`; false with `error` when it cannot be read,
// or (`available` false) when this build has no reader to read it with.
bool ReadBack(const std::string& path, FileContents& contents, std::string& error, bool& available);

// Opens `path` and reads its stream formats. Throws HostError: 4 when the
// file cannot be opened, 5 when it is no media file libavformat reads, 10
// in a build without libavformat.
std::unique_ptr<PacketSource> OpenPackets(const std::string& path);

}  // namespace kxhost
