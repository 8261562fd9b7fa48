// A host that closes (a null handle) and unloads the plug-in at once, then
// keeps running: the unload returns, and the plug-in is really gone
// afterwards (no close thread keeps it, or a reference to it, for ever), and
// so are the libraries it brought (nothing of theirs keeps them mapped).
// kx_unload_host <plug-in> [<library it loads>...]; exit status 0 when all hold.
#include <chrono>
#include <cstdio>
#include <thread>

#if !defined(_WIN32)
#include <filesystem>
#include <fstream>
#include <string>
#endif

#include "host_view.h"

namespace {
using kx::test::Export;
#if defined(_WIN32)
void Unload(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
bool StillLoaded(const char* path) { return GetModuleHandleA(path) != nullptr; }
#else
void Unload(void* library) { dlclose(library); }
// Mapped into the process: what the loader never unmaps shows here.
bool StillLoaded(const char* path) {
  const std::string name = std::filesystem::path(path).filename().string();
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.size() > name.size() && line.compare(line.size() - name.size() - 1, std::string::npos, "/" + name) == 0) {
      return true;
    }
  }
  return false;
}
#endif
}  // namespace

int main(int argc, char** argv) {
  void* library = argc >= 2 ? kx::test::LoadPath(argv[1]) : nullptr;
  if (library == nullptr) return std::fprintf(stderr, "kx_unload_host: cannot load the plug-in\n"), 1;
  const auto getFileFormats = Export<GetFileFormatsFn>(library, "GetFileFormats");
  for (int i = 0; i < 3; ++i) getFileFormats()[0].CloseMediaFile(nullptr);
  Unload(library);
  // The plug-in's threads may still be ending; they must not keep it.
  for (int i = 0; i < 100 && StillLoaded(argv[1]); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    if (StillLoaded(argv[i])) status = 1, std::fprintf(stderr, "kx_unload_host: %s still loaded after the unload\n", argv[i]);
  }
  return status;
}
