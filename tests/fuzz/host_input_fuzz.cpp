// kx-host's readers of the files it is given: YUV4MPEG2, WAV and the sizes
// an ASF header declares. The first byte picks the reader, the rest is the
// file. Malformed input must end in
// HostError (the one-line refusal); nothing may read outside the bytes read,
// and no header may make the reader allocate more than the pictures it
// announces need (libFuzzer's malloc limit).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "error.h"
#include "sources.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const std::string path = [] {
    char name[] = "/tmp/kx_host_input_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    return std::string(name);
  }();
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data + 1, 1, size - 1, file);
    std::fclose(file);
  }
  try {
    if (data[0] & 2) {
      (void)kxhost::AsfDeclaredSize(path);
    } else if (data[0] & 1) {
      const auto audio = kxhost::OpenWav(path);
      std::vector<int16_t> pcm(size_t{4096} * audio->channels);
      for (int i = 0; i < 64 && audio->Read(pcm.data(), 4096) > 0; ++i) {
      }
    } else {
      const auto video = kxhost::OpenY4m(path);
      kxhost::Picture picture;
      for (int i = 0; i < 16 && video->Next(picture); ++i) {
      }
    }
  } catch (const kxhost::HostError&) {
  }
  return 0;
}
