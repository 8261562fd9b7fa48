// Memory runs out in the middle of a host's calls: the N-th operator new
// made on the host's thread throws std::bad_alloc, for every N until a whole
// run makes fewer allocations than N. Whatever fails, no exception leaves
// the plug-in: every slot returns a result, the close returns, and whatever
// the close started ends. Through the real tables of the plug-in loaded by
// path; the replacement operator new below is what every library in the
// process calls (the sanitizer build brings its own: not part of it).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <new>
#include <thread>

#include "host_view.h"
#include "temp_dir.h"

namespace {

// Allocations left on the armed thread before one fails; 0: none fails.
thread_local long t_allocationsBeforeFailure = 0;
thread_local bool t_failed = false;

}  // namespace

// The library's default array and nothrow forms call these.
void* operator new(std::size_t size) {
  if (t_allocationsBeforeFailure > 0 && --t_allocationsBeforeFailure == 0) {
    t_failed = true;
    throw std::bad_alloc();
  }
  if (void* pointer = std::malloc(size != 0 ? size : 1)) return pointer;
  throw std::bad_alloc();
}
void operator delete(void* pointer) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { std::free(pointer); }

namespace kx::test {
namespace {

size_t ThreadCount() { return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {})); }

// Calls one slot; `name` when an exception came out of it, else null.
template <typename Call>
const char* Escapes(const char* name, Call call) {
  try {
    call();
    return nullptr;
  } catch (...) {
    t_allocationsBeforeFailure = 0;
    return name;
  }
}

// Runs `host` with the N-th allocation of this thread failing, N = 1, 2, ...
// until a run no longer reaches its N-th allocation. `host` returns the
// name of a slot that let an exception through (a literal: no allocation),
// or null; then every thread the run started must end.
template <typename Host>
void FailEveryAllocationInTurn(Host host) {
  ASSERT_NE(Plugin(), nullptr) << "the plug-in does not load";
  size_t threadsBefore = ThreadCount();
  for (long n = 1;; ++n) {
    t_failed = false;
    t_allocationsBeforeFailure = n;
    const char* escaped = host();
    const bool failed = t_failed;
    t_allocationsBeforeFailure = 0;
    EXPECT_EQ(escaped, nullptr) << "an exception left " << escaped << " when allocation " << n << " failed";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (escaped == nullptr && ThreadCount() > threadsBefore && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(escaped != nullptr || ThreadCount() <= threadsBefore) << "the close never ended, allocation " << n;
    // What an escape left behind (a handle the host never got) stays.
    if (escaped != nullptr) threadsBefore = std::max(threadsBefore, ThreadCount());
    if (!failed) return (void)std::printf("%ld allocations on the host's thread, each failed once\n", n - 1);
  }
}

// Discovery, a single-stream file and a multi-stream file, as one host
// makes them (the multi-stream adapter calls the single-stream create, but
// catches what that lets through: each path on its own).
TEST(OutOfMemory, EverySlotCatchesEverything) {
  const TempDir dir;
  const auto path = WidePath(dir / "file.wmv");
  HostRecord record, video, audio;
  record.Container("WWMV").Video("WMV2", 64, 48, 25.0).Audio("WMA8", 48000, 2);
  video.Video("WMV2", 64, 48, 25.0);
  audio.Audio("WMA8", 48000, 2);
  const HostPicture picture(64, 48);
  const HostPcm sound(1920, 2, 48000);
  const uint8_t extra[] = {1, 0, 0, 0, 9, 1, 0, 0, 0, 8};
  FailEveryAllocationInTurn([&]() -> const char* {
    const void* tables[3] = {};
    const char* names[3] = {"GetEncoders", "GetFileFormats", "GetFileMultiStreamFormats"};
    for (int i = 0; i < 3; ++i) {
      if (const char* escaped = Escapes(names[i], [&] { tables[i] = Table(names[i]); })) return escaped;
      if (tables[i] == nullptr) return "a discovery export (a null table)";
    }
    const SingleStreamRow slots = SingleStreamSlots(tables[1], "WWMV");
    void* file = nullptr;
    int32_t results[2] = {};
    const char* escaped = Escapes("CreateMediaFile", [&] { file = slots.create(path.c_str(), record.get(), 1000); });
    if (!escaped && file) escaped = Escapes("WriteVideoFrame", [&] { results[0] = slots.writeVideo(file, picture.frame(), 0); });
    if (!escaped && file) escaped = Escapes("WriteAudioFrame", [&] { results[1] = slots.writeAudio(file, sound.frame(), 0, 1); });
    if (!escaped && file) escaped = Escapes("CloseMediaFile", [&] { slots.close(file); });
    if (escaped || results[0] < 0 || results[0] > 1 || results[1] < 0 || results[1] > 1) return escaped ? escaped : "a write";

    // In turn, with nothing of the test's own allocating in between.
    const MultiStreamRow multi = MultiStreamSlots(tables[2], "WWMV");
    escaped = Escapes("CreateMediaFileMultiStream", [&] { file = multi.create(); });
    if (escaped != nullptr || file == nullptr) return escaped;
    if (!escaped) escaped = Escapes("AddStreamInfoMultiStream", [&] { multi.addStream(file, KX_STREAMTYPE_VIDEO, 1, 0, 0, video.get()); });
    if (!escaped) escaped = Escapes("AddStreamInfoMultiStream", [&] { multi.addStream(file, KX_STREAMTYPE_AUDIO, 1, 1, 1, audio.get()); });
    if (!escaped) escaped = Escapes("InitMediaFileMultiStream", [&] { multi.init(file, FourCC("WWMV"), path.c_str(), 1000); });
    if (!escaped) escaped = Escapes("WriteExtraDataMultiStream", [&] { multi.writeExtraData(file, 0, extra, sizeof extra); });
    if (!escaped) escaped = Escapes("WriteFrameMultiStream", [&] { multi.writeFrame(file, 0, picture.frame(), 0); });
    if (!escaped) escaped = Escapes("WriteFrameMultiStream", [&] { multi.writeFrame(file, 1, sound.frame(), 0); });
    return escaped ? escaped : Escapes("CloseMediaFileMultiStream", [&] { multi.close(file); });
  });
}

}  // namespace
}  // namespace kx::test
