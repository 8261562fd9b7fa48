// InjectAsfXmp over any file: the input is written to a file, a packet is
// injected. A file it refuses stays byte for byte as it was and nothing is
// left beside it; a file it accepts holds the packet and takes a second
// packet the same way (injecting the same packet again gives the same file:
// the old packet is found and replaced, no box or object is lost).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <kx_traxel/zq_log.h>

#include "fuzz_check.h"

namespace fs = std::filesystem;

namespace {

// A folder of this process's own, removed at exit.
struct WorkFolder {
  fs::path path;
  WorkFolder() {
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "kx_xmp_fuzz_XXXXXX").string();
    KX_FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    path = pattern;
  }
  ~WorkFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  KX_FUZZ_CHECK(out.good());
}

const std::string kPacket =
    "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?><x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>"
    "<?xpacket end=\"w\"?>";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static WorkFolder folder;
  const fs::path file = folder.path / "file";
  const fs::path temp = folder.path / "file.xmptmp";
  WriteAll(file, data, size);
  const std::string original(reinterpret_cast<const char*>(data), size);

  if (!InjectAsfXmp(file.c_str(), kPacket.data(), kPacket.size(), 0)) {
    KX_FUZZ_CHECK(ReadAll(file) == original);
    KX_FUZZ_CHECK(!fs::exists(temp));
    return 0;
  }
  KX_FUZZ_CHECK(!fs::exists(temp));
  const std::string once = ReadAll(file);
  KX_FUZZ_CHECK(once.find(kPacket) != std::string::npos);

  KX_FUZZ_CHECK(InjectAsfXmp(file.c_str(), kPacket.data(), kPacket.size(), 0));
  KX_FUZZ_CHECK(ReadAll(file) == once);
  return 0;
}
