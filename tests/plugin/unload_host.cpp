// A host that closes (a null handle) and unloads the plug-in at once, then
// keeps running: the unload returns, and the plug-in is really gone
// afterwards (no close thread keeps it, or a reference to it, for ever).
// kx_unload_host <plug-in>; exit status 0 when both hold.
#include <chrono>
#include <cstdio>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <kx_traxel/kx_traxel.h>

namespace {
#if defined(_WIN32)
void* Load(const char* path) { return reinterpret_cast<void*>(LoadLibraryA(path)); }
void* Symbol(void* library, const char* name) { return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name)); }
void Unload(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
bool StillLoaded(const char* path) { return GetModuleHandleA(path) != nullptr; }
#else
void* Load(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* Symbol(void* library, const char* name) { return dlsym(library, name); }
void Unload(void* library) { dlclose(library); }
bool StillLoaded(const char* path) {
  void* library = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  return library != nullptr && (dlclose(library), true);
}
#endif
}  // namespace

int main(int argc, char** argv) {
  void* library = argc == 2 ? Load(argv[1]) : nullptr;
  if (library == nullptr) return std::fprintf(stderr, "kx_unload_host: cannot load the plug-in\n"), 1;
  const auto getFileFormats = reinterpret_cast<GetFileFormatsFn>(Symbol(library, "GetFileFormats"));
  for (int i = 0; i < 3; ++i) getFileFormats()[0].CloseMediaFile(nullptr);
  Unload(library);
  // The plug-in's threads may still be ending; they must not keep it.
  for (int i = 0; i < 100 && StillLoaded(argv[1]); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (StillLoaded(argv[1])) std::fprintf(stderr, "kx_unload_host: still loaded 10 s after the unload\n");
  return StillLoaded(argv[1]) ? 1 : 0;
}
