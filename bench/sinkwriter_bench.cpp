// sinkwriter_bench: writes one raw clip (1280x720 30 fps 4:2:0 pictures and
// stereo 44.1 kHz 16-bit PCM) through the sink writer and through the ffmpeg
// command-line tool, with the same encoders and settings, and prints the
// wall-time ratio and peak memory of both for H.264+AAC to .mp4 and
// WMV2+WMA to .wmv. The same clip is then written through the plug-in's
// GetFileFormats row (the plug-in loaded by path, as a host loads it) and
// compared with the sink writer driven directly. Last, a memory check: the
// peak resident size of the row path for a short and a long clip
// (WMV2+WMA8), which should stay flat with the clip's length.
//
//   sinkwriter_bench [--seconds N] [--runs N] [--workdir DIR] [--ffmpeg PATH] [--only h264|wmv] [--keep]
//                    [--plugin PATH] [--no-ffmpeg] [--no-row] [--no-memory]
//                    [--memory-seconds SHORT,LONG] [--memory-size WxH] [--parallel N]
//
// --parallel N adds: N files of the clip written through the row at once
// from N host threads, against the same N files one after another, in the
// same run; the ratio of the two wall times should be at most 0.9.
//
// Each side runs in a child process of its own, so each peak resident size
// is that side's alone (wait4); a child that writes through the row closes
// the file and exits, and the plug-in finishes the file before the process
// ends, so its wall time runs up to the finished file. The raw clip is
// generated first and read from disk by every side, picture by picture. The
// memory check makes its pictures in the child (a moving window over one
// texture) so a long clip needs no raw file.
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "av_encoder_settings.h"
#include "kx_traxel/kx_traxel.h"
#include "kxplatform/mf.h"

#ifndef KX_BENCH_TRAXEL_PATH
#error "KX_BENCH_TRAXEL_PATH names the plug-in"
#endif

using kx::ComPtr;

namespace {

constexpr UINT32 kWidth = 1280;
constexpr UINT32 kHeight = 720;
constexpr UINT32 kFps = 30;
constexpr UINT32 kSampleRate = 44100;
constexpr UINT32 kChannels = 2;
constexpr UINT32 kVideoBitrate = 4000000;
constexpr UINT32 kAudioBytesPerSecond = 16000;  // 128 kbit/s

struct Scenario {
  const char* key;
  const char* name;
  const char* extension;
  const GUID* videoSubtype;
  const GUID* audioSubtype;
  uint32_t fileFourCC;   // the plug-in's row
  uint32_t videoFourCC;  // EncodeParams encoders
  uint32_t audioFourCC;
  std::vector<std::string> ffmpegCodecArgs;
  double target;  // ratio to meet
};

struct Options {
  int seconds = 5;
  int runs = 1;
  std::string workdir = "/tmp/kx_sinkwriter_bench";
  std::string ffmpeg = "ffmpeg";
  std::string only;  // "h264" or "wmv": one scenario
  bool keep = false;
  std::string plugin = KX_BENCH_TRAXEL_PATH;
  bool withFfmpeg = true;  // the ffmpeg comparison
  bool withRow = true;     // the row against the sink writer
  bool withMemory = true;  // peak memory of the row, short against long clip
  int parallel = 0;        // N files at once against one after another (0: not run)
  int memoryShort = 10;
  int memoryLong = 100;
  UINT32 memoryWidth = kWidth;
  UINT32 memoryHeight = kHeight;
};

struct Measure {
  bool ok = false;
  double seconds = 0;
  double cpuSeconds = 0;
  long peakKiB = 0;
  long minorFaults = 0;
};

size_t PictureBytes() { return size_t{kWidth} * kHeight * 3 / 2; }

// A textured picture that moves, so the encoders have real work.
void GenerateClip(const Options& options, const std::string& videoPath, const std::string& audioPath) {
  const int frames = options.seconds * static_cast<int>(kFps);
  FILE* video = std::fopen(videoPath.c_str(), "wb");
  FILE* audio = std::fopen(audioPath.c_str(), "wb");
  if (!video || !audio) {
    std::fprintf(stderr, "cannot write the raw clip in %s\n", options.workdir.c_str());
    std::exit(2);
  }
  std::vector<uint8_t> picture(PictureBytes());
  uint32_t noise = 12345;
  for (int f = 0; f < frames; ++f) {
    for (UINT32 y = 0; y < kHeight; ++y) {
      for (UINT32 x = 0; x < kWidth; ++x) {
        noise = noise * 1664525u + 1013904223u;
        const double wave = 60 * std::sin((x + 3.0 * f) / 37.0) * std::cos((y - 2.0 * f) / 23.0);
        picture[y * kWidth + x] = static_cast<uint8_t>(std::clamp(128 + wave + ((noise >> 24) & 15), 0.0, 255.0));
      }
    }
    uint8_t* chroma = picture.data() + size_t{kWidth} * kHeight;
    for (UINT32 y = 0; y < kHeight / 2; ++y) {
      for (UINT32 x = 0; x < kWidth / 2; ++x) {
        chroma[y * (kWidth / 2) + x] = static_cast<uint8_t>(128 + 40 * std::sin((x + f) / 50.0));
        chroma[size_t{kWidth / 2} * (kHeight / 2) + y * (kWidth / 2) + x] =
            static_cast<uint8_t>(128 + 40 * std::cos((y + f) / 40.0));
      }
    }
    std::fwrite(picture.data(), 1, picture.size(), video);
  }
  const int64_t pcmFrames = int64_t{options.seconds} * kSampleRate;
  std::vector<int16_t> pcm(kChannels * 4410);
  for (int64_t i = 0; i < pcmFrames;) {
    const int64_t n = std::min<int64_t>(4410, pcmFrames - i);
    for (int64_t k = 0; k < n; ++k) {
      const double t = double(i + k) / kSampleRate;
      pcm[2 * k] = static_cast<int16_t>(9000 * std::sin(2 * M_PI * 440 * t) + 3000 * std::sin(2 * M_PI * 1250 * t));
      pcm[2 * k + 1] = static_cast<int16_t>(9000 * std::sin(2 * M_PI * 660 * t));
    }
    std::fwrite(pcm.data(), sizeof(int16_t) * kChannels, static_cast<size_t>(n), audio);
    i += n;
  }
  std::fclose(video);
  std::fclose(audio);
}

// Runs `child` in a new process; wall time and the child's peak resident
// size.
template <typename Child>
Measure RunChild(Child child) {
  Measure measure;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return measure;
  if (pid == 0) _exit(child());
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) != pid) return measure;
  measure.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  measure.peakKiB = usage.ru_maxrss;
  measure.minorFaults = usage.ru_minflt;
  measure.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  measure.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return measure;
}

int RunFfmpeg(const Options& options, const Scenario& scenario, const std::string& videoPath,
              const std::string& audioPath, const std::string& outPath) {
  const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
  std::vector<std::string> args = {options.ffmpeg, "-y", "-hide_banner", "-nostats", "-loglevel", "error",
                                   "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", size, "-r",
                                   std::to_string(kFps), "-i", videoPath, "-f", "s16le", "-ar",
                                   std::to_string(kSampleRate), "-ac", std::to_string(kChannels), "-i", audioPath};
  args.insert(args.end(), scenario.ffmpegCodecArgs.begin(), scenario.ffmpegCodecArgs.end());
  args.push_back(outPath);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  std::perror("exec ffmpeg");
  return 127;
}

class FinalizeWait final : public IMFSinkWriterCallback {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IMFSinkWriterCallback) {
      *ppv = static_cast<IMFSinkWriterCallback*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }   // lives on the stack of the run
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnFinalize(HRESULT status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    status_ = status;
    changed_.notify_all();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnMarker(DWORD, void*) override { return S_OK; }
  HRESULT Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return done_; });
    return status_;
  }
  virtual ~FinalizeWait() = default;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  HRESULT status_ = E_FAIL;
};

#define BENCH_CHECK(expr)                                                          \
  do {                                                                             \
    const HRESULT bench_hr_ = (expr);                                              \
    if (FAILED(bench_hr_)) {                                                       \
      std::fprintf(stderr, "%s failed: 0x%08x\n", #expr, static_cast<unsigned>(bench_hr_)); \
      return 1;                                                                    \
    }                                                                              \
  } while (0)

// The sink writer configured as the library configures it: asynchronous
// callback, low latency, video added first with a YV12 input, audio type
// chosen from the encoder's list, every sample in a new memory buffer.
int RunSinkWriter(const Options& options, const Scenario& scenario, const std::string& videoPath,
                  const std::string& audioPath, const std::string& outPath) {
  BENCH_CHECK(MFStartup(MF_VERSION, MFSTARTUP_FULL));
  FinalizeWait callback;
  ComPtr<IMFAttributes> attributes;
  BENCH_CHECK(MFCreateAttributes(&attributes, 10));
  BENCH_CHECK(attributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, &callback));
  BENCH_CHECK(attributes->SetUINT32(MF_LOW_LATENCY, 1));
  std::u16string widePath(outPath.begin(), outPath.end());
  ComPtr<IMFSinkWriter> writer;
  BENCH_CHECK(MFCreateSinkWriterFromURL(widePath.c_str(), nullptr, attributes.Get(), &writer));

  ComPtr<IMFMediaType> videoOut, videoIn;
  BENCH_CHECK(MFCreateMediaType(&videoOut));
  BENCH_CHECK(videoOut->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
  BENCH_CHECK(videoOut->SetGUID(MF_MT_SUBTYPE, *scenario.videoSubtype));
  BENCH_CHECK(videoOut->SetUINT32(MF_MT_AVG_BITRATE, kVideoBitrate));
  BENCH_CHECK(videoOut->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive));
  BENCH_CHECK(MFSetAttributeSize(videoOut.Get(), MF_MT_FRAME_SIZE, kWidth, kHeight));
  BENCH_CHECK(MFSetAttributeRatio(videoOut.Get(), MF_MT_FRAME_RATE, kFps, 1));
  BENCH_CHECK(MFSetAttributeRatio(videoOut.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1));
  DWORD videoIndex = 0;
  BENCH_CHECK(writer->AddStream(videoOut.Get(), &videoIndex));
  BENCH_CHECK(MFCreateMediaType(&videoIn));
  BENCH_CHECK(videoIn->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
  BENCH_CHECK(videoIn->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_YV12));
  BENCH_CHECK(videoIn->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive));
  BENCH_CHECK(MFSetAttributeRatio(videoIn.Get(), MF_MT_FRAME_RATE, kFps, 1));
  BENCH_CHECK(MFSetAttributeSize(videoIn.Get(), MF_MT_FRAME_SIZE, kWidth, kHeight));
  BENCH_CHECK(MFSetAttributeRatio(videoIn.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1));
  BENCH_CHECK(writer->SetInputMediaType(videoIndex, videoIn.Get(), nullptr));

  ComPtr<IMFCollection> types;
  BENCH_CHECK(MFTranscodeGetAudioOutputAvailableTypes(*scenario.audioSubtype, MFT_ENUM_FLAG_ALL, nullptr, &types));
  DWORD count = 0;
  BENCH_CHECK(types->GetElementCount(&count));
  ComPtr<IMFMediaType> audioOut;
  for (DWORD i = 0; i < count && !audioOut; ++i) {
    ComPtr<IUnknown> element;
    ComPtr<IMFMediaType> type;
    BENCH_CHECK(types->GetElement(i, &element));
    BENCH_CHECK(element->QueryInterface(IID_IMFMediaType, reinterpret_cast<void**>(&type)));
    if (MFGetAttributeUINT32(type.Get(), MF_MT_AUDIO_SAMPLES_PER_SECOND, 0) == kSampleRate &&
        MFGetAttributeUINT32(type.Get(), MF_MT_AUDIO_NUM_CHANNELS, 0) == kChannels &&
        MFGetAttributeUINT32(type.Get(), MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0) == kAudioBytesPerSecond) {
      audioOut = type;
    }
  }
  if (!audioOut) return 1;
  DWORD audioIndex = 0;
  BENCH_CHECK(writer->AddStream(audioOut.Get(), &audioIndex));
  ComPtr<IMFMediaType> audioIn;
  BENCH_CHECK(MFCreateMediaType(&audioIn));
  BENCH_CHECK(audioIn->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio));
  BENCH_CHECK(audioIn->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM));
  BENCH_CHECK(audioIn->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16));
  BENCH_CHECK(audioIn->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, kSampleRate));
  BENCH_CHECK(audioIn->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, kChannels));
  BENCH_CHECK(audioIn->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, kChannels * 2));
  BENCH_CHECK(audioIn->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kChannels * 2 * kSampleRate));
  BENCH_CHECK(audioIn->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE));
  BENCH_CHECK(writer->SetInputMediaType(audioIndex, audioIn.Get(), nullptr));
  BENCH_CHECK(writer->BeginWriting());

  FILE* video = std::fopen(videoPath.c_str(), "rb");
  FILE* audio = std::fopen(audioPath.c_str(), "rb");
  if (!video || !audio) return 1;
  const size_t lumaBytes = size_t{kWidth} * kHeight;
  const size_t quarter = lumaBytes / 4;
  const int frames = options.seconds * static_cast<int>(kFps);
  const int64_t pcmFrames = int64_t{options.seconds} * kSampleRate;
  int64_t pcmWritten = 0;
  for (int f = 0; f < frames; ++f) {
    // One picture, read straight into a new sample in YV12 order (V, U).
    ComPtr<IMFSample> sample;
    ComPtr<IMFMediaBuffer> buffer;
    BENCH_CHECK(MFCreateSample(&sample));
    BENCH_CHECK(MFCreateMemoryBuffer(static_cast<DWORD>(PictureBytes()), &buffer));
    BYTE* data = nullptr;
    BENCH_CHECK(buffer->Lock(&data, nullptr, nullptr));
    const bool complete = std::fread(data, 1, lumaBytes, video) == lumaBytes &&
                          std::fread(data + lumaBytes + quarter, 1, quarter, video) == quarter &&
                          std::fread(data + lumaBytes, 1, quarter, video) == quarter;
    BENCH_CHECK(buffer->Unlock());
    if (!complete) return 1;
    BENCH_CHECK(buffer->SetCurrentLength(static_cast<DWORD>(PictureBytes())));
    BENCH_CHECK(sample->AddBuffer(buffer.Get()));
    BENCH_CHECK(sample->SetSampleTime(int64_t{f} * 10000000 / kFps));
    BENCH_CHECK(sample->SetSampleDuration(10000000 / kFps));
    BENCH_CHECK(writer->WriteSample(videoIndex, sample.Get()));

    // The PCM that belongs to this picture.
    const int64_t pcmEnd = std::min<int64_t>(pcmFrames, (int64_t{f} + 1) * kSampleRate / kFps);
    if (pcmEnd > pcmWritten) {
      const DWORD bytes = static_cast<DWORD>((pcmEnd - pcmWritten) * kChannels * 2);
      ComPtr<IMFSample> pcmSample;
      ComPtr<IMFMediaBuffer> pcmBuffer;
      BENCH_CHECK(MFCreateSample(&pcmSample));
      BENCH_CHECK(MFCreateMemoryBuffer(bytes, &pcmBuffer));
      BENCH_CHECK(pcmBuffer->Lock(&data, nullptr, nullptr));
      const bool read = std::fread(data, 1, bytes, audio) == bytes;
      BENCH_CHECK(pcmBuffer->Unlock());
      if (!read) return 1;
      BENCH_CHECK(pcmBuffer->SetCurrentLength(bytes));
      BENCH_CHECK(pcmSample->AddBuffer(pcmBuffer.Get()));
      BENCH_CHECK(pcmSample->SetSampleTime(pcmWritten * 10000000 / kSampleRate));
      BENCH_CHECK(pcmSample->SetSampleDuration((pcmEnd - pcmWritten) * 10000000 / kSampleRate));
      BENCH_CHECK(writer->WriteSample(audioIndex, pcmSample.Get()));
      pcmWritten = pcmEnd;
    }
  }
  std::fclose(video);
  std::fclose(audio);
  BENCH_CHECK(writer->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS));
  BENCH_CHECK(writer->Finalize());
  BENCH_CHECK(callback.Wait());
  writer = nullptr;
  attributes = nullptr;
  MFShutdown();
  return 0;
}


// ---------------------------------------------------------------------------
// The plug-in's GetFileFormats row, driven as a host drives it.

struct RowSlots {
  CreateMediaFileFn create = nullptr;
  WriteAudioFrameFn writeAudio = nullptr;
  WriteVideoFrameFn writeVideo = nullptr;
  CloseMediaFileFn close = nullptr;
};

// Loads the plug-in and finds the row of `fileFourCC`.
bool LoadRow(const std::string& plugin, uint32_t fileFourCC, void** library_, RowSlots* slots) {
  void* library = *library_ = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* error = dlerror();
    std::fprintf(stderr, "cannot load %s: %s\n", plugin.c_str(), error != nullptr ? error : "?");
    return false;
  }
  const auto getFileFormats = reinterpret_cast<GetFileFormatsFn>(dlsym(library, "GetFileFormats"));
  if (getFileFormats == nullptr) {
    std::fprintf(stderr, "%s exports no GetFileFormats\n", plugin.c_str());
    return false;
  }
  for (const FileFormatDescriptor* row = getFileFormats(); row != nullptr && row->fourcc != 0; ++row) {
    if (row->fourcc != fileFourCC) continue;
    slots->create = row->CreateMediaFile;
    slots->writeAudio = row->WriteAudioFrame;
    slots->writeVideo = row->WriteVideoFrame;
    slots->close = row->CloseMediaFile;
    return slots->create && slots->writeAudio && slots->writeVideo && slots->close;
  }
  std::fprintf(stderr, "no GetFileFormats row 0x%08x\n", static_cast<unsigned>(fileFourCC));
  return false;
}

// The host's record with its defaults, then video and audio as the sink
// writer is set up directly.
std::unique_ptr<EncodeParams> RowRecord(const Scenario& scenario, UINT32 width, UINT32 height) {
  auto record = std::make_unique<EncodeParams>();
  std::memset(record.get(), 0, sizeof(EncodeParams));
  record->video.nHostValue24 = 1;
  record->video.nHostValue40 = 8;
  record->audio.nBitsPerSample = 8;
  record->bNoSubpicture = 1;
  record->xmpMetadata.nOptions = 3;
  record->nFileFourCC = scenario.fileFourCC;
  record->video.nFourCC = scenario.videoFourCC;
  record->video.nWidth = width;
  record->video.nHeight = height;
  record->video.dFrameRate = kFps;
  record->video.nBitrate = kVideoBitrate;
  record->bNoVideo = 0;
  record->audio.nFourCC = scenario.audioFourCC;
  record->audio.nSampleRate = kSampleRate;
  record->audio.nChannels = kChannels;
  record->audio.nBitrate = kAudioBytesPerSecond * 8;
  record->audio.nBitsPerSample = 16;
  record->bNoAudio = 0;
  return record;
}

// Makes picture `index`; false ends the run with a failure.
using PictureSource = bool (*)(void* context, int index, uint8_t* y, uint8_t* u, uint8_t* v);
using PcmSource = bool (*)(void* context, int64_t firstFrame, int64_t frames, int16_t* pcm);

// One file through the row's slots: create, write, close. The plug-in
// finishes it on its own thread.
int WriteFileThroughRow(const RowSlots& slots, const Scenario& scenario, int seconds, UINT32 width, UINT32 height,
                        const std::string& outPath, PictureSource pictures, PcmSource pcm, void* context) {
  const auto record = RowRecord(scenario, width, height);
  const std::u16string widePath(outPath.begin(), outPath.end());
  const int frames = seconds * static_cast<int>(kFps);
  const int64_t frameDuration = 10000000 / kFps;
  void* file = slots.create(reinterpret_cast<const kx_wchar*>(widePath.c_str()), record.get(),
                            static_cast<uint64_t>(frames * frameDuration));
  if (file == nullptr) {
    std::fprintf(stderr, "CreateMediaFile failed\n");
    return 1;
  }
  std::vector<uint8_t> y(size_t{width} * height), u(y.size() / 4), v(y.size() / 4);
  MediaFrame picture;
  std::memset(&picture, 0, sizeof picture);
  picture.video.pData[0] = y.data();
  picture.video.pData[1] = u.data();
  picture.video.pData[2] = v.data();
  picture.video.nStride[0] = static_cast<int32_t>(width);
  picture.video.nStride[1] = picture.video.nStride[2] = static_cast<int32_t>(width / 2);
  picture.duration = frameDuration;
  std::vector<int16_t> samples(size_t{kChannels} * (kSampleRate / kFps + 1));
  MediaFrame sound;
  std::memset(&sound, 0, sizeof sound);
  sound.audio.pData = reinterpret_cast<const uint8_t*>(samples.data());
  const int64_t pcmFrames = int64_t{seconds} * kSampleRate;
  int64_t pcmWritten = 0;
  int status = 0;
  for (int f = 0; f < frames && status == 0; ++f) {
    if (!pictures(context, f, y.data(), u.data(), v.data())) {
      status = 1;
      break;
    }
    picture.pts = f * frameDuration;
    if (slots.writeVideo(file, &picture, 0) != 1) {
      std::fprintf(stderr, "WriteVideoFrame %d failed\n", f);
      status = 1;
      break;
    }
    const int64_t pcmEnd = std::min<int64_t>(pcmFrames, (int64_t{f} + 1) * kSampleRate / kFps);
    if (pcmEnd > pcmWritten) {
      if (!pcm(context, pcmWritten, pcmEnd - pcmWritten, samples.data())) {
        status = 1;
        break;
      }
      sound.audio.nBytes = static_cast<int32_t>((pcmEnd - pcmWritten) * kChannels * 2);
      sound.pts = pcmWritten * 10000000 / kSampleRate;
      sound.duration = (pcmEnd - pcmWritten) * 10000000 / kSampleRate;
      if (slots.writeAudio(file, &sound, 0, 1) != 1) {
        std::fprintf(stderr, "WriteAudioFrame at %d failed\n", f);
        status = 1;
        break;
      }
      pcmWritten = pcmEnd;
    }
  }
  slots.close(file);
  return status;
}

int WriteThroughRow(const Options& options, const Scenario& scenario, int seconds, UINT32 width, UINT32 height,
                    const std::string& outPath, PictureSource pictures, PcmSource pcm, void* context) {
  RowSlots slots;
  void* library = nullptr;
  if (!LoadRow(options.plugin, scenario.fileFourCC, &library, &slots)) return 1;
  const int status = WriteFileThroughRow(slots, scenario, seconds, width, height, outPath, pictures, pcm, context);
  // The file is finished on the plug-in's own thread, which the unload waits
  // for (the child leaves with _exit, so no exit handler would).
  dlclose(library);
  return status;
}

// The raw clip on disk, read as the direct sink-writer run reads it.
struct RawClip {
  FILE* video = nullptr;
  FILE* audio = nullptr;
  size_t lumaBytes = 0;
};

bool ReadPicture(void* context, int, uint8_t* y, uint8_t* u, uint8_t* v) {
  auto* clip = static_cast<RawClip*>(context);
  const size_t quarter = clip->lumaBytes / 4;
  return std::fread(y, 1, clip->lumaBytes, clip->video) == clip->lumaBytes &&
         std::fread(u, 1, quarter, clip->video) == quarter && std::fread(v, 1, quarter, clip->video) == quarter;
}

bool ReadPcm(void* context, int64_t, int64_t frames, int16_t* pcm) {
  auto* clip = static_cast<RawClip*>(context);
  return std::fread(pcm, sizeof(int16_t) * kChannels, static_cast<size_t>(frames), clip->audio) ==
         static_cast<size_t>(frames);
}

int RunRow(const Options& options, const Scenario& scenario, const std::string& videoPath,
           const std::string& audioPath, const std::string& outPath) {
  RawClip clip;
  clip.video = std::fopen(videoPath.c_str(), "rb");
  clip.audio = std::fopen(audioPath.c_str(), "rb");
  clip.lumaBytes = size_t{kWidth} * kHeight;
  if (!clip.video || !clip.audio) return 1;
  const int status =
      WriteThroughRow(options, scenario, options.seconds, kWidth, kHeight, outPath, ReadPicture, ReadPcm, &clip);
  std::fclose(clip.video);
  std::fclose(clip.audio);
  return status;
}

// `count` files of the raw clip through the row, one host thread each, all at
// once (`parallel`) or one after another on the calling thread. The plug-in
// is loaded once; its unload waits for the last file to be finished.
int RunRowFiles(const Options& options, const Scenario& scenario, const std::string& videoPath,
                const std::string& audioPath, const std::string& outPrefix, int count, bool parallel) {
  RowSlots slots;
  void* library = nullptr;
  if (!LoadRow(options.plugin, scenario.fileFourCC, &library, &slots)) return 1;
  std::vector<int> status(static_cast<size_t>(count), 1);
  const auto writeOne = [&](int i) {
    RawClip clip;
    clip.video = std::fopen(videoPath.c_str(), "rb");
    clip.audio = std::fopen(audioPath.c_str(), "rb");
    clip.lumaBytes = size_t{kWidth} * kHeight;
    if (clip.video && clip.audio) {
      status[static_cast<size_t>(i)] =
          WriteFileThroughRow(slots, scenario, options.seconds, kWidth, kHeight,
                              outPrefix + std::to_string(i) + scenario.extension, ReadPicture, ReadPcm, &clip);
    }
    if (clip.video) std::fclose(clip.video);
    if (clip.audio) std::fclose(clip.audio);
  };
  if (parallel) {
    std::vector<std::thread> hosts;
    for (int i = 0; i < count; ++i) hosts.emplace_back(writeOne, i);
    for (std::thread& host : hosts) host.join();
  } else {
    for (int i = 0; i < count; ++i) writeOne(i);
  }
  dlclose(library);
  return *std::max_element(status.begin(), status.end());
}

// Pictures made in the child: a window that moves over one texture twice the
// picture's size (bounded memory whatever the clip's length).
struct MadeClip {
  UINT32 width = 0, height = 0;
  std::vector<uint8_t> texture;  // 2w x 2h luma
};

bool MakePicture(void* context, int index, uint8_t* y, uint8_t* u, uint8_t* v) {
  auto* clip = static_cast<MadeClip*>(context);
  const UINT32 w = clip->width, h = clip->height;
  const UINT32 dx = static_cast<UINT32>(index * 3) % w, dy = static_cast<UINT32>(index * 2) % h;
  for (UINT32 row = 0; row < h; ++row) {
    std::memcpy(y + size_t{row} * w, clip->texture.data() + size_t{row + dy} * (2 * w) + dx, w);
  }
  for (UINT32 row = 0; row < h / 2; ++row) {
    for (UINT32 x = 0; x < w / 2; ++x) {
      u[size_t{row} * (w / 2) + x] = static_cast<uint8_t>(128 + ((x + static_cast<UINT32>(index)) & 63) - 32);
      v[size_t{row} * (w / 2) + x] = static_cast<uint8_t>(128 + ((row + static_cast<UINT32>(index)) & 63) - 32);
    }
  }
  return true;
}

bool MakePcm(void*, int64_t firstFrame, int64_t frames, int16_t* pcm) {
  for (int64_t k = 0; k < frames; ++k) {
    const double t = double(firstFrame + k) / kSampleRate;
    pcm[2 * k] = static_cast<int16_t>(9000 * std::sin(2 * M_PI * 440 * t));
    pcm[2 * k + 1] = static_cast<int16_t>(9000 * std::sin(2 * M_PI * 660 * t));
  }
  return true;
}

int RunRowMade(const Options& options, const Scenario& scenario, int seconds, const std::string& outPath) {
  MadeClip clip;
  clip.width = options.memoryWidth;
  clip.height = options.memoryHeight;
  clip.texture.resize(size_t{clip.width} * 2 * clip.height * 2);
  uint32_t noise = 12345;
  for (UINT32 row = 0; row < 2 * clip.height; ++row) {
    for (UINT32 x = 0; x < 2 * clip.width; ++x) {
      noise = noise * 1664525u + 1013904223u;
      const double wave = 60 * std::sin(x / 37.0) * std::cos(row / 23.0);
      clip.texture[size_t{row} * 2 * clip.width + x] =
          static_cast<uint8_t>(std::clamp(128 + wave + ((noise >> 24) & 15), 0.0, 255.0));
    }
  }
  return WriteThroughRow(options, scenario, seconds, clip.width, clip.height, outPath, MakePicture, MakePcm, &clip);
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--seconds" && hasValue) {
      options->seconds = std::atoi(argv[++i]);
    } else if (arg == "--runs" && hasValue) {
      options->runs = std::atoi(argv[++i]);
    } else if (arg == "--workdir" && hasValue) {
      options->workdir = argv[++i];
    } else if (arg == "--ffmpeg" && hasValue) {
      options->ffmpeg = argv[++i];
    } else if (arg == "--only" && hasValue) {
      options->only = argv[++i];
    } else if (arg == "--keep") {
      options->keep = true;
    } else if (arg == "--plugin" && hasValue) {
      options->plugin = argv[++i];
    } else if (arg == "--no-ffmpeg") {
      options->withFfmpeg = false;
    } else if (arg == "--no-row") {
      options->withRow = false;
    } else if (arg == "--no-memory") {
      options->withMemory = false;
    } else if (arg == "--parallel" && hasValue) {
      options->parallel = std::atoi(argv[++i]);
    } else if (arg == "--memory-seconds" && hasValue) {
      if (std::sscanf(argv[++i], "%d,%d", &options->memoryShort, &options->memoryLong) != 2) return false;
    } else if (arg == "--memory-size" && hasValue) {
      if (std::sscanf(argv[++i], "%ux%u", &options->memoryWidth, &options->memoryHeight) != 2) return false;
    } else {
      return false;
    }
  }
  const auto inRange = [](int value, int low, int high) { return value >= low && value <= high; };
  return inRange(options->seconds, 1, 3600) && inRange(options->runs, 1, 20) && inRange(options->parallel, 0, 64) &&
         inRange(options->memoryShort, 1, 36000) && inRange(options->memoryLong, 1, 36000) &&
         options->memoryWidth >= 16 && options->memoryWidth <= 4096 && options->memoryWidth % 2 == 0 &&
         options->memoryHeight >= 16 && options->memoryHeight <= 4096 && options->memoryHeight % 2 == 0;
}

long FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: %s [--seconds N] [--runs N] [--workdir DIR] [--ffmpeg PATH] [--only h264|wmv] [--keep]\n"
                 "          [--plugin PATH] [--no-ffmpeg] [--no-row] [--no-memory]\n"
                 "          [--memory-seconds SHORT,LONG] [--memory-size WxH] [--parallel N]\n",
                 argv[0]);
    return 2;
  }
  mkdir(options.workdir.c_str(), 0755);
  const std::string videoPath = options.workdir + "/clip_1280x720_30.yuv";
  const std::string audioPath = options.workdir + "/clip_44100_s16le_stereo.pcm";
  const bool rawClip = options.withFfmpeg || options.withRow || options.parallel > 0;
  if (rawClip) {
    std::printf("Generating a %d s raw clip (1280x720 30 fps 4:2:0, stereo 44.1 kHz 16-bit) in %s\n",
                options.seconds, options.workdir.c_str());
    GenerateClip(options, videoPath, audioPath);
  }

  const std::string threads = std::to_string(kx::av::kVideoEncoderThreads);
  const std::string videoRate = std::to_string(kVideoBitrate / 1000) + "k";
  const std::string audioRate = std::to_string(kAudioBytesPerSecond * 8 / 1000) + "k";
  const std::vector<Scenario> scenarios = {
      {"h264", "H.264+AAC .mp4", ".mp4", &MFVideoFormat_H264, &MFAudioFormat_AAC, KX_FOURCC('W', 'M', 'P', '4'),
       KX_FOURCC('W', '2', '6', '4'), KX_FOURCC('W', 'A', 'A', 'C'),
       {"-c:v", "libx264", "-preset", kx::av::kX26xPreset, "-threads", threads, "-b:v", videoRate, "-c:a", "aac",
        "-b:a", audioRate},
       1.0},
      {"wmv", "WMV2+WMA .wmv", ".wmv", &MFVideoFormat_WMV2, &MFAudioFormat_WMAudioV8, KX_FOURCC('W', 'W', 'M', 'V'),
       KX_FOURCC('W', 'M', 'V', '2'), KX_FOURCC('W', 'M', 'A', '8'),
       {"-c:v", "wmv2", "-b:v", videoRate, "-c:a", "wmav2", "-b:a", audioRate},
       0.8},
  };
  constexpr double kRowTarget = 1.05;    // row time over direct sink-writer time
  constexpr double kMemoryTarget = 1.10;  // long clip's peak over short clip's peak

  std::printf("x264 preset %s, threads %s; video %s, audio %s; best of %d run(s)\n", kx::av::kX26xPreset,
              threads.c_str(), videoRate.c_str(), audioRate.c_str(), options.runs);
  std::printf("plug-in %s\n\n", options.plugin.c_str());
  bool allOk = true;
  if (options.withFfmpeg) {
    std::printf("%-16s %10s %10s %7s %7s %12s %12s %8s\n", "scenario", "ffmpeg s", "writer s", "ratio", "target",
                "ffmpeg MiB", "writer MiB", "result");
  }
  for (const Scenario& scenario : scenarios) {
    if (!options.withFfmpeg) break;
    if (!options.only.empty() && options.only != scenario.key) continue;
    const std::string ffmpegOut = options.workdir + "/ffmpeg" + scenario.extension;
    const std::string writerOut = options.workdir + "/sinkwriter" + scenario.extension;
    Measure bestFfmpeg, bestWriter;
    for (int run = 0; run < options.runs; ++run) {
      const Measure ffmpeg =
          RunChild([&] { return RunFfmpeg(options, scenario, videoPath, audioPath, ffmpegOut); });
      const Measure writer =
          RunChild([&] { return RunSinkWriter(options, scenario, videoPath, audioPath, writerOut); });
      if (!ffmpeg.ok || !writer.ok) {
        std::printf("%-16s failed (ffmpeg %s, sink writer %s)\n", scenario.name, ffmpeg.ok ? "ok" : "failed",
                    writer.ok ? "ok" : "failed");
        allOk = false;
        break;
      }
      if (run == 0 || ffmpeg.seconds < bestFfmpeg.seconds) bestFfmpeg = ffmpeg;
      if (run == 0 || writer.seconds < bestWriter.seconds) bestWriter = writer;
    }
    if (!bestFfmpeg.ok || !bestWriter.ok) continue;
    const double ratio = bestWriter.seconds / bestFfmpeg.seconds;
    const bool met = ratio <= scenario.target && bestWriter.peakKiB <= bestFfmpeg.peakKiB;
    std::printf("%-16s %10.2f %10.2f %6.2fx %6.2fx %12.1f %12.1f %8s\n", scenario.name, bestFfmpeg.seconds,
                bestWriter.seconds, ratio, scenario.target, bestFfmpeg.peakKiB / 1024.0, bestWriter.peakKiB / 1024.0,
                met ? "met" : "missed");
    std::printf("%-16s cpu s: ffmpeg %.2f, sink writer %.2f; page faults: ffmpeg %ld, sink writer %ld\n", "",
                bestFfmpeg.cpuSeconds, bestWriter.cpuSeconds, bestFfmpeg.minorFaults, bestWriter.minorFaults);
    std::printf("%-16s output bytes: ffmpeg %ld, sink writer %ld\n", "", FileSize(ffmpegOut), FileSize(writerOut));
    if (!options.keep) {
      std::remove(ffmpegOut.c_str());
      std::remove(writerOut.c_str());
    }
  }

  // The GetFileFormats row against the sink writer driven directly; the two
  // runs alternate so a change of machine load touches both.
  if (options.withRow) {
    std::printf("\n%-16s %10s %10s %7s %7s %12s %12s %8s\n", "scenario", "direct s", "row s", "ratio", "target",
                "direct MiB", "row MiB", "result");
  }
  for (const Scenario& scenario : scenarios) {
    if (!options.withRow) break;
    if (!options.only.empty() && options.only != scenario.key) continue;
    const std::string directOut = options.workdir + "/direct" + scenario.extension;
    const std::string rowOut = options.workdir + "/row" + scenario.extension;
    Measure bestDirect, bestRow;
    for (int run = 0; run < options.runs; ++run) {
      const Measure direct =
          RunChild([&] { return RunSinkWriter(options, scenario, videoPath, audioPath, directOut); });
      const Measure row = RunChild([&] { return RunRow(options, scenario, videoPath, audioPath, rowOut); });
      if (!direct.ok || !row.ok || FileSize(rowOut) <= 0) {
        std::printf("%-16s failed (sink writer %s, row %s)\n", scenario.name, direct.ok ? "ok" : "failed",
                    row.ok ? "ok" : "failed");
        allOk = false;
        break;
      }
      if (run == 0 || direct.seconds < bestDirect.seconds) bestDirect = direct;
      if (run == 0 || row.seconds < bestRow.seconds) bestRow = row;
    }
    if (!bestDirect.ok || !bestRow.ok) continue;
    const double ratio = bestRow.seconds / bestDirect.seconds;
    std::printf("%-16s %10.2f %10.2f %6.2fx %6.2fx %12.1f %12.1f %8s\n", scenario.name, bestDirect.seconds,
                bestRow.seconds, ratio, kRowTarget, bestDirect.peakKiB / 1024.0, bestRow.peakKiB / 1024.0,
                ratio <= kRowTarget ? "met" : "missed");
    std::printf("%-16s cpu s: sink writer %.2f, row %.2f; output bytes: sink writer %ld, row %ld\n", "",
                bestDirect.cpuSeconds, bestRow.cpuSeconds, FileSize(directOut), FileSize(rowOut));
    if (!options.keep) {
      std::remove(directOut.c_str());
      std::remove(rowOut.c_str());
    }
  }
  // N files at once from N host threads against the same N one after
  // another; the two runs alternate so a change of machine load touches both.
  constexpr double kParallelTarget = 0.9;  // at once over one by one
  if (options.parallel > 0) {
    std::printf("\n%-16s %6s %12s %12s %7s %7s %12s %12s %8s\n", "scenario", "files", "one by one s", "at once s",
                "ratio", "target", "1by1 MiB", "at once MiB", "result");
  }
  for (const Scenario& scenario : scenarios) {
    if (options.parallel <= 0) break;
    if (!options.only.empty() && options.only != scenario.key) continue;
    const std::string prefix = options.workdir + "/parallel";
    Measure bestSerial, bestParallel;
    for (int run = 0; run < options.runs; ++run) {
      const Measure serial = RunChild(
          [&] { return RunRowFiles(options, scenario, videoPath, audioPath, prefix, options.parallel, false); });
      const Measure parallel = RunChild(
          [&] { return RunRowFiles(options, scenario, videoPath, audioPath, prefix, options.parallel, true); });
      if (!serial.ok || !parallel.ok) {
        std::printf("%-16s failed (one by one %s, at once %s)\n", scenario.name, serial.ok ? "ok" : "failed",
                    parallel.ok ? "ok" : "failed");
        allOk = false;
        break;
      }
      if (run == 0 || serial.seconds < bestSerial.seconds) bestSerial = serial;
      if (run == 0 || parallel.seconds < bestParallel.seconds) bestParallel = parallel;
    }
    if (!bestSerial.ok || !bestParallel.ok) continue;
    const double ratio = bestParallel.seconds / bestSerial.seconds;
    std::printf("%-16s %6d %12.2f %12.2f %6.2fx %6.2fx %12.1f %12.1f %8s\n", scenario.name, options.parallel,
                bestSerial.seconds, bestParallel.seconds, ratio, kParallelTarget, bestSerial.peakKiB / 1024.0,
                bestParallel.peakKiB / 1024.0, ratio <= kParallelTarget ? "met" : "missed");
    std::printf("%-16s cpu s: one by one %.2f, at once %.2f\n", "", bestSerial.cpuSeconds, bestParallel.cpuSeconds);
    for (int i = 0; i < options.parallel; ++i) {
      const std::string path = prefix + std::to_string(i) + scenario.extension;
      if (FileSize(path) <= 0) {
        std::printf("%-16s file %s is missing\n", "", path.c_str());
        allOk = false;
      }
      if (!options.keep) std::remove(path.c_str());
    }
  }
  if (rawClip && !options.keep) {
    std::remove(videoPath.c_str());
    std::remove(audioPath.c_str());
  }

  // Peak memory of the row for a short and a long clip: pictures go to the
  // sink writer as they come, so the peak should not grow with the length.
  if (options.withMemory) {
    const Scenario& scenario = scenarios[1];
    const std::string outPath = options.workdir + "/memory" + scenario.extension;
    std::printf("\nmemory: %s through the row, %ux%u, pictures made in the child\n", scenario.name,
                options.memoryWidth, options.memoryHeight);
    std::printf("%-16s %10s %10s %12s %12s %7s %7s %8s\n", "clip", "short s", "long s", "short MiB", "long MiB",
                "ratio", "target", "result");
    const Measure shortRun = RunChild([&] { return RunRowMade(options, scenario, options.memoryShort, outPath); });
    const long shortBytes = FileSize(outPath);
    const Measure longRun = RunChild([&] { return RunRowMade(options, scenario, options.memoryLong, outPath); });
    const long longBytes = FileSize(outPath);
    if (!shortRun.ok || !longRun.ok) {
      std::printf("%-16s failed (short %s, long %s)\n", "", shortRun.ok ? "ok" : "failed", longRun.ok ? "ok" : "failed");
      allOk = false;
    } else {
      const double ratio = double(longRun.peakKiB) / double(shortRun.peakKiB);
      const std::string clip = std::to_string(options.memoryShort) + " s / " + std::to_string(options.memoryLong) + " s";
      std::printf("%-16s %10.2f %10.2f %12.1f %12.1f %6.2fx %6.2fx %8s\n", clip.c_str(), shortRun.seconds,
                  longRun.seconds, shortRun.peakKiB / 1024.0, longRun.peakKiB / 1024.0, ratio, kMemoryTarget,
                  ratio <= kMemoryTarget ? "met" : "missed");
      std::printf("%-16s output bytes: short %ld, long %ld\n", "", shortBytes, longBytes);
    }
    if (!options.keep) std::remove(outPath.c_str());
  }
  return allOk ? 0 : 1;
}
