// Memory runs out in the middle of a host's create-write-close: the N-th
// operator new made on the host's thread throws std::bad_alloc, for every N
// until a whole run makes fewer allocations than N. Whatever fails, the
// exception stays inside the plug-in: every slot returns its failure result
// (or its success), the close returns, and everything the close started
// ends. Runs through the real tables of the plug-in loaded by path, single-
// stream and multi-stream. The replacement operator new below is what every
// library in the process calls; the sanitizer build brings its own, so this
// program is not part of it.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <thread>

#include "host_view.h"
#include "temp_dir.h"

namespace {

// Allocations left on the armed thread before one fails; 0: none fails.
thread_local long t_allocationsBeforeFailure = 0;
thread_local bool t_failed = false;

void* Allocate(std::size_t size) {
  if (t_allocationsBeforeFailure > 0 && --t_allocationsBeforeFailure == 0) {
    t_failed = true;
    throw std::bad_alloc();
  }
  if (void* pointer = std::malloc(size != 0 ? size : 1)) return pointer;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* pointer) noexcept { std::free(pointer); }
void operator delete[](void* pointer) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { std::free(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { std::free(pointer); }

namespace kx::test {
namespace {

size_t ThreadCount() {
  size_t count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

// Everything a close started has ended once the process is back to its
// threads from before the create.
bool WaitForThreads(size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ThreadCount() > count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

constexpr uint32_t kWidth = 64, kHeight = 48;

// Runs `host` with the N-th allocation of this thread failing, for N = 1, 2,
// ... until a run no longer reaches its N-th allocation. `host` reports a
// slot that let an exception through by returning its name (a literal: no
// allocation), null when every slot kept its exceptions.
template <typename Host>
void FailEveryAllocationInTurn(Host host) {
  size_t threadsBefore = ThreadCount();
  for (long n = 1;; ++n) {
    t_failed = false;
    t_allocationsBeforeFailure = n;
    const char* escaped = host();
    const bool failed = t_failed;
    t_allocationsBeforeFailure = 0;
    EXPECT_EQ(escaped, nullptr) << "an exception left " << escaped << " when allocation " << n << " failed";
    if (escaped == nullptr) {
      ASSERT_TRUE(WaitForThreads(threadsBefore)) << "the close never ended when allocation " << n << " failed";
    } else {
      // What the escape left behind (a handle the host never got) stays.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      threadsBefore = std::max(threadsBefore, ThreadCount());
    }
    if (!failed) {
      std::printf("%ld allocations on the host's thread, each failed once\n", n - 1);
      return;
    }
  }
}

// Calls one slot; true when an exception came out of it.
template <typename Call>
bool Escapes(Call call) {
  try {
    call();
    return false;
  } catch (...) {
    t_allocationsBeforeFailure = 0;
    return true;
  }
}

TEST(OutOfMemory, SingleStreamSlotsCatchEverything) {
  ASSERT_TRUE(Plugin().loaded()) << Plugin().error();
  const SingleStreamRow slots = SingleStreamSlots(SingleStreamRowOf("WWMV"));
  const TempDir dir;
  const auto path = WidePath(dir / "single.wmv");
  HostRecord record;
  record.Container("WWMV").Video("WMV2", kWidth, kHeight, 25.0).Audio("WMA8", 48000, 2);
  const HostPicture picture(kWidth, kHeight);
  const HostPcm sound(1920, 2, 48000);

  FailEveryAllocationInTurn([&]() -> const char* {
    void* file = nullptr;
    if (Escapes([&] { file = slots.create(path.c_str(), record.get(), 1000); })) return "CreateMediaFile";
    if (file == nullptr) return nullptr;
    int32_t result = 0;
    if (Escapes([&] { result = slots.writeVideo(file, picture.frame(), 0); })) return "WriteVideoFrame";
    if (result != 0 && result != 1) return "WriteVideoFrame (a result other than 0 or 1)";
    if (Escapes([&] { result = slots.writeAudio(file, sound.frame(), 0, 1); })) return "WriteAudioFrame";
    if (result != 0 && result != 1) return "WriteAudioFrame (a result other than 0 or 1)";
    if (Escapes([&] { slots.close(file); })) return "CloseMediaFile";
    return nullptr;
  });
}

TEST(OutOfMemory, MultiStreamSlotsCatchEverything) {
  ASSERT_TRUE(Plugin().loaded()) << Plugin().error();
  const MultiStreamRow slots = MultiStreamSlots(MultiStreamRowOf("WWMV"));
  const TempDir dir;
  const auto path = WidePath(dir / "multi.wmv");
  HostRecord video, audio;
  video.Video("WMV2", kWidth, kHeight, 25.0);
  audio.Audio("WMA8", 48000, 2);
  const HostPicture picture(kWidth, kHeight);
  const HostPcm sound(1920, 2, 48000);
  const uint8_t extra[] = {1, 0, 0, 0, 9, 1, 0, 0, 0, 8};

  FailEveryAllocationInTurn([&]() -> const char* {
    void* file = nullptr;
    if (Escapes([&] { file = slots.create(); })) return "CreateMediaFileMultiStream";
    if (file == nullptr) return nullptr;
    if (Escapes([&] { slots.addStream(file, KX_STREAMTYPE_VIDEO, 1, 0, 0, video.get()); })) {
      return "AddStreamInfoMultiStream";
    }
    if (Escapes([&] { slots.addStream(file, KX_STREAMTYPE_AUDIO, 1, 1, 1, audio.get()); })) {
      return "AddStreamInfoMultiStream";
    }
    if (Escapes([&] { slots.init(file, FourCC("WWMV"), path.c_str(), 1000); })) return "InitMediaFileMultiStream";
    if (Escapes([&] { slots.writeExtraData(file, 0, extra, sizeof extra); })) return "WriteExtraDataMultiStream";
    if (Escapes([&] { slots.writeFrame(file, 0, picture.frame(), 0); })) return "WriteFrameMultiStream";
    if (Escapes([&] { slots.writeFrame(file, 1, sound.frame(), 0); })) return "WriteFrameMultiStream";
    if (Escapes([&] { slots.close(file); })) return "CloseMediaFileMultiStream";
    return nullptr;
  });
}

TEST(OutOfMemory, DiscoveryExportsCatchEverything) {
  ASSERT_TRUE(Plugin().loaded()) << Plugin().error();
  const auto getEncoders = Plugin().Function<const void* (*)()>("GetEncoders");
  FailEveryAllocationInTurn([&]() -> const char* {
    const void* table = nullptr;
    if (Escapes([&] { table = getEncoders(); })) return "GetEncoders";
    if (Escapes([&] { table = FileFormatTableOfPlugin(); })) return "GetFileFormats";
    if (Escapes([&] { table = MultiStreamTableOfPlugin(); })) return "GetFileMultiStreamFormats";
    return table != nullptr ? nullptr : "a discovery export (null table)";
  });
}

}  // namespace
}  // namespace kx::test
