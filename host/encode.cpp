// kx-host encode: writes OUT through the plug-in's row for OUT's extension,
// under a temporary name in the same folder, and renames it to OUT once the
// plug-in has finished the file.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "error.h"
#include "os.h"
#include "output.h"
#include "plugin.h"
#include "sources.h"

namespace kxhost {
namespace {

struct EncodeSettings {
  std::string output, videoPath, audioPath, pluginPath;
  uint32_t width = 1280, height = 720, rateNumerator = 25, rateDenominator = 1;
  double seconds = 10;
  bool secondsGiven = false;  // with inputs: at most this long
  std::string videoCodec, audioCodec;
  uint32_t videoBitrate = 0, audioBitrate = 0;  // 0: chosen from the picture size / channels
  uint32_t xmpOptions = 3;
  bool multiStream = false, quiet = false, verbose = false;
};

[[noreturn]] void BadValue(const std::string& name, const std::string& value, const char* expected) {
  throw HostError(kExitUsage, "bad value '" + value + "' for " + name + " (" + expected + ")");
}

uint64_t ParseNumber(const std::string& name, const std::string& text, uint64_t limit, const char* expected) {
  if (text.empty() || text.size() > 12) BadValue(name, text, expected);
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') BadValue(name, text, expected);
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > limit) BadValue(name, text, expected);
  return value;
}

// "800000", "800k", "2M".
uint32_t ParseBitrate(const std::string& name, const std::string& text) {
  const char* expected = "bits per second, e.g. 800k or 2M, at most 4000M";
  if (text.empty()) BadValue(name, text, expected);
  const char unit = static_cast<char>(std::tolower(static_cast<unsigned char>(text.back())));
  const uint64_t scale = unit == 'k' ? 1000 : unit == 'm' ? 1000000 : 1;
  const uint64_t value = ParseNumber(name, scale == 1 ? text : text.substr(0, text.size() - 1), 4000000000, expected) * scale;
  if (value == 0 || value > 4000000000) BadValue(name, text, expected);
  return static_cast<uint32_t>(value);
}

EncodeSettings ParseSettings(const std::vector<std::string>& arguments) {
  EncodeSettings settings;
  Options options(arguments);
  std::string name, value;
  while (options.Next(name, value)) {
    if (name.empty()) {
      if (!settings.output.empty()) throw HostError(kExitUsage, "encode: more than one output ('" + value + "')");
      settings.output = value;
    } else if (name == "--video") {
      settings.videoPath = options.Value(name);
    } else if (name == "--audio") {
      settings.audioPath = options.Value(name);
    } else if (name == "--size") {
      const std::string text = options.Value(name);
      const size_t x = text.find('x');
      const char* expected = "WxH, even sizes from 2 to 16384";
      if (x == std::string::npos) BadValue(name, text, expected);
      settings.width = static_cast<uint32_t>(ParseNumber(name, text.substr(0, x), 16384, expected));
      settings.height = static_cast<uint32_t>(ParseNumber(name, text.substr(x + 1), 16384, expected));
      if (settings.width < 2 || settings.height < 2 || settings.width % 2 != 0 || settings.height % 2 != 0) {
        BadValue(name, text, expected);
      }
    } else if (name == "--fps") {
      const std::string text = options.Value(name);
      const size_t slash = text.find('/');
      const char* expected = "N or N/D, from 1 to 240 frames per second";
      settings.rateNumerator = static_cast<uint32_t>(ParseNumber(name, text.substr(0, slash), 1000000, expected));
      settings.rateDenominator =
          slash == std::string::npos ? 1 : static_cast<uint32_t>(ParseNumber(name, text.substr(slash + 1), 1000000, expected));
      const double rate = settings.rateDenominator == 0 ? 0 : double(settings.rateNumerator) / settings.rateDenominator;
      if (rate < 1 || rate > 240) BadValue(name, text, expected);
    } else if (name == "--seconds") {
      const std::string text = options.Value(name);
      char* end = nullptr;
      settings.seconds = std::strtod(text.c_str(), &end);
      settings.secondsGiven = true;
      if (text.empty() || *end != '\0' || !(settings.seconds > 0) || settings.seconds > 86400) {
        BadValue(name, text, "seconds, more than 0 and at most 86400");
      }
    } else if (name == "--video-codec") {
      settings.videoCodec = options.Value(name);
    } else if (name == "--audio-codec") {
      settings.audioCodec = options.Value(name);
    } else if (name == "--video-bitrate") {
      settings.videoBitrate = ParseBitrate(name, options.Value(name));
    } else if (name == "--audio-bitrate") {
      settings.audioBitrate = ParseBitrate(name, options.Value(name));
    } else if (name == "--xmp-options") {
      const std::string text = options.Value(name);
      const bool hex = text.rfind("0x", 0) == 0;
      char* end = nullptr;
      const unsigned long long bits = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
      if (text.empty() || *end != '\0' || bits > UINT32_MAX || text[0] == '-') {
        BadValue(name, text, "a 32-bit number; bit 0 duration, bit 1 creator tool and date");
      }
      settings.xmpOptions = static_cast<uint32_t>(bits);
    } else if (name == "--plugin") {
      settings.pluginPath = options.Value(name);
    } else if (name == "--multi-stream") {
      settings.multiStream = true;
    } else if (name == "--quiet") {
      settings.quiet = true;
    } else if (name == "--verbose") {
      settings.verbose = true;
    } else {
      throw HostError(kExitUsage, "encode: unknown option '" + name + "' (kx-host --help)");
    }
  }
  if (settings.output.empty()) throw HostError(kExitUsage, "encode: no output file (kx-host encode OUT [options])");
  if (settings.videoPath == "-" && settings.audioPath == "-") {
    throw HostError(kExitUsage, "encode: --video and --audio cannot both read standard input");
  }
  return settings;
}

// The row of the table whose extension is `extension`.
template <typename Row>
const Row* RowForExtension(const Row* table, const std::string& extension) {
  for (const Row* row = table; row->fourcc != 0; ++row) {
    if (Lowercase(TextOf(row->extension, 10)) == extension) return row;
  }
  return nullptr;
}

// The encoder FourCC for one stream: the one asked for, checked against the
// encoder table and the row's list, else the default for the container.
uint32_t ChooseCodec(const Plugin& plugin, const std::string& asked, const CodecListEntry* rowList, bool video,
                     const std::string& extension) {
  const std::vector<uint32_t> offered = CodecsOf(rowList);
  std::string offeredText;
  for (uint32_t fourcc : offered) offeredText += (offeredText.empty() ? "" : ", ") + FourCCText(fourcc);
  const char* kind = video ? "video" : "audio";
  if (asked.empty()) {
    // WMV 8 and WMA 8 for ASF, H.264 and AAC for MP4: encoders every system has.
    for (const char* preferred : video ? std::vector<const char*>{"WMV2", "W264"} : std::vector<const char*>{"WMA8", "WAAC"}) {
      uint32_t fourcc = 0;
      ParseFourCC(preferred, fourcc);
      if (std::find(offered.begin(), offered.end(), fourcc) != offered.end()) return fourcc;
    }
    if (offered.empty()) throw HostError(kExitCodec, std::string(extension) + " files take no " + kind);
    return offered.front();
  }
  uint32_t fourcc = 0;
  if (!ParseFourCC(asked, fourcc)) {
    throw HostError(kExitUsage, std::string("bad ") + kind + " codec '" + asked + "' (a FourCC of four characters)");
  }
  const EncoderDescriptor* encoder = plugin.encoders();
  while (encoder->fourcc != 0 && encoder->fourcc != fourcc) ++encoder;
  if (encoder->fourcc == 0) {
    throw HostError(kExitCodec, std::string("unknown ") + kind + " codec '" + asked + "': the plug-in has no such encoder (kx-host list)");
  }
  if ((encoder->isVideo != 0) != video) {
    throw HostError(kExitCodec, "'" + asked + "' is " + (video ? "an audio" : "a video") + " encoder, not " +
                                    (video ? "a video" : "an audio") + " one");
  }
  if (std::find(offered.begin(), offered.end(), fourcc) == offered.end()) {
    throw HostError(kExitCodec, std::string(extension) + " files do not take the " + kind + " codec " + asked +
                                    " (they take: " + (offeredText.empty() ? "none" : offeredText) + ")");
  }
  return fourcc;
}

// A record as a host fills it: the host's defaults, then the file's values.
std::unique_ptr<EncodeParams> NewRecord() {
  auto record = std::make_unique<EncodeParams>();
  std::memset(record.get(), 0, sizeof(EncodeParams));
  record->video.nHostValue24 = 1;
  record->video.nHostValue40 = 8;
  record->audio.nBitsPerSample = 8;
  record->bNoVideo = record->bNoAudio = record->bNoSubpicture = 1;
  record->xmpMetadata.nOptions = 3;
  return record;
}

// The slots of the row in use, single-stream or multi-stream, behind one face.
class OutputFile {
 public:
  OutputFile(const FileFormatDescriptor* single, const MultiStreamFormatDescriptor* multi)
      : single_(single), multi_(multi) {}
  ~OutputFile() { Close(); }

  // Creates the file; false when the plug-in refused.
  bool Create(const std::basic_string<kx_wchar>& path, const EncodeParams& record, uint64_t value) {
    if (single_ != nullptr) {
      handle_ = single_->CreateMediaFile(path.c_str(), &record, value);
      return handle_ != nullptr;
    }
    handle_ = multi_->CreateMediaFileMultiStream();
    if (handle_ == nullptr) return false;
    if (record.bNoVideo == 0) {
      auto videoRecord = NewRecord();
      videoRecord->video = record.video;
      videoRecord->bNoVideo = 0;
      videoRecord->xmpMetadata = record.xmpMetadata;
      multi_->AddStreamInfoMultiStream(handle_, KX_STREAMTYPE_VIDEO, 1, kVideoIndex, kVideoIndex, videoRecord.get());
    }
    if (record.bNoAudio == 0) {
      auto audioRecord = NewRecord();
      audioRecord->audio = record.audio;
      audioRecord->bNoAudio = 0;
      audioRecord->xmpMetadata = record.xmpMetadata;
      multi_->AddStreamInfoMultiStream(handle_, KX_STREAMTYPE_AUDIO, 1, kAudioIndex, kAudioIndex, audioRecord.get());
    }
    if (multi_->InitMediaFileMultiStream(handle_, record.nFileFourCC, path.c_str(), value) != 1) {
      Close();
      return false;
    }
    return true;
  }
  bool WriteVideo(const MediaFrame& frame) {
    return (single_ != nullptr ? single_->WriteVideoFrame(handle_, &frame, 0)
                               : multi_->WriteFrameMultiStream(handle_, kVideoIndex, &frame, 0)) == 1;
  }
  bool WriteAudio(const MediaFrame& frame) {
    return (single_ != nullptr ? single_->WriteAudioFrame(handle_, &frame, 0, 0)
                               : multi_->WriteFrameMultiStream(handle_, kAudioIndex, &frame, 0)) == 1;
  }
  void Close() {
    if (handle_ == nullptr) return;
    if (single_ != nullptr) {
      single_->CloseMediaFile(handle_);
    } else {
      multi_->CloseMediaFileMultiStream(handle_);
    }
    handle_ = nullptr;
  }

 private:
  static constexpr uint32_t kVideoIndex = 0, kAudioIndex = 1;
  const FileFormatDescriptor* single_;
  const MultiStreamFormatDescriptor* multi_;
  void* handle_ = nullptr;
};

}  // namespace

int EncodeCommand(const std::vector<std::string>& arguments) {
  const EncodeSettings settings = ParseSettings(arguments);
  const std::string extension = ExtensionOf(settings.output);
  if (extension.empty()) {
    throw HostError(kExitUsage, "encode: " + settings.output + " has no extension (.wmv, .wma, .mp4: kx-host list)");
  }
  std::basic_string<kx_wchar> widePath;
  const std::string temporary = TemporaryPath(settings.output, extension);
  if (!WideOf(temporary, widePath)) throw HostError(kExitUsage, "encode: the output name is not valid UTF-8");
  CheckOutput(settings.output, {settings.videoPath, settings.audioPath});
  CatchInterrupts();
  RouteLibraryLog();

  // The inputs first: a bad input fails before anything is written.
  const bool pattern = settings.videoPath.empty() && settings.audioPath.empty();
  const double patternRate = double(settings.rateNumerator) / settings.rateDenominator;
  std::unique_ptr<VideoSource> video;
  std::unique_ptr<AudioSource> audio;
  if (pattern) {
    video = MakePattern(settings.width, settings.height, settings.rateNumerator, settings.rateDenominator,
                        std::max<int64_t>(1, std::llround(settings.seconds * patternRate)));
    audio = MakeTone(48000, 2, std::llround(settings.seconds * 48000));
  } else {
    if (!settings.videoPath.empty()) {
      video = OpenY4m(settings.videoPath);
      // Up to 4 pictures ahead, and at most about 256 MiB of them.
      const size_t pictureBytes = size_t{video->width} * video->height * 3 / 2;
      video = ReadAhead(std::move(video), std::clamp<size_t>((256u << 20) / pictureBytes, 1, 4));
    }
    if (!settings.audioPath.empty()) audio = OpenWav(settings.audioPath);
  }
  // --seconds with inputs: their first seconds only.
  const int64_t pictureLimit = !pattern && settings.secondsGiven && video
      ? std::max<int64_t>(1, std::llround(settings.seconds * video->rateNumerator / video->rateDenominator)) : INT64_MAX;
  const int64_t soundLimit =
      !pattern && settings.secondsGiven && audio ? std::llround(settings.seconds * audio->sampleRate) : INT64_MAX;
  if (video && pictureLimit != INT64_MAX) {
    video->expectedFrames = video->expectedFrames < 0 ? pictureLimit : std::min(video->expectedFrames, pictureLimit);
  }
  if (audio && soundLimit != INT64_MAX) {
    audio->expectedFrames = audio->expectedFrames < 0 ? soundLimit : std::min(audio->expectedFrames, soundLimit);
  }

  LogRecords::Instance().echo = settings.verbose;
  Plugin plugin(settings.pluginPath);
  const FileFormatDescriptor* single = nullptr;
  const MultiStreamFormatDescriptor* multi = nullptr;
  const CodecListEntry *audioList = nullptr, *videoList = nullptr;
  uint32_t containerFourCC = 0;
  if (settings.multiStream) {
    multi = RowForExtension(plugin.multiStreamFormats(), extension);
    if (multi != nullptr) audioList = multi->audioCodecs, videoList = multi->videoCodecs, containerFourCC = multi->fourcc;
  } else {
    single = RowForExtension(plugin.fileFormats(), extension);
    if (single != nullptr) audioList = single->audioCodecs, videoList = single->videoCodecs, containerFourCC = single->fourcc;
  }
  if (containerFourCC == 0) {
    throw HostError(kExitCodec, "the plug-in writes no " + extension + " files" +
                                    (settings.multiStream ? " through its multi-stream table" : "") + " (kx-host list)");
  }
  if (pattern && videoList == nullptr) video.reset();  // the tone alone for an audio-only container
  if (video && (videoList == nullptr || (single != nullptr && single->WriteVideoFrame == nullptr))) {
    throw HostError(kExitCodec, extension + " files take no video");
  }
  if (audio && audioList == nullptr) throw HostError(kExitCodec, extension + " files take no audio");

  auto record = NewRecord();
  record->nFileFourCC = containerFourCC;
  record->xmpMetadata.nOptions = settings.xmpOptions;
  double rate = 0;
  if (video) {
    rate = double(video->rateNumerator) / video->rateDenominator;
    record->video.nFourCC = ChooseCodec(plugin, settings.videoCodec, videoList, true, extension);
    record->video.nWidth = video->width;
    record->video.nHeight = video->height;
    record->video.dFrameRate = rate;
    record->video.nBitrate = settings.videoBitrate != 0 ? settings.videoBitrate
        : static_cast<uint32_t>(std::clamp(video->width * double(video->height) * rate * 0.08, 300000.0, 40000000.0));
    record->bNoVideo = 0;
  } else if (!settings.videoCodec.empty()) {
    throw HostError(kExitUsage, "encode: --video-codec without video");
  }
  if (audio) {
    record->audio.nFourCC = ChooseCodec(plugin, settings.audioCodec, audioList, false, extension);
    record->audio.nSampleRate = audio->sampleRate;
    record->audio.nChannels = audio->channels;
    record->audio.nBitsPerSample = 16;
    record->audio.nBitrate = settings.audioBitrate != 0 ? settings.audioBitrate : audio->channels == 1 ? 64000 : 128000;
    record->bNoAudio = 0;
  } else if (!settings.audioCodec.empty()) {
    throw HostError(kExitUsage, "encode: --audio-codec without audio");
  }

  // The clip's duration, when the inputs know it, for the XMP packet.
  double knownSeconds = 0;
  if (video && video->expectedFrames >= 0) knownSeconds = video->expectedFrames / rate;
  if (audio && audio->expectedFrames >= 0) knownSeconds = std::max(knownSeconds, double(audio->expectedFrames) / audio->sampleRate);
  const uint64_t duration100ns = static_cast<uint64_t>(std::llround(knownSeconds * 1e7));

  TemporaryFile file{temporary};
  OutputFile output(single, multi);
  size_t logMark = LogRecords::Instance().Count();
  if (!output.Create(widePath, *record, duration100ns)) {
    const std::string reason = LogRecords::Instance().ReasonSince(logMark);
    // An encoder that refuses the stream's type: the codec's limits, not the file.
    char stream[96] = "";
    if (audio && LogRecords::Instance().MentionedSince(logMark, "CreateAudioMediaType")) {
      std::snprintf(stream, sizeof stream, "%s encoder refuses %u ch %u Hz sound", FourCCText(record->audio.nFourCC).c_str(),
                    audio->channels, audio->sampleRate);
    } else if (video && LogRecords::Instance().MentionedSince(logMark, "CreateVideoMediaType")) {
      std::snprintf(stream, sizeof stream, "%s encoder refuses %ux%u pictures at %.3g fps",
                    FourCCText(record->video.nFourCC).c_str(), video->width, video->height, rate);
    }
    if (stream[0] != '\0' && LogRecords::Instance().MentionedSince(logMark, "(0xc00d5212)")) {  // MF_E_TOPO_CODEC_NOT_FOUND
      std::snprintf(stream, sizeof stream, "%s encoder is missing on this system",
                    FourCCText(audio && LogRecords::Instance().MentionedSince(logMark, "CreateAudioMediaType")
                                   ? record->audio.nFourCC : record->video.nFourCC).c_str());
    }
    if (stream[0] != '\0') {
      throw HostError(kExitCodec, "cannot create " + settings.output + ": the plug-in's " + stream +
                                      (reason.empty() ? "" : " (it says \"" + reason + "\")"));
    }
    throw HostError(kExitCreate, "cannot create " + settings.output +
                                     (reason.empty() ? "" : ": the plug-in says \"" + reason + "\""));
  }

  Progress progress(!settings.quiet && StandardErrorIsTerminal(), settings.output);
  const double start = SecondsNow();
  int64_t pictures = 0, soundFrames = 0;
  std::string failure;
  ExitStatus failureStatus = kExitOk;
  try {
    Picture picture;
    std::vector<int16_t> pcm;
    MediaFrame frame{};
    bool videoDone = !video, audioDone = !audio;
    const double totalSeconds = knownSeconds;
    while ((!videoDone || !audioDone) && failure.empty()) {
      if (Interrupted()) {
        failure = "interrupted";
        failureStatus = kExitInterrupted;
        break;
      }
      // The next video frame's time, in 100 ns; the sound up to it goes first.
      const int64_t nextVideo100ns =
          videoDone ? INT64_MAX
                    : static_cast<int64_t>(std::llround(static_cast<long double>(pictures) * 10000000.0L *
                                                        video->rateDenominator / video->rateNumerator));
      // Sound up to the end of the coming picture (or 40 ms ahead without
      // video), in blocks of at most 200 ms.
      const int64_t soundUntil = audioDone ? 0 : std::min(
          soundLimit, videoDone ? soundFrames + audio->sampleRate / 25
                                : static_cast<int64_t>(static_cast<long double>(pictures + 1) * video->rateDenominator *
                                                       audio->sampleRate / video->rateNumerator));
      while (!audioDone && soundFrames < soundUntil) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(soundUntil - soundFrames, audio->sampleRate / 5 + 1));
        pcm.resize(want * audio->channels);
        const size_t got = audio->Read(pcm.data(), want);
        if (got == 0) {
          audioDone = true;
          break;
        }
        frame = MediaFrame{};
        frame.audio.pData = reinterpret_cast<const uint8_t*>(pcm.data());
        frame.audio.nBytes = static_cast<int32_t>(got * audio->channels * sizeof(int16_t));
        frame.pts = soundFrames * 10000000LL / audio->sampleRate;
        if (!output.WriteAudio(frame)) {
          failure = "writing the sound at " + std::to_string(double(soundFrames) / audio->sampleRate) + " s failed";
          break;
        }
        soundFrames += static_cast<int64_t>(got);
      }
      if (soundFrames >= soundLimit) audioDone = true;
      if (!failure.empty()) break;
      if (!videoDone) {
        if (pictures >= pictureLimit || !video->Next(picture)) {
          videoDone = true;
        } else {
          frame = MediaFrame{};
          for (int plane = 0; plane < 3; ++plane) {
            frame.video.pData[plane] = picture.plane(plane);
            frame.video.nStride[plane] = picture.stride(plane);
          }
          frame.pts = nextVideo100ns;
          if (!output.WriteVideo(frame)) {
            failure = "writing picture " + std::to_string(pictures) + " failed";
            break;
          }
          ++pictures;
        }
      }
      const double done = video ? pictures / rate : double(soundFrames) / audio->sampleRate;
      progress.Update(done, totalSeconds, pictures);
    }
  } catch (const HostError& error) {
    failure = error.what();
    failureStatus = error.status();
  }
  if (!failure.empty() && failureStatus == kExitOk) {
    failureStatus = kExitWrite;
    const std::string reason = LogRecords::Instance().ReasonSince(logMark);
    if (!reason.empty()) failure += ": the plug-in says \"" + reason + "\"";
  }

  const int64_t size =
      FinishWrite(progress, plugin, [&] { output.Close(); }, failure, failureStatus, file, settings.output,
                  FileContents{.videoStreams = video ? 1 : 0, .audioStreams = audio ? 1 : 0, .videoPackets = pictures,
                               .audioPackets = audio ? -1 : 0});

  if (!settings.quiet) {
    const double seconds = std::max(video ? pictures / rate : 0.0, audio ? double(soundFrames) / audio->sampleRate : 0.0);
    std::string streams;
    char text[160];
    if (video) {
      std::snprintf(text, sizeof text, "%s %ux%u %.3g fps", FourCCText(record->video.nFourCC).c_str(), video->width,
                    video->height, rate);
      streams += text;
    }
    if (audio) {
      std::snprintf(text, sizeof text, "%s%s %u Hz %u ch", streams.empty() ? "" : " + ",
                    FourCCText(record->audio.nFourCC).c_str(), audio->sampleRate, audio->channels);
      streams += text;
    }
    PrintSummary(settings.output, (video ? 1 : 0) + (audio ? 1 : 0), streams, seconds, video ? pictures : soundFrames,
                 size, SecondsNow() - start);
  }
  return kExitOk;
}

}  // namespace kxhost
