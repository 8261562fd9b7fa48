// A host program: loads the plug-in by path, writes one small file through
// the discovery tables (records filled by byte offset) and returns from main
// right after closing it, without waiting for anything. The library must
// still leave a complete file behind.
//
// kx_host_writer <plug-in> <single|multi> <container FourCC> <output path>
//                [video=<FourCC>:<width>x<height>]... [audio=<FourCC>] [frames=<n>]
//                [nothread] [fsize=<bytes>]
//
// single: one EncodeParams through the GetFileFormats row.
// multi:  one record per video= / audio= through the GetFileMultiStreamFormats
//         row; video records get output indexes 0, 1, ..., the audio record 10.
//         Frames go to the last video record's index, sized as that record.
// nothread: the thread start of the close fails (single mode), as when the
//         system cannot start another thread.
// fsize:  files may grow to <bytes> only (RLIMIT_FSIZE, SIGXFSZ ignored), as
//         on a full disk (single mode). The first refused write ends the
//         writing, "write refused at frame <i>" goes to standard output, and
//         the file is closed as usual.
//
// kx_host_writer <plug-in> threads <n> <folder>
//   n threads at once, each writing one file of the kinds below (round
//   robin) into <folder>, file<i>.<ext>; returns from main right after the
//   last close.
// kx_host_writer <plug-in> cycles <n> <folder>
//   n create-write-close cycles one after another; prints "fds threads rss_kb
//   heap_in_use_kb" after the fifth, the middle and the last cycle (once the close threads have
//   ended, waiting at most 20 s).
// kx_host_writer <plug-in> unload <n> <folder>
//   n times: load the plug-in, write file<i>.mp4, close it, unload the
//   plug-in at once and keep running for 100 ms; a spinning child process
//   competes for the same core the whole time.
// Exit status 0 when every call succeeded.
#include <dirent.h>
#include <malloc.h>
#include <dlfcn.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host_view.h"

extern "C" void kx_test_fail_next_thread_start(void);

namespace {

using namespace kx::test;

struct VideoSpec {
  std::string fourcc;
  uint32_t width = 0, height = 0;
};

constexpr double kFrameRate = 25.0;
constexpr uint32_t kSampleRate = 48000;
constexpr uint32_t kChannels = 2;
constexpr int64_t kFrameDuration100ns = 400000;
constexpr uint32_t kSamplesPerFrame = kSampleRate / 25;

// A record as the host fills it. Bytes 8..23 of the XMP record belong to the
// create, which replaces them with its own value and time scale: the host's
// are junk here.
HostRecord HostDefaultRecord() {
  HostRecord record;
  record.Fill(host::kXmpOptions + 8, 16, 0xEE);
  return record;
}

void SetVideo(HostRecord& record, const VideoSpec& video) {
  record.Video(video.fourcc.c_str(), video.width, video.height, kFrameRate, 400000);
}

void SetAudio(HostRecord& record, const std::string& fourcc) { record.Audio(fourcc.c_str(), kSampleRate, kChannels); }

// Picture `index` of the clip, tightly packed.
HostPicture MakePicture(const VideoSpec& video, int index) {
  HostPicture picture(video.width, video.height, index);
  picture.record().Times(index * kFrameDuration100ns);
  return picture;
}

// The 40 ms of 16-bit stereo PCM that belong to picture `index`.
HostPcm MakeSound(int index) {
  HostPcm sound(kSamplesPerFrame, kChannels, kSampleRate, uint64_t{kSamplesPerFrame} * static_cast<uint64_t>(index));
  sound.record().Times(index * kFrameDuration100ns);
  return sound;
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "kx_host_writer: %s\n", what.c_str());
  return 1;
}

// The tables of one loaded copy of the plug-in.
struct Tables {
  const void* fileFormats = nullptr;
  const void* multiStream = nullptr;
};

Tables TablesOf(void* library) {
  using TableFn = const void* (*)();
  Tables tables;
  tables.fileFormats = reinterpret_cast<TableFn>(dlsym(library, "GetFileFormats"))();
  tables.multiStream = reinterpret_cast<TableFn>(dlsym(library, "GetFileMultiStreamFormats"))();
  return tables;
}

struct FileJob {
  std::string mode, container;
  std::vector<VideoSpec> videos;
  std::string audio;
  int frames = 10;
  bool noThread = false;
  long fileSizeLimit = -1;  // no limit
};

// Writes one file; "" when every call succeeded, else what failed.
std::string WriteFile(const Tables& tables, const FileJob& job, const std::string& outputPath) {
  const auto path = Wide(outputPath.c_str());
  const auto& videos = job.videos;
  const auto& audio = job.audio;
  const int frames = job.frames;
  const std::string& container = job.container;
  if (job.mode == "single") {
    const uint8_t* row = FindRow(tables.fileFormats, host::kFileFormatRowBytes, container.c_str());
    if (row == nullptr) return "no file-format row " + container;
    const SingleStreamRow slots = SingleStreamSlots(row);
    HostRecord record = HostDefaultRecord();
    record.Container(container.c_str());
    if (!videos.empty()) SetVideo(record, videos.back());
    if (!audio.empty()) SetAudio(record, audio);
    if (job.fileSizeLimit >= 0) {
      const struct rlimit limit = {static_cast<rlim_t>(job.fileSizeLimit), static_cast<rlim_t>(job.fileSizeLimit)};
      if (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        return "cannot limit the file size";
      }
    }
    void* file = slots.create(path.c_str(), record.get(), static_cast<uint64_t>(frames * kFrameDuration100ns));
    if (file == nullptr) return "create failed";
    for (int i = 0; i < frames; ++i) {
      bool written = true;
      if (!videos.empty()) {
        written = slots.writeVideo(file, MakePicture(videos.back(), i).frame(), 0) == 1;
      }
      if (written && !audio.empty()) {
        written = slots.writeAudio(file, MakeSound(i).frame(), 0, 1) == 1;
      }
      if (!written && job.fileSizeLimit < 0) return "frame " + std::to_string(i);
      if (!written) {
        std::printf("write refused at frame %d\n", i);
        break;
      }
    }
    if (job.noThread) kx_test_fail_next_thread_start();
    slots.close(file);
    return "";
  }

  if (job.mode == "multi") {
    const uint8_t* row = FindRow(tables.multiStream, host::kMultiStreamRowBytes, container.c_str());
    if (row == nullptr) return "no multi-stream row " + container;
    const MultiStreamRow slots = MultiStreamSlots(row);
    void* file = slots.create();
    if (file == nullptr) return "create failed";
    uint32_t videoIndex = 0;
    for (uint32_t i = 0; i < videos.size(); ++i) {
      HostRecord record = HostDefaultRecord();
      SetVideo(record, videos[i]);
      slots.addStream(file, KX_STREAMTYPE_VIDEO, 1, i, i, record.get());
      videoIndex = i;
    }
    constexpr uint32_t kAudioIndex = 10;
    if (!audio.empty()) {
      HostRecord record = HostDefaultRecord();
      SetAudio(record, audio);
      slots.addStream(file, KX_STREAMTYPE_AUDIO, 1, kAudioIndex, kAudioIndex, record.get());
    }
    if (slots.init(file, FourCC(container.c_str()), path.c_str(),
                   static_cast<uint64_t>(frames * kFrameDuration100ns)) != 1) {
      slots.close(file);
      return "init failed";
    }
    for (int i = 0; i < frames; ++i) {
      if (!videos.empty()) {
        if (slots.writeFrame(file, videoIndex, MakePicture(videos.back(), i).frame(), 0) != 1) return "video frame " + std::to_string(i);
      }
      if (!audio.empty()) {
        if (slots.writeFrame(file, kAudioIndex, MakeSound(i).frame(), 0) != 1) return "audio frame " + std::to_string(i);
      }
    }
    slots.close(file);
    return "";
  }
  return "unknown mode " + job.mode;
}

// The kinds of file the many-file modes write, round robin, and their
// extensions.
struct FileKind {
  FileJob job;
  const char* extension;
};

const std::vector<FileKind>& FileKinds() {
  static const std::vector<FileKind> kinds = {
      {{"single", "WWMV", {{"WMV2", 160, 120}}, "WMA8", 25, false}, ".wmv"},
      {{"single", "WMP4", {{"W264", 160, 120}}, "WAAC", 25, false}, ".mp4"},
      {{"single", "WWMA", {}, "WMA8", 25, false}, ".wma"},
      {{"single", "WMP4", {{"W265", 160, 120}}, "", 25, false}, ".mp4"},
      {{"single", "WWMV", {{"WMV1", 160, 120}}, "", 25, false}, ".wmv"},
      {{"multi", "WMP4", {{"W264", 160, 120}}, "WAAC", 25, false}, ".mp4"},
  };
  return kinds;
}

std::string FilePath(const std::string& folder, int index, const char* extension) {
  return folder + "/file" + std::to_string(index) + extension;
}

int WriteFromThreads(const Tables& tables, int count, const std::string& folder) {
  std::vector<std::string> errors(static_cast<size_t>(count));
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      const FileKind& kind = FileKinds()[static_cast<size_t>(i) % FileKinds().size()];
      errors[static_cast<size_t>(i)] = WriteFile(tables, kind.job, FilePath(folder, i, kind.extension));
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < count; ++i) {
    if (!errors[static_cast<size_t>(i)].empty()) return Fail("file " + std::to_string(i) + ": " + errors[static_cast<size_t>(i)]);
  }
  return 0;  // returns from main at once: the files are still finishing
}

size_t CountEntries(const char* folder) {
  size_t count = 0;
  if (DIR* dir = opendir(folder)) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

long ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// Open descriptors, threads and resident memory once the threads other than
// main have ended (at most 20 s).
void PrintResources() {
  for (int i = 0; i < 200 && CountEntries("/proc/self/task") > 2 + 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::printf("%zu %zu %ld %zu\n", CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"),
              ResidentKilobytes(), mallinfo2().uordblks / 1024);
  std::fflush(stdout);
}

int WriteCycles(const Tables& tables, int count, const std::string& folder) {
  FileJob job{"single", "WMP4", {{"W264", 64, 48}}, "WAAC", 3, false};
  for (int i = 0; i < count; ++i) {
    const std::string error = WriteFile(tables, job, FilePath(folder, i, ".mp4"));
    if (!error.empty()) return Fail("cycle " + std::to_string(i) + ": " + error);
    if (i + 1 == 5 || i + 1 == count / 2 || i + 1 == count) PrintResources();
  }
  return 0;
}

// Both this process and a spinning child on the first allowed core.
pid_t StartCompetitorOnOneCore() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &cpus)) {
        CPU_ZERO(&cpus);
        CPU_SET(cpu, &cpus);
        sched_setaffinity(0, sizeof cpus, &cpus);
        break;
      }
    }
  }
  const pid_t child = fork();
  if (child == 0) {
    volatile unsigned long spin = 0;
    for (;;) spin = spin + 1;
  }
  return child;
}

int WriteAndUnload(const char* pluginPath, int count, const std::string& folder) {
  const pid_t competitor = StartCompetitorOnOneCore();
  int status = 0;
  for (int i = 0; i < count && status == 0; ++i) {
    void* library = dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      status = Fail(std::string("dlopen: ") + dlerror());
      break;
    }
    FileJob job{"single", "WMP4", {{"W264", 160, 120}}, "WAAC", 25, false};
    const std::string error = WriteFile(TablesOf(library), job, FilePath(folder, i, ".mp4"));
    dlclose(library);
    if (!error.empty()) status = Fail("file " + std::to_string(i) + ": " + error);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (competitor > 0) {
    kill(competitor, SIGKILL);
    waitpid(competitor, nullptr, 0);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return Fail("usage: kx_host_writer <plug-in> <single|multi> <FourCC> <output> [options]");
  const std::string mode = argv[2];
  if (mode == "unload") return WriteAndUnload(argv[1], std::atoi(argv[3]), argv[4]);
  setenv("KX_TRAXEL_LIBRARY", argv[1], 1);
  if (!Plugin().loaded()) return Fail("cannot load the plug-in: " + Plugin().error());
  const Tables tables{FileFormatTableOfPlugin(), MultiStreamTableOfPlugin()};
  if (mode == "threads") return WriteFromThreads(tables, std::atoi(argv[3]), argv[4]);
  if (mode == "cycles") return WriteCycles(tables, std::atoi(argv[3]), argv[4]);

  FileJob job;
  job.mode = mode;
  job.container = argv[3];
  for (int i = 5; i < argc; ++i) {
    const std::string arg = argv[i];
    VideoSpec video;
    char fourcc[5] = {};
    if (std::sscanf(arg.c_str(), "video=%4s:%ux%u", fourcc, &video.width, &video.height) == 3) {
      video.fourcc = fourcc;
      job.videos.push_back(video);
    } else if (arg.rfind("audio=", 0) == 0) {
      job.audio = arg.substr(6);
    } else if (arg == "nothread") {
      job.noThread = true;
    } else if (arg.rfind("fsize=", 0) == 0) {
      job.fileSizeLimit = std::atol(arg.c_str() + 6);
    } else if (arg.rfind("frames=", 0) == 0) {
      job.frames = std::atoi(arg.c_str() + 7);
    } else {
      return Fail("unknown option " + arg);
    }
  }
  const std::string error = WriteFile(tables, job, argv[4]);
  return error.empty() ? 0 : Fail(error);
}
