// kx-host remux: the compressed packets of IN written unchanged into an ASF
// file through the plug-in's MFWMVMuxer_ exports, as a host that already
// holds Windows Media packets does: it builds each track's media type with
// Media Foundation, hands it over inside the track's extra-data block and
// writes every packet with its time and duration.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <kx_traxel/kx_traxel.h>

#include "commands.h"
#include "error.h"
#include "host_media_foundation.h"
#include "os.h"
#include "output.h"
#include "packets.h"
#include "plugin.h"

namespace kxhost {
namespace {

struct RemuxSettings {
  std::string input, output, pluginPath;
  bool quiet = false, verbose = false;
};

RemuxSettings ParseRemuxSettings(const std::vector<std::string>& arguments) {
  RemuxSettings settings;
  std::vector<std::string> files;
  Options options(arguments);
  std::string name, value;
  while (options.Next(name, value)) {
    if (name.empty()) {
      files.push_back(value);
    } else if (name == "--plugin") {
      settings.pluginPath = options.Value(name);
    } else if (name == "--quiet") {
      settings.quiet = true;
    } else if (name == "--verbose") {
      settings.verbose = true;
    } else {
      throw HostError(kExitUsage, "remux: unknown option '" + name + "' (kx-host --help)");
    }
  }
  if (files.size() != 2) throw HostError(kExitUsage, "usage: kx-host remux IN.wmv OUT.wmv [--plugin PATH] [--quiet] [--verbose]");
  settings.input = files[0];
  settings.output = files[1];
  return settings;
}

// The seven exports, looked up by name.
struct MuxerExports {
  explicit MuxerExports(const Plugin& plugin)
      : create(reinterpret_cast<MFWMVMuxer_CreateFn>(plugin.Symbol("MFWMVMuxer_Create"))),
        setAudioParam(reinterpret_cast<MFWMVMuxer_SetAudioParamFn>(plugin.Symbol("MFWMVMuxer_SetAudioParam"))),
        setVideoParam(reinterpret_cast<MFWMVMuxer_SetVideoParamFn>(plugin.Symbol("MFWMVMuxer_SetVideoParam"))),
        configInit(reinterpret_cast<MFWMVMuxer_ConfigInitFn>(plugin.Symbol("MFWMVMuxer_ConfigInit"))),
        writeAudio(reinterpret_cast<MFWMVMuxer_WritePacketFn>(plugin.Symbol("MFWMVMuxer_WriteAudioPacket"))),
        writeVideo(reinterpret_cast<MFWMVMuxer_WritePacketFn>(plugin.Symbol("MFWMVMuxer_WriteVideoPacket"))),
        destroy(reinterpret_cast<MFWMVMuxer_DestroyFn>(plugin.Symbol("MFWMVMuxer_Destroy"))) {
    if (!create || !setAudioParam || !setVideoParam || !configInit || !writeAudio || !writeVideo || !destroy) {
      throw HostError(kExitPlugin, plugin.path() + " does not export the MFWMVMuxer_ functions");
    }
  }
  MFWMVMuxer_CreateFn create;
  MFWMVMuxer_SetAudioParamFn setAudioParam;
  MFWMVMuxer_SetVideoParamFn setVideoParam;
  MFWMVMuxer_ConfigInitFn configInit;
  MFWMVMuxer_WritePacketFn writeAudio, writeVideo;
  MFWMVMuxer_DestroyFn destroy;
};

// Media Foundation started for as long as the object lives.
class MediaFoundationStarted {
 public:
  MediaFoundationStarted() {
    const HRESULT hr = MFStartup(MF_VERSION, MFSTARTUP_FULL);
    if (FAILED(hr)) {
      char text[96];
      std::snprintf(text, sizeof text, "Media Foundation cannot start: MFStartup failed (0x%08" PRIx32 ")",
                    static_cast<uint32_t>(hr));
      throw HostError(kExitPlugin, text);
    }
  }
  ~MediaFoundationStarted() { MFShutdown(); }
  MediaFoundationStarted(const MediaFoundationStarted&) = delete;
  MediaFoundationStarted& operator=(const MediaFoundationStarted&) = delete;
};

struct ReleaseMediaType {
  void operator()(IMFMediaType* type) const { type->Release(); }
};
using MediaTypePtr = std::unique_ptr<IMFMediaType, ReleaseMediaType>;

// The media type Media Foundation gives a stream of this format: the FourCC
// (video) or wave format tag (audio) in Data1 of the subtype base, the
// format's numbers and its codec private data.
MediaTypePtr MediaTypeOf(const StreamFormat& format) {
  HRESULT hr = S_OK;
  const char* failedCall = nullptr;
  auto check = [&](HRESULT result, const char* call) {
    if (SUCCEEDED(hr) && FAILED(result)) hr = result, failedCall = call;
  };
  IMFMediaType* created = nullptr;
  check(MFCreateMediaType(&created), "MFCreateMediaType");
  MediaTypePtr type(created);
  if (type) {
    GUID subtype = format.video ? MFVideoFormat_WMV2 : MFAudioFormat_WMAudioV8;
    subtype.Data1 = format.codecTag;
    check(type->SetGUID(MF_MT_MAJOR_TYPE, format.video ? MFMediaType_Video : MFMediaType_Audio), "SetGUID(MF_MT_MAJOR_TYPE)");
    check(type->SetGUID(MF_MT_SUBTYPE, subtype), "SetGUID(MF_MT_SUBTYPE)");
    if (format.video) {
      check(type->SetUINT64(MF_MT_FRAME_SIZE, uint64_t{format.width} << 32 | format.height), "SetUINT64(MF_MT_FRAME_SIZE)");
      if (format.rateDenominator != 0) {
        check(type->SetUINT64(MF_MT_FRAME_RATE, uint64_t{format.rateNumerator} << 32 | format.rateDenominator),
              "SetUINT64(MF_MT_FRAME_RATE)");
      }
      check(type->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, uint64_t{format.aspectNumerator} << 32 | format.aspectDenominator),
            "SetUINT64(MF_MT_PIXEL_ASPECT_RATIO)");
      if (format.bitsPerSecond != 0) check(type->SetUINT32(MF_MT_AVG_BITRATE, format.bitsPerSecond), "SetUINT32(MF_MT_AVG_BITRATE)");
    } else {
      check(type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, format.channels), "SetUINT32(MF_MT_AUDIO_NUM_CHANNELS)");
      check(type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, format.sampleRate), "SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND)");
      check(type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, format.bitsPerSecond / 8),
            "SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND)");
      check(type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, format.blockAlign), "SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT)");
      check(type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, format.bitsPerSample), "SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE)");
    }
    if (!format.codecPrivateData.empty()) {
      check(type->SetBlob(MF_MT_USER_DATA, format.codecPrivateData.data(),
                          static_cast<UINT32>(format.codecPrivateData.size())),
            "SetBlob(MF_MT_USER_DATA)");
    }
  }
  if (FAILED(hr)) {
    char text[64];
    std::snprintf(text, sizeof text, " failed (0x%08" PRIx32 ")", static_cast<uint32_t>(hr));
    throw HostError(kExitCodec, "the media type of the " + format.codecName + " stream: " + failedCall + text);
  }
  return type;
}

// A track's extra-data block: bytes of the host's own, then the address of
// the track's media type in the last eight bytes.
std::vector<uint8_t> ExtraDataBlock(IMFMediaType* type) {
  std::vector<uint8_t> block(KX_MIN_EXTRA_DATA_BYTES, 0);
  std::memcpy(block.data() + block.size() - sizeof type, &type, sizeof type);
  return block;
}

// MFWMVMuxer_Destroy however the remux ends; it finishes the file.
struct MuxerHandle {
  const MuxerExports& exports;
  MFWMVMuxerHandle handle = nullptr;
  ~MuxerHandle() { Destroy(); }
  void Destroy() {
    if (handle != nullptr) exports.destroy(handle);
    handle = nullptr;
  }
};

std::string Describe(const StreamFormat& format) {
  char text[160];
  if (format.video) {
    std::snprintf(text, sizeof text, "%s %ux%u %.3g fps", format.codecName.c_str(), format.width, format.height,
                  format.rateDenominator != 0 ? double(format.rateNumerator) / format.rateDenominator : 0.0);
  } else {
    std::snprintf(text, sizeof text, "%s %u Hz %u ch", format.codecName.c_str(), format.sampleRate, format.channels);
  }
  return text;
}

constexpr uint32_t kAudioTrack = 1, kVideoTrack = 2;  // the ASF stream numbers

// Packets are handed on in the order they are stored, and the plug-in's
// direct path takes each stream's in rising time order.
HostError Reordered(const std::string& input, const StreamFormat& video) {
  return HostError(kExitCodec, input + ": its " + video.codecName +
                                   " pictures are stored out of display order (B-frames), and the plug-in's direct path "
                                   "takes each stream's packets in rising time order; encode it again without B-frames");
}

}  // namespace

int RemuxCommand(const std::vector<std::string>& arguments) {
  const RemuxSettings settings = ParseRemuxSettings(arguments);
  const std::string extension = ExtensionOf(settings.output);
  if (extension != ".wmv" && extension != ".wma" && extension != ".asf") {
    throw HostError(kExitUsage, "remux: " + settings.output + " must end in .wmv, .wma or .asf (remux writes ASF files)");
  }
  const std::string temporary = TemporaryPath(settings.output, extension);
  std::basic_string<kx_wchar> widePath;
  if (!WideOf(temporary, widePath)) throw HostError(kExitUsage, "remux: the output name is not valid UTF-8");
  CheckOutput(settings.output, {settings.input});
  CatchInterrupts();
  RouteLibraryLog();

  // The input first: a bad input fails before anything is written.
  std::unique_ptr<PacketSource> source = OpenPackets(settings.input);
  int videoStream = -1, audioStream = -1;
  for (size_t i = 0; i < source->streams.size(); ++i) {
    int& slot = source->streams[i].video ? videoStream : audioStream;
    if (slot >= 0) {
      throw HostError(kExitCodec, settings.input + " has more than one " +
                                      (source->streams[i].video ? "video" : "audio") +
                                      " stream; remux carries one video and one audio stream");
    }
    slot = static_cast<int>(i);
  }
  if (videoStream < 0 && audioStream < 0) throw HostError(kExitCodec, settings.input + " has no video or audio stream");
  if (videoStream >= 0 && source->streams[videoStream].reordered) throw Reordered(settings.input, source->streams[videoStream]);

  LogRecords::Instance().echo = settings.verbose;
  Plugin plugin(settings.pluginPath);
  const MuxerExports exports(plugin);
  const MediaFoundationStarted mediaFoundation;
  MediaTypePtr audioType = audioStream >= 0 ? MediaTypeOf(source->streams[audioStream]) : nullptr;
  MediaTypePtr videoType = videoStream >= 0 ? MediaTypeOf(source->streams[videoStream]) : nullptr;
  const std::vector<uint8_t> audioBlock = ExtraDataBlock(audioType.get()), videoBlock = ExtraDataBlock(videoType.get());

  TemporaryFile file{temporary};
  size_t logMark = LogRecords::Instance().Count();
  MuxerHandle muxer{exports};
  muxer.handle = exports.create(widePath.c_str(), audioType ? audioBlock.data() : nullptr,
                                audioType ? static_cast<int32_t>(audioBlock.size()) : 0,
                                videoType ? videoBlock.data() : nullptr,
                                videoType ? static_cast<int32_t>(videoBlock.size()) : 0);
  if (muxer.handle == nullptr) throw HostError(kExitCreate, "cannot create " + settings.output + ": MFWMVMuxer_Create refused");
  if (audioType) {
    const StreamFormat& audio = source->streams[audioStream];
    exports.setAudioParam(muxer.handle, kAudioTrack, audio.channels, audio.sampleRate, audio.bitsPerSecond,
                          audio.bitsPerSample, audio.codecTag == 0x162 ? 3 : 2);
  }
  if (videoType) {
    const StreamFormat& video = source->streams[videoStream];
    exports.setVideoParam(muxer.handle, kVideoTrack, video.width, video.height, video.rateNumerator,
                          video.rateDenominator, video.bitsPerSecond, 3,
                          video.codecTag == KX_FOURCC('W', 'M', 'V', '3') ? 6 : 5);
  }
  if (exports.configInit(muxer.handle) != 1) {
    const std::string reason = LogRecords::Instance().ReasonSince(logMark);
    throw HostError(kExitCreate, "cannot create " + settings.output +
                                     (reason.empty() ? "" : ": the plug-in says \"" + reason + "\""));
  }
  // The muxer holds its own references now.
  audioType.reset();
  videoType.reset();

  Progress progress(!settings.quiet && StandardErrorIsTerminal(), settings.output);
  const double start = SecondsNow();
  int64_t packets[2] = {0, 0};  // audio, video
  int64_t firstTime100ns = INT64_MAX, endTime100ns = INT64_MIN, lastVideoTime100ns = INT64_MIN;
  std::string failure;
  ExitStatus failureStatus = kExitWrite;
  logMark = LogRecords::Instance().Count();
  try {
    Packet packet;
    while (source->Next(packet)) {
      if (Interrupted()) {
        failure = "interrupted", failureStatus = kExitInterrupted;
        break;
      }
      const bool video = static_cast<int>(packet.stream) == videoStream;
      if (video && packet.time100ns < lastVideoTime100ns) throw Reordered(settings.input, source->streams[videoStream]);
      if (video) lastVideoTime100ns = packet.time100ns;
      const MFWMVMuxerPacket record{.pData = packet.data, .nLength = packet.bytes, .reserved12 = {},
                                    .nPts = packet.time100ns, .reserved24 = {}, .nDuration = packet.duration100ns};
      // A failed packet is only visible as a log line; a refused one as 0.
      if ((video ? exports.writeVideo : exports.writeAudio)(muxer.handle, &record) != 1 ||
          LogRecords::Instance().FailedSince(logMark)) {
        const std::string reason = LogRecords::Instance().ReasonSince(logMark);
        failure = "writing " + std::string(video ? "video" : "audio") + " packet " + std::to_string(packets[video]) +
                  " failed" + (reason.empty() ? "" : ": the plug-in says \"" + reason + "\"");
        break;
      }
      ++packets[video];
      firstTime100ns = std::min(firstTime100ns, packet.time100ns);
      endTime100ns = std::max(endTime100ns, packet.time100ns + packet.duration100ns);
      progress.Update(double(packet.time100ns) / 1e7, source->durationSeconds, packets[1]);
    }
  } catch (const HostError& error) {
    failure = error.what(), failureStatus = error.status();
  }

  // Destroy finishes the file; then the plug-in can go.
  const int64_t size =
      FinishWrite(progress, plugin, [&] { muxer.Destroy(); }, failure, failureStatus, file, settings.output,
                  FileContents{.videoStreams = videoStream >= 0 ? 1 : 0, .audioStreams = audioStream >= 0 ? 1 : 0,
                               .videoPackets = packets[1], .audioPackets = packets[0]});
  const double seconds = endTime100ns > firstTime100ns ? double(endTime100ns - firstTime100ns) / 1e7 : 0.0;
  if (!settings.quiet) {
    std::string streams;
    for (int index : {videoStream, audioStream}) {
      if (index >= 0) streams += (streams.empty() ? "" : " + ") + Describe(source->streams[index]);
    }
    PrintSummary(settings.output, (videoStream >= 0) + (audioStream >= 0), streams, seconds,
                 videoStream >= 0 ? packets[1] : packets[0], size, SecondsNow() - start);
  }
  if (source->cutAtByte > 0) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "kx-host: warning: %s is cut off at byte %" PRId64 " of the %" PRId64 " its header declares%s: %s holds "
                 "%" PRId64 " pictures and %" PRId64 " sound packets (%.2f s)\n",
                 settings.input.c_str(), source->cutAtByte, source->declaredBytes,
                 source->lastLeftOut ? ", its last packet (read at the cut) left out" : "", settings.output.c_str(),
                 packets[1], packets[0], seconds);
    return kExitInputCut;
  }
  return kExitOk;
}

}  // namespace kxhost
