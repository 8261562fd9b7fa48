// MFStartup / MFShutdown: a counted, thread-safe start-up.
#include <mutex>

#include "kxplatform/mf.h"
#include "startup.h"

namespace kx::mf {
namespace {

std::mutex startupMutex;
unsigned long startupCount = 0;

}  // namespace

bool PlatformStarted() {
  std::lock_guard<std::mutex> lock(startupMutex);
  return startupCount != 0;
}

}  // namespace kx::mf

extern "C" {

HRESULT MFStartup(ULONG Version, DWORD dwFlags) {
  if (Version != MF_VERSION) return MF_E_BAD_STARTUP_VERSION;
  std::lock_guard<std::mutex> lock(kx::mf::startupMutex);
  ++kx::mf::startupCount;
  return S_OK;
}

// An MFShutdown without a matching MFStartup is refused instead of letting the
// count go below zero.
HRESULT MFShutdown() {
  std::lock_guard<std::mutex> lock(kx::mf::startupMutex);
  if (kx::mf::startupCount == 0) return MF_E_PLATFORM_NOT_INITIALIZED;
  --kx::mf::startupCount;
  return S_OK;
}

}  // extern "C"
