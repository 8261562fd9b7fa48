// MuxerWMV: the object behind every MFWMVMuxer_ handle and every legacy file
// handle. It writes packets that are already compressed into an ASF file
// through the platform's ASF media sink, without encoding.
//
// The caller hands over one extra-data block per track whose last 8 bytes
// hold a pointer to the track's ready IMFMediaType; ConfigInit takes a
// reference to each, builds the ASF profile and content information, opens
// the media sink on the path and fetches one stream sink per track.
// WritePacket wraps each packet in one new sample and hands it to its
// track's stream sink. Destruction finishes a configured file (finalize,
// then shut the sink down) and releases everything in a fixed order.
//
// Threads: the calls on one object come one at a time; different objects
// share nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <kx_traxel/kx_traxel.h>

#include "kxplatform/mf.h"

// The platform entry points through which the muxer makes its ASF objects
// and its samples. The defaults are the platform's own functions; a test
// hands in fakes.
struct MuxerEntryPoints {
  decltype(&MFCreateASFContentInfo) createASFContentInfo;
  decltype(&MFCreateASFProfile) createASFProfile;
  decltype(&MFCreateASFMediaSinkActivate) createASFMediaSinkActivate;
  decltype(&MFCreateSample) createSample;
  decltype(&MFCreateMemoryBuffer) createMemoryBuffer;

  static MuxerEntryPoints Platform();
};

class MuxerWMV {
 public:
  // Track number of a track the file does not have.
  static constexpr UINT32 kAbsentTrack = 0xFFFFFFFF;
  // Largest track number: ASF stream numbers are 1 to 127.
  static constexpr UINT32 kMaxTrackNumber = 127;
  // Largest packet ASF readers take: a media object of 16 MiB or more is
  // lost on reading, with every packet after it.
  static constexpr UINT32 kMaxPacketBytes = (1u << 24) - 1;
  // Shortest extra-data block taken: anything shorter counts as none.
  static constexpr int32_t kMinExtraDataBytes = 10;
  // Outcome of WritePacket.
  enum PacketStatus : int { kPacketFailed = 0, kPacketAccepted = 1, kPacketRefused = 2 };

  // MFWMVMuxer_Create: copies the blocks of 10 bytes or more and the path.
  // Null when neither block was taken (or memory ran out). Logs nothing and
  // calls no Media Foundation function.
  static MuxerWMV* Create(const WCHAR* path, const uint8_t* audioBlock, int32_t audioBytes,
                          const uint8_t* videoBlock, int32_t videoBytes,
                          const MuxerEntryPoints& entryPoints = MuxerEntryPoints::Platform());

  // Finishes a configured file (FinishFile), then releases: mediasink,
  // asfcontentinfo, videomediatype, videoExtraData, videoStreamSink,
  // audiomediatype, audioExtraData, audioStreamSink, filename.
  ~MuxerWMV();
  MuxerWMV(const MuxerWMV&) = delete;
  MuxerWMV& operator=(const MuxerWMV&) = delete;

  // The set-parameter exports: store only, validate nothing. On a
  // configured muxer the track numbers stay those its stream sinks were
  // fetched by, so that packets keep their tracks.
  void SetAudioParam(UINT32 trackNumber, UINT32 channels, UINT32 sampleRate, UINT32 bitrate, UINT32 bitsPerSample,
                     UINT32 codecCode);
  void SetVideoParam(UINT32 trackNumber, UINT32 width, UINT32 height, UINT32 frameRateNum, UINT32 frameRateDen,
                     UINT32 bitrate, UINT32 modeCode, UINT32 codecCode);

  // Takes the tracks' media types from their blocks and sets up the sink.
  // 1 when the file is ready for packets, else 0: without a log line for a
  // track number of 0 or a present track without a block; with one for a
  // configured muxer (its file and sinks stay as they are), and for tracks
  // the file cannot hold (a number outside 1 to 127, one number for both, no
  // media type or one of the other kind), refused before the platform makes
  // anything. A failed set-up lets go of what it made; it may be retried.
  int ConfigInit();

  // The write exports: 0 for a null packet, a packet larger than
  // kMaxPacketBytes or one the stream sink refused (status 2), else 1
  // (failures are only logged).
  int WriteAudioPacket(const MFWMVMuxerPacket* packet);
  int WriteVideoPacket(const MFWMVMuxerPacket* packet);

  // ASF profile with one stream per present track (audio first), wrapped in
  // new content information.
  HRESULT CreateProfile(IMFMediaType* audioType, IMFMediaType* videoType);
  // The profile, the media sink on `filename` and one stream sink per track.
  HRESULT CreateMediaSink();
  // One new sample holding one new memory buffer of `length` bytes.
  HRESULT CreateEmptySample(kx::ComPtr<IMFSample>& sample, kx::ComPtr<IMFMediaBuffer>& buffer, UINT32 length);
  // One packet into the stream sink of `trackNumber`; false for status 0.
  bool WritePacket(UINT32 trackNumber, const BYTE* data, UINT32 dataLength, LONGLONG samplePts, LONGLONG sampleDur,
                   int* status);
  // Finalizes the media sink (waiting for its completion) and shuts it
  // down. Only once per configuration; S_OK when nothing is configured.
  HRESULT FinishFile();

  bool Configured() const { return configured; }

  // The state, in declaration order (destroyed in the reverse order).
  std::basic_string<WCHAR> filename;
  UINT32 audioBitrate = 0;
  UINT32 audioChannels = 0;
  UINT32 audioSampleRate = 0;
  UINT32 audioBitsPerSample = 0;
  UINT32 audiotrackidx = kAbsentTrack;
  UINT32 audioCodecCode = 0;
  kx::ComPtr<IMFStreamSink> audioStreamSink;
  std::vector<uint8_t> audioExtraData;
  kx::ComPtr<IMFMediaType> audiomediatype;
  UINT32 videotrackidx = kAbsentTrack;
  UINT32 videoWidth = 0;
  UINT32 videoHeight = 0;
  UINT32 frameRateNumerator = 0;
  UINT32 frameRateDenominator = 0;
  UINT32 videoBitrate = 0;
  UINT32 videoModeCode = 0;
  UINT32 videoCodecCode = 0;
  kx::ComPtr<IMFStreamSink> videoStreamSink;
  std::vector<uint8_t> videoExtraData;
  kx::ComPtr<IMFMediaType> videomediatype;
  kx::ComPtr<IMFASFContentInfo> asfcontentinfo;
  kx::ComPtr<IMFMediaSink> mediasink;

 private:
  explicit MuxerWMV(const MuxerEntryPoints& entryPoints);
  // Step 2 or 3 of ConfigInit for one track: false when the set-up must
  // stop (number 0, a present track without a block, or a pointer that the
  // platform refuses as no media type, logged).
  static bool TakeTrackType(UINT32 trackNumber, const std::vector<uint8_t>& block, kx::ComPtr<IMFMediaType>& type);
  // The present tracks' numbers and media types suit an ASF file (logged
  // when not).
  bool TracksFitTheFile() const;
  int WritePacketExport(UINT32 trackNumber, const MFWMVMuxerPacket* packet);

  MuxerEntryPoints entryPoints;
  // ConfigInit succeeded and FinishFile has not run since.
  bool configured = false;
};
