// A host program: loads the plug-in by path, writes files through the
// discovery tables (records filled by byte offset, every buffer a heap block
// of exactly its size, freed as soon as the call that took it returns) and
// returns from main right after the last close, without waiting for
// anything. The library must still leave complete files behind.
//
// kx_host_writer <plug-in> file <kind> <path>: one file of a kind below.
//   single: one record through the GetFileFormats row; multi: one record per
//   stream (each with codec private data) and a subpicture record through
//   the GetFileMultiStreamFormats row, extra data for every stream (video
//   records get output indexes 0, 1, ..., audio 10, frames go to the last
//   video). nothread: the close's thread start fails. fileSizeLimit: files
//   may grow to so many bytes only (RLIMIT_FSIZE, SIGXFSZ ignored), as on a
//   full disk; the first refused write prints "write refused at frame <i>"
//   and ends the writing, and the file is closed as usual.
// kx_host_writer <plug-in> threads <n> <folder>: n threads at once, each
//   writing file<i> of the first six kinds (round robin).
// kx_host_writer <plug-in> cycles <n> <folder>: n create-write-close cycles;
//   prints "fds threads rss_kb heap_in_use_kb" after the fifth, the middle
//   and the last (once the close threads ended).
// kx_host_writer <plug-in> unload <n> <folder>: n times load the plug-in,
//   write file<i>.mp4, close, unload at once and keep running for 100 ms,
//   with a spinning child competing for the core.
// kx_host_writer <plug-in> late_close <exit|unload> <folder>: file0 is closed
//   on a close thread held back, then the program exits (or unloads the
//   plug-in) while another thread closes file1, and only then lets the held
//   thread go on: both files must be complete.
// Exit status 0 when every call succeeded.
#include <malloc.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <thread>
#include <vector>

#include "host_view.h"

extern "C" void kx_test_fail_next_thread_start(void);
extern "C" void kx_test_hold_next_thread(void);
extern "C" void kx_test_release_held_thread(void);

namespace {

using namespace kx::test;

struct VideoSpec { std::string fourcc; uint32_t width = 0, height = 0; };
// fileSizeLimit: no limit
struct FileJob { bool multi; std::string container; std::vector<VideoSpec> videos; std::string audio; int frames = 25;
    bool noThread = false; long fileSizeLimit = -1; bool holdThread = false; };

constexpr int64_t kFrameDuration100ns = 400000;  // 25 fps
constexpr uint32_t kSamplesPerFrame = 48000 / 25;
constexpr uint32_t kAudioIndex = 10, kSubpictureIndex = 20;  // of the multi-stream file

// A record as the host fills it. Bytes 8..23 of the XMP record belong to the
// create, which replaces them with its own value and time scale.
HostRecord Record(const VideoSpec* video, const std::string& audio) {
  HostRecord record;
  record.Fill(host::kXmpOptions + 8, 16, 0xEE);
  if (video != nullptr) record.Video(video->fourcc.c_str(), video->width, video->height, 25.0, 400000);
  if (!audio.empty()) record.Audio(audio.c_str(), 48000, 2);
  return record;
}
// A picture or sound with the time of picture `index`.
template <typename Frame>
Frame AtTime(Frame frame, int index) {
  frame.record().Times(index * kFrameDuration100ns);
  return frame;
}
HostPicture Picture(const VideoSpec& video, int index) { return AtTime(HostPicture(video.width, video.height, index), index); }
// The 40 ms of 16-bit stereo PCM that belong to picture `index`.
HostPcm Sound(int index) { return AtTime(HostPcm(kSamplesPerFrame, 2, 48000, uint64_t{kSamplesPerFrame} * unsigned(index)), index); }

int Fail(const std::string& what) { return std::fprintf(stderr, "kx_host_writer: %s\n", what.c_str()), 1; }

// The multi-stream file's streams: each record with codec private data, and
// a subpicture record; every buffer freed right after the call.
bool AddStreams(const MultiStreamRow& slots, void* file, const FileJob& job) {
  const uint8_t privateData[] = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1E};  // kept, unused: the encoder makes its own
  const auto add = [&](uint32_t type, uint32_t index, HostRecord record, size_t extraBlock) {
    const ExactBlock data(privateData, sizeof privateData - index % 3);
    record.Extra(extraBlock, data.data(), static_cast<uint32_t>(data.size()));
    return slots.addStream(file, type, 1, index, index, record.get()) == 1;
  };
  bool added = true;
  for (uint32_t i = 0; i < job.videos.size(); ++i) added &= add(KX_STREAMTYPE_VIDEO, i, Record(&job.videos[i], ""), host::kVideoExtra);
  if (!job.audio.empty()) added &= add(KX_STREAMTYPE_AUDIO, kAudioIndex, Record(nullptr, job.audio), host::kAudioExtra);
  return added && add(KX_STREAMTYPE_SUBPICTURE, kSubpictureIndex,
                      std::move(HostRecord().U32(host::kSubpictureFourCC, FourCC("SUBP"))), host::kSubpictureExtra);
}

// Writes one file; "" when every call succeeded, else what failed. With
// `open`, the file is left open there instead of closed.
std::string WriteFile(void* plugin, const FileJob& job, const std::string& outputPath, void** open = nullptr) {
  const auto path = Wide(outputPath);
  const SingleStreamRow single = SingleStreamSlots(Export<TableFn>(plugin, "GetFileFormats")(), job.container.c_str());
  const MultiStreamRow multi = MultiStreamSlots(Export<TableFn>(plugin, "GetFileMultiStreamFormats")(), job.container.c_str());
  const VideoSpec* video = job.videos.empty() ? nullptr : &job.videos.back();
  const auto value = static_cast<uint64_t>(job.frames * kFrameDuration100ns);
  void* file = nullptr;
  if (!job.multi) {
    HostRecord record = Record(video, job.audio);
    file = single.create(path.c_str(), record.Container(job.container.c_str()).get(), value);
  } else if ((file = multi.create()) != nullptr) {
    const ExactBlock pathBlock(path.c_str(), 2 * path.size() + 2);
    if (!AddStreams(multi, file, job) ||
        multi.init(file, FourCC(job.container.c_str()), reinterpret_cast<const kx_wchar*>(pathBlock.data()), value) != 1) {
      multi.close(file);
      return "init failed";
    }
    const uint8_t extraData[] = {2, 0, 0, 0, 0xA, 0xB, 1, 0, 0, 0, 0xC};  // two length-prefixed blocks
    for (const uint32_t index : {0u, kAudioIndex, kSubpictureIndex}) {
      multi.writeExtraData(file, index, ExactBlock(extraData, sizeof extraData).data(), sizeof extraData);
    }
  }
  if (file == nullptr) return "create failed";
  if (job.fileSizeLimit >= 0) {
    const rlimit limit = {static_cast<rlim_t>(job.fileSizeLimit), static_cast<rlim_t>(job.fileSizeLimit)};
    if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0) return "cannot limit the file size";
  }
  std::string error;
  for (int i = 0; i < job.frames && error.empty(); ++i) {
    if (video != nullptr && (job.multi ? multi.writeFrame(file, uint32_t(job.videos.size() - 1), Picture(*video, i).frame(), 0)
                                       : single.writeVideo(file, Picture(*video, i).frame(), 0)) != 1) {
      error = "picture " + std::to_string(i);
    }
    if (error.empty() && !job.audio.empty() &&
        (job.multi ? multi.writeFrame(file, kAudioIndex, Sound(i).frame(), 0) : single.writeAudio(file, Sound(i).frame(), 0, 1)) != 1) {
      error = "sound " + std::to_string(i);
    }
    if (!error.empty() && job.fileSizeLimit >= 0) {
      std::printf("write refused at frame %d\n", i);
      error.clear();
      break;
    }
  }
  if (open != nullptr) return *open = file, error;
  if (job.noThread) kx_test_fail_next_thread_start();
  if (job.holdThread) kx_test_hold_next_thread();
  (job.multi ? multi.close : single.close)(file);
  return error;
}

// The kinds of file; the many-file modes write the first six round robin.
const std::pair<const char*, FileJob> kKinds[] = {
    {"wmv", {false, "WWMV", {{"WMV2", 160, 120}}, "WMA8"}},
    {"mp4", {false, "WMP4", {{"W264", 160, 120}}, "WAAC"}},
    {"wma", {false, "WWMA", {}, "WMA8"}},
    {"hevc", {false, "WMP4", {{"W265", 160, 120}}, ""}},
    {"wmv1", {false, "WWMV", {{"WMV1", 160, 120}}, ""}},
    {"multi", {true, "WMP4", {{"W264", 160, 120}}, "WAAC"}},
    {"multi_two_videos", {true, "WMP4", {{"W265", 320, 240}, {"W264", 176, 144}}, "WAAC"}},
    {"multi_wma", {true, "WWMA", {}, "WMA8"}},
    {"nothread", {false, "WMP4", {{"W264", 160, 120}}, "WAAC", 25, true}},
    {"full_disk", {false, "WWMV", {{"WMV2", 320, 240}}, "WMA8", 300, false, 65536}},
    {"small", {false, "WMP4", {{"W264", 64, 48}}, "WAAC", 3}},
};
const FileJob& Kind(const std::string& name) {
  const auto* kind = std::find_if(std::begin(kKinds), std::end(kKinds), [&](const auto& k) { return name == k.first; });
  return kind != std::end(kKinds) ? kind->second : (Fail("no kind " + name), std::exit(2), kKinds[0].second);
}
std::string FilePath(const std::string& folder, int index, const FileJob& kind) {
  return folder + "/file" + std::to_string(index) + (kind.container == "WMP4" ? ".mp4" : kind.container == "WWMA" ? ".wma" : ".wmv");
}

size_t CountEntries(const char* folder) { return size_t(std::distance(std::filesystem::directory_iterator(folder), {})); }

// Open descriptors, threads and heap memory in use once the threads other
// than main have ended (at most 20 s).
void PrintResources() {
  for (int i = 0; i < 200 && CountEntries("/proc/self/task") > 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::printf("%zu %zu %zu\n", CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"), mallinfo2().uordblks / 1024);
  std::fflush(stdout);
}

// This process and a spinning child on the core it runs on now.
pid_t StartCompetitor() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  CPU_SET(sched_getcpu(), &cpus);
  sched_setaffinity(0, sizeof cpus, &cpus);
  const pid_t competitor = fork();
  for (volatile unsigned long spin = 0; competitor == 0;) spin = spin + 1;
  return competitor;
}

// The many-file modes.
int WriteMany(const std::string& mode, const char* pluginPath, int count, const std::string& folder) {
  const pid_t competitor = mode == "unload" ? StartCompetitor() : 0;
  std::vector<std::string> errors(static_cast<size_t>(count));
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    if (mode == "threads") {
      const FileJob* job = &kKinds[i % 6].second;
      threads.emplace_back([&, i, job] { errors[size_t(i)] = WriteFile(Plugin(), *job, FilePath(folder, i, *job)); });
    } else if (mode == "cycles") {
      errors[size_t(i)] = WriteFile(Plugin(), Kind("small"), FilePath(folder, i, Kind("small")));
      if (i + 1 == 5 || i + 1 == count / 2 || i + 1 == count) PrintResources();
    } else {
      void* library = dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
      errors[size_t(i)] = library ? WriteFile(library, Kind("mp4"), FilePath(folder, i, Kind("mp4"))) : dlerror();
      if (library != nullptr) dlclose(library);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  for (auto& thread : threads) thread.join();
  if (competitor > 0) kill(competitor, SIGKILL), waitpid(competitor, nullptr, 0);
  for (size_t i = 0; i < errors.size(); ++i) if (!errors[i].empty()) return Fail("file " + std::to_string(i) + ": " + errors[i]);
  return 0;  // returns from main at once: the files may still be finishing
}

// The late close of file1, once the plug-in's unload waits for file0's thread.
void* g_lateFile = nullptr;
void (*g_lateClose)(void*) = nullptr;
void CloseLate() {
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  g_lateClose(g_lateFile);
  kx_test_release_held_thread();
}

int LateClose(const std::string& how, const char* pluginPath, const std::string& folder) {
  void* library = dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return Fail(dlerror());
  FileJob held = Kind("small");
  held.holdThread = true;
  std::string error = WriteFile(library, held, folder + "/file0.mp4");
  if (error.empty()) error = WriteFile(library, Kind("small"), folder + "/file1.mp4", &g_lateFile);
  if (!error.empty()) return Fail(error);
  g_lateClose = SingleStreamSlots(Export<TableFn>(library, "GetFileFormats")(), "WMP4").close;
  if (how == "unload") {
    std::thread late(CloseLate);
    dlclose(library);
    late.join();
    return 0;
  }
  // Run as exit begins, before the plug-in's own clean-up.
  std::atexit([] { std::thread(CloseLate).detach(); });
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return Fail("usage: kx_host_writer <plug-in> <mode> <kind|n> <path>");
  const std::string mode = argv[2];
  setenv("KX_TRAXEL_LIBRARY", argv[1], 1);
  if (mode == "late_close") return LateClose(argv[3], argv[1], argv[4]);
  if (mode != "unload" && Plugin() == nullptr) return Fail("cannot load the plug-in");
  if (mode != "file") return WriteMany(mode, argv[1], std::atoi(argv[3]), argv[4]);
  const std::string error = WriteFile(Plugin(), Kind(argv[3]), argv[4]);
  return error.empty() ? 0 : Fail(error);
}
