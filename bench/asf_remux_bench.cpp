// asf_remux_bench: remuxes a WMV2+WMA file (1280x720) by demuxing it with
// libavformat and writing every packet through the plug-in's MFWMVMuxer_
// exports (the plug-in loaded by path, as a host loads it), against
// `ffmpeg -i in.wmv -c copy out.wmv` on the same file, and prints the
// wall-time ratio and the peak memory of both. Then the peak resident size
// of the export path for a short and a long file, which should stay flat.
//
//   asf_remux_bench [--seconds N] [--short-seconds N] [--runs N] [--workdir DIR] [--ffmpeg PATH] [--keep]
//
// Each side runs in a child process of its own (wait4 gives its peak
// resident size); the inputs are written by the ffmpeg tool first and read
// once before timing, so both sides find them in the page cache. The two
// sides alternate for --runs rounds (default 3); the fastest run of each
// counts.
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "kx_traxel/kx_traxel.h"
#include "kxplatform/mf.h"

#ifndef KX_BENCH_TRAXEL_PATH
#error "KX_BENCH_TRAXEL_PATH names the plug-in"
#endif

using kx::ComPtr;

namespace {

struct Result {
  double seconds = 0;
  long peakKiB = 0;
  int status = -1;
};

// Runs `work` in a child process; its wall time and peak resident size.
Result InChild(const std::function<int()>& work) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) _exit(work());
  Result result;
  rusage usage{};
  int status = 0;
  if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    result.peakKiB = usage.ru_maxrss;
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

ComPtr<IMFMediaType> TypeOf(const AVCodecParameters* par) {
  ComPtr<IMFMediaType> type;
  if (FAILED(MFCreateMediaType(&type))) return {};
  GUID subtype = MFVideoFormat_WMV2;
  subtype.Data1 = par->codec_tag;
  const bool video = par->codec_type == AVMEDIA_TYPE_VIDEO;
  type->SetGUID(MF_MT_MAJOR_TYPE, video ? MFMediaType_Video : MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (video) {
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, par->width, par->height);
    MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1);
  } else {
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, par->ch_layout.nb_channels);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, par->sample_rate);
    type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, static_cast<UINT32>(par->bit_rate / 8));
    type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, par->block_align);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, par->bits_per_coded_sample);
  }
  if (par->extradata_size > 0) type->SetBlob(MF_MT_USER_DATA, par->extradata, par->extradata_size);
  return type;
}

std::vector<uint8_t> Block(IMFMediaType* type) {
  std::vector<uint8_t> block(2 + sizeof(type), 0);
  std::memcpy(block.data() + 2, &type, sizeof(type));
  return block;
}

// The host: demux `input`, write every packet through the exports.
int RemuxThroughExports(const std::string& input, const std::string& output) {
  void* plugin = dlopen(KX_BENCH_TRAXEL_PATH, RTLD_NOW);
  if (plugin == nullptr) return 2;
  auto create = reinterpret_cast<MFWMVMuxer_CreateFn>(dlsym(plugin, "MFWMVMuxer_Create"));
  auto setAudio = reinterpret_cast<MFWMVMuxer_SetAudioParamFn>(dlsym(plugin, "MFWMVMuxer_SetAudioParam"));
  auto setVideo = reinterpret_cast<MFWMVMuxer_SetVideoParamFn>(dlsym(plugin, "MFWMVMuxer_SetVideoParam"));
  auto configInit = reinterpret_cast<MFWMVMuxer_ConfigInitFn>(dlsym(plugin, "MFWMVMuxer_ConfigInit"));
  auto writeAudio = reinterpret_cast<MFWMVMuxer_WritePacketFn>(dlsym(plugin, "MFWMVMuxer_WriteAudioPacket"));
  auto writeVideo = reinterpret_cast<MFWMVMuxer_WritePacketFn>(dlsym(plugin, "MFWMVMuxer_WriteVideoPacket"));
  auto destroy = reinterpret_cast<MFWMVMuxer_DestroyFn>(dlsym(plugin, "MFWMVMuxer_Destroy"));
  if (MFStartup(MF_VERSION, MFSTARTUP_FULL) != S_OK) return 3;
  AVFormatContext* format = nullptr;
  const int opened = avformat_open_input(&format, input.c_str(), nullptr, nullptr);
  const std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> inputOwner(
      format, [](AVFormatContext* f) { avformat_close_input(&f); });
  if (opened < 0 || avformat_find_stream_info(format, nullptr) < 0) return 4;
  ComPtr<IMFMediaType> types[2];  // audio, video
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    types[format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO] = TypeOf(format->streams[i]->codecpar);
  }
  const auto a = Block(types[0].Get()), v = Block(types[1].Get());
  const std::basic_string<kx_wchar> path(output.begin(), output.end());
  MFWMVMuxerHandle muxer = create(path.c_str(), a.data(), types[0] ? 10 : 0, v.data(), types[1] ? 10 : 0);
  if (types[0]) setAudio(muxer, 1, 2, 44100, 128000, 16, 2);
  if (types[1]) setVideo(muxer, 2, 1280, 720, 30, 1, 2000000, 3, 5);
  if (configInit(muxer) != 1) return 5;
  const std::unique_ptr<AVPacket, void (*)(AVPacket*)> packetOwner(av_packet_alloc(),
                                                                    [](AVPacket* p) { av_packet_free(&p); });
  AVPacket* packet = packetOwner.get();
  int failed = 0;
  while (av_read_frame(format, packet) >= 0) {
    const AVStream* stream = format->streams[packet->stream_index];
    const MFWMVMuxerPacket p{.pData = packet->data, .nLength = static_cast<uint32_t>(packet->size),
                             .reserved12 = {}, .nPts = av_rescale_q(packet->pts, stream->time_base, {1, 10000000}),
                             .reserved24 = {},
                             .nDuration = av_rescale_q(packet->duration, stream->time_base, {1, 10000000})};
    const bool video = stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    failed += (video ? writeVideo : writeAudio)(muxer, &p) != 1;
    av_packet_unref(packet);
  }
  destroy(muxer);  // finishes the file
  MFShutdown();
  return failed == 0 ? 0 : 6;
}

int Run(const std::string& command) { return std::system(command.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  int seconds = 600, shortSeconds = 60, runs = 3;
  std::string workdir = "/tmp/kx_asf_remux_bench", ffmpeg = "ffmpeg";
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool more = i + 1 < argc;
    if (arg == "--seconds" && more) seconds = std::atoi(argv[++i]);
    else if (arg == "--short-seconds" && more) shortSeconds = std::atoi(argv[++i]);
    else if (arg == "--runs" && more) runs = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--workdir" && more) workdir = argv[++i];
    else if (arg == "--ffmpeg" && more) ffmpeg = argv[++i];
    else if (arg == "--keep") keep = true;
    else {
      std::fprintf(stderr, "usage: %s [--seconds N] [--short-seconds N] [--runs N] [--workdir DIR] [--ffmpeg PATH] [--keep]\n",
                   argv[0]);
      return 2;
    }
  }
  Run("mkdir -p '" + workdir + "'");
  auto input = [&](int length) {
    const std::string path = workdir + "/in" + std::to_string(length) + ".wmv";
    Run("test -s '" + path + "' || " + ffmpeg + " -v error -f lavfi -i testsrc2=size=1280x720:rate=30 -f lavfi -i "
        "sine=f=440:r=44100 -ac 2 -t " + std::to_string(length) + " -c:v wmv2 -b:v 2M -g 60 -c:a wmav2 -b:a 128k '" +
        path + "'");
    return path;
  };
  const std::string longInput = input(seconds), shortInput = input(shortSeconds);

  Run("cat '" + longInput + "' > /dev/null");
  Result ours, tool;
  for (int round = 0; round < runs; ++round) {
    const Result a = InChild([&] { return RemuxThroughExports(longInput, workdir + "/exports.wmv"); });
    const Result b = InChild([&] {
      execlp(ffmpeg.c_str(), ffmpeg.c_str(), "-v", "error", "-y", "-i", longInput.c_str(), "-c", "copy",
             (workdir + "/ffmpeg.wmv").c_str(), static_cast<char*>(nullptr));
      return 127;
    });
    if (round == 0 || a.status != 0 || a.seconds < ours.seconds) ours = a;
    if (round == 0 || b.status != 0 || b.seconds < tool.seconds) tool = b;
  }
  std::printf("remux of %d s of 1280x720 WMV2+WMA, fastest of %d runs\n", seconds, runs);
  std::printf("  MFWMVMuxer_ exports: %7.2f s  peak %7ld KiB  (exit %d)\n", ours.seconds, ours.peakKiB, ours.status);
  std::printf("  ffmpeg -c copy:      %7.2f s  peak %7ld KiB  (exit %d)\n", tool.seconds, tool.peakKiB, tool.status);
  std::printf("  wall-time ratio exports/ffmpeg: %.2f (target at most 1.0)\n", ours.seconds / tool.seconds);

  const Result shortRun = InChild([&] { return RemuxThroughExports(shortInput, workdir + "/short.wmv"); });
  std::printf("peak resident size of the export path: %d s %ld KiB, %d s %ld KiB (ratio %.2f, flat is 1.0)\n",
              shortSeconds, shortRun.peakKiB, seconds, ours.peakKiB,
              static_cast<double>(ours.peakKiB) / static_cast<double>(shortRun.peakKiB));
  if (!keep) Run("rm -f '" + workdir + "'/exports.wmv '" + workdir + "'/ffmpeg.wmv '" + workdir + "'/short.wmv");
  return ours.status == 0 && tool.status == 0 && shortRun.status == 0 ? 0 : 1;
}
