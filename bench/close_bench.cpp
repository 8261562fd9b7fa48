// close_bench: what closing a big file costs. Writes .wmv (WMV 8) and .mp4
// (H.264) files of about 100 MB and 1 GB through the plug-in's GetFileFormats
// rows (loaded by path, as a host loads them) from a few noisy pictures at a
// high bit rate, and prints per file:
//   - the close time: from the host's CloseMediaFile until the file is
//     finished (on Linux, until dlclose of the plug-in returns, which waits
//     for the close thread: the finalize, the index or sample table and the
//     XMP packet);
//   - the bytes the writing process wrote in all (/proc/self/io: `wchar`,
//     every write call, and `write_bytes`, what reached the file system's
//     page cache as dirty pages, what `/usr/bin/time -f %O` counts) against
//     the finished file's size. Goal: at most 1.1x, and a close time that
//     does not grow with the file.
//
//   close_bench [--formats wmv,mp4] [--megabytes 100,1000] [--size WxH] [--workdir DIR] [--keep]
//
// Each file is written by a child process of its own, so its counters are
// its own. Not a timed test: run it by hand on a quiet machine.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kx_traxel/kx_traxel.h"

#ifndef KX_BENCH_TRAXEL_PATH
#error "KX_BENCH_TRAXEL_PATH names the plug-in"
#endif

namespace {

struct Io {
  long long wchar = 0, writeBytes = 0;
};

Io ProcessIo() {
  Io io;
  std::ifstream in("/proc/self/io");
  std::string name;
  long long value = 0;
  while (in >> name >> value) {
    if (name == "wchar:") io.wchar = value;
    if (name == "write_bytes:") io.writeBytes = value;
  }
  return io;
}

long long FileSize(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');) parts.push_back(part);
  return parts;
}

// One file of at least `megabytes` MB through the row of `extension`; its line on standard output.
int WriteOne(const std::string& extension, long long megabytes, int width, int height, const std::string& path) {
  void* plugin = dlopen(KX_BENCH_TRAXEL_PATH, RTLD_NOW | RTLD_LOCAL);
  if (plugin == nullptr) return std::fprintf(stderr, "%s\n", dlerror()), 2;
  const auto getFileFormats = reinterpret_cast<GetFileFormatsFn>(dlsym(plugin, "GetFileFormats"));
  const bool wmv = extension == "wmv";
  const uint32_t container = wmv ? KX_FOURCC('W', 'W', 'M', 'V') : KX_FOURCC('W', 'M', 'P', '4');
  const FileFormatDescriptor* row = getFileFormats();
  while (row->fourcc != 0 && row->fourcc != container) ++row;
  if (row->fourcc == 0) return std::fprintf(stderr, "no .%s row\n", extension.c_str()), 3;

  auto params = std::make_unique<EncodeParams>();
  params->video.nFourCC = wmv ? KX_FOURCC('W', 'M', 'V', '2') : KX_FOURCC('W', '2', '6', '4');
  params->video.nWidth = static_cast<uint32_t>(width), params->video.nHeight = static_cast<uint32_t>(height);
  params->video.dFrameRate = 25.0;
  params->video.nBitrate = 400000000;  // as much as the encoder gives on noise
  params->bNoAudio = params->bNoSubpicture = 1;
  params->nFileFourCC = container;
  params->xmpMetadata.nOptions = 3;
  const std::basic_string<kx_wchar> widePath(path.begin(), path.end());
  MediaFileHandle file = row->CreateMediaFile(widePath.c_str(), params.get(), 0);
  if (file == nullptr) return std::fprintf(stderr, "create of %s failed\n", path.c_str()), 4;

  // Eight noisy pictures, taken in turn.
  std::mt19937 random(7);
  const size_t luma = size_t(width) * height, chroma = luma / 4;
  std::vector<std::vector<uint8_t>> pictures(8, std::vector<uint8_t>(luma + 2 * chroma));
  for (auto& picture : pictures) {
    for (uint8_t& byte : picture) byte = static_cast<uint8_t>(random());
  }
  const long long target = megabytes * 1000000;
  const double start = Now();
  long long frames = 0;
  for (; FileSize(path) < target; ++frames) {
    std::vector<uint8_t>& picture = pictures[frames % pictures.size()];
    MediaFrame frame{};
    frame.video.pData[0] = picture.data();
    frame.video.pData[1] = picture.data() + luma, frame.video.pData[2] = picture.data() + luma + chroma;
    frame.video.nStride[0] = width, frame.video.nStride[1] = frame.video.nStride[2] = width / 2;
    frame.pts = frames * 400000;
    if (row->WriteVideoFrame(file, &frame, 0) != 1) return std::fprintf(stderr, "picture %lld refused\n", frames), 5;
  }
  const double closeStart = Now();
  row->CloseMediaFile(file);
  dlclose(plugin);  // returns once the close thread has finished the file
  const double closeEnd = Now();
  const Io io = ProcessIo();
  const double size = static_cast<double>(FileSize(path));
  std::printf(".%-4s %6.0f MB %7lld frames  write %6.1f s  close %6.3f s  written/size: wchar %.3fx  write_bytes %.3fx\n",
              extension.c_str(), size / 1e6, frames, closeStart - start, closeEnd - closeStart, io.wchar / size,
              io.writeBytes / size);
  return std::fflush(stdout), 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string formats = "wmv,mp4", sizes = "100,1000", workdir = "/tmp/kx_close_bench";
  int width = 640, height = 480;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const bool hasValue = i + 1 < argc;
    if (option == "--formats" && hasValue) formats = argv[++i];
    else if (option == "--megabytes" && hasValue) sizes = argv[++i];
    else if (option == "--size" && hasValue && std::sscanf(argv[++i], "%dx%d", &width, &height) == 2) continue;
    else if (option == "--workdir" && hasValue) workdir = argv[++i];
    else if (option == "--keep") keep = true;
    else return std::fprintf(stderr, "usage: close_bench [--formats wmv,mp4] [--megabytes 100,1000] [--size WxH] "
                                     "[--workdir DIR] [--keep]\n"), 2;
  }
  if (std::system(("mkdir -p '" + workdir + "'").c_str()) != 0) return 1;
  setenv("ZQ_LOG_FILE", (workdir + "/log.txt").c_str(), 0);  // the plug-in's log, out of the table's way
  int failed = 0;
  for (const std::string& extension : Split(formats)) {
    for (const std::string& megabytes : Split(sizes)) {
      const std::string path = workdir + "/close_" + megabytes + "." + extension;
      std::remove(path.c_str());
      std::fflush(stdout);
      const pid_t pid = fork();
      if (pid == 0) _exit(WriteOne(extension, std::atoll(megabytes.c_str()), width, height, path));
      int status = 0;
      failed += pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
      if (!keep) std::remove(path.c_str());
    }
  }
  return failed == 0 ? 0 : 1;
}
