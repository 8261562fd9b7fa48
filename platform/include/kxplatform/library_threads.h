// Threads that the library starts and that must end before the library goes
// away: no code of the library, and none of the objects it handed to them,
// may run after the library is unloaded.
//
// Linux: every thread is joined. Finished threads are joined when the next
// one starts, and the library's static CloseAtUnload object joins the rest
// when it is destroyed: at dlclose, or at a normal process exit (exit() runs
// the destructors of loaded libraries while the other threads still run). A
// join returns only once the thread has ended, so nothing of the library is
// left on it. A task handed over while that happens (a host thread closing
// a file while another exits or unloads) runs on its caller's thread, and
// the unload waits for it as well; one handed over after it is refused. The
// LibraryThreads object itself is trivially destructible, so that such a
// late call finds it whole. What a thread uses while the unload waits must
// not be a static object destroyed before it: the library's and the layer's
// statics that such threads touch are trivially destructible or never
// destroyed.
//
// Windows: each thread holds a reference to the library's module and ends
// with FreeLibraryAndExitThread, so a FreeLibrary of the host only unloads
// the library once the last of these threads has ended; nothing waits under
// the loader lock. At process exit the system ends every other thread before
// any DLL is detached: a thread still finishing a file is cut off.
#pragma once

#include <functional>
#include <memory>
#include <new>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <atomic>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
#endif

namespace kx {

// Where LibraryThreads::Run ran a task.
enum class Ran {
  kOnThread,            // on a thread of its own
  kOnCallerNoThread,    // on the caller's thread: no thread could start
  kOnCallerUnloading,   // on the caller's thread: the library is going away
  kRefused,             // not at all: the library has gone past its unload
};

#if defined(_WIN32)

class LibraryThreads {
 public:
  LibraryThreads() = default;
  LibraryThreads(const LibraryThreads&) = delete;
  LibraryThreads& operator=(const LibraryThreads&) = delete;

  // Runs task on a new thread, or on the caller's thread when none can
  // start (`announce`, when given, hears it first).
  Ran Run(const std::function<void()>& task, void (*announce)(Ran) = nullptr) noexcept {
    try {
      if (Start(task)) return Ran::kOnThread;
      if (announce != nullptr) announce(Ran::kOnCallerNoThread);
      task();
    } catch (...) {
      // The task keeps its exceptions.
    }
    return Ran::kOnCallerNoThread;
  }

  // Runs task on a new thread. False when no thread could be started; the
  // task has then not run and the caller still owns the work.
  bool Start(std::function<void()> task) noexcept {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&LibraryThreads::ThreadMain), &self)) {
      return false;
    }
    std::unique_ptr<Work> work(new (std::nothrow) Work{{}, self});
    if (!work) {
      FreeLibrary(self);
      return false;
    }
    try {
      work->task = std::move(task);
    } catch (...) {
      FreeLibrary(self);
      return false;
    }
    HANDLE thread = CreateThread(nullptr, 0, &LibraryThreads::ThreadMain, work.get(), 0, nullptr);
    if (thread == nullptr) {
      FreeLibrary(self);
      return false;
    }
    work.release();
    CloseHandle(thread);
    return true;
  }

 private:
  struct Work {
    std::function<void()> task;
    HMODULE module;
  };

  static DWORD WINAPI ThreadMain(LPVOID parameter) {
    HMODULE module = static_cast<Work*>(parameter)->module;
    {
      std::unique_ptr<Work> work(static_cast<Work*>(parameter));
      try {
        work->task();
      } catch (...) {
        // The task keeps its exceptions; this only keeps the module reference
        // from leaking.
      }
    }
    FreeLibraryAndExitThread(module, 0);
  }
};

// Nothing to wait for at unload: each thread holds the module (see above).
class CloseAtUnload {
 public:
  explicit CloseAtUnload(LibraryThreads&) {}
};

#else

class LibraryThreads {
 public:
  constexpr LibraryThreads() = default;
  LibraryThreads(const LibraryThreads&) = delete;
  LibraryThreads& operator=(const LibraryThreads&) = delete;

  // Runs task on a new thread; on the caller's thread when no thread can
  // start or once Close has begun (Close then waits for it as for a
  // thread); not at all once Close has ended (kRefused: the caller still
  // owns the work). `announce`, when given, hears where it runs before it
  // runs on the caller's thread.
  Ran Run(const std::function<void()>& task, void (*announce)(Ran) = nullptr) noexcept {
    Ran ran = Ran::kOnCallerNoThread;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (state_ == State::kClosed) return Ran::kRefused;
      if (state_ == State::kOpen && StartLocked(task)) return Ran::kOnThread;
      if (state_ == State::kClosing) ran = Ran::kOnCallerUnloading;
      ++onCallers_;
    }
    if (announce != nullptr) announce(ran);
    try {
      task();
    } catch (...) {
      // The task keeps its exceptions.
    }
    std::lock_guard<std::mutex> lock(mutex_);
    --onCallers_;
    return ran;
  }

  // Refuses new threads, then waits until every thread started so far and
  // every task running on a caller's thread has ended; later tasks are
  // refused. Called once, as the library goes away (CloseAtUnload).
  void Close() noexcept {
    Entry* running = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state_ = State::kClosing;
      std::swap(running, threads_);
    }
    while (running != nullptr) {
      Entry* next = running->next;
      Join(*running);
      delete running;
      running = next;
    }
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (onCallers_ == 0) {
          state_ = State::kClosed;
          return;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // Threads started and not yet joined (finished or not).
  size_t Count() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const Entry* entry = threads_; entry != nullptr; entry = entry->next) ++count;
    return count;
  }

 private:
  enum class State { kOpen, kClosing, kClosed };
  struct Entry {
    std::thread thread;
    std::atomic<bool> finished{false};
    Entry* next = nullptr;
  };

  bool StartLocked(const std::function<void()>& task) noexcept {
    JoinFinished();
    auto* entry = new (std::nothrow) Entry;
    if (entry == nullptr) return false;
    try {
      entry->thread = std::thread([entry, work = task] {
        try {
          work();
        } catch (...) {
          // The task keeps its exceptions.
        }
        entry->finished.store(true, std::memory_order_release);
      });
    } catch (...) {
      delete entry;
      return false;
    }
    entry->next = threads_;
    threads_ = entry;
    return true;
  }

  // A finished thread has at most its return left to run: the join is short.
  void JoinFinished() noexcept {
    for (Entry** link = &threads_; *link != nullptr;) {
      Entry* entry = *link;
      if (entry->finished.load(std::memory_order_acquire)) {
        Join(*entry);
        *link = entry->next;
        delete entry;
      } else {
        link = &entry->next;
      }
    }
  }

  static void Join(Entry& entry) noexcept {
    if (!entry.thread.joinable()) return;
    if (entry.thread.get_id() == std::this_thread::get_id()) {
      // exit() called from one of these threads: it cannot wait for itself.
      entry.thread.detach();
      return;
    }
    try {
      entry.thread.join();
    } catch (const std::system_error&) {
      entry.thread.detach();
    }
  }

  // Plain members only: the object is never destroyed (see above), so a
  // late Run during exit still finds it whole.
  std::mutex mutex_;
  State state_ = State::kOpen;
  int onCallers_ = 0;
  Entry* threads_ = nullptr;
};
static_assert(std::is_trivially_destructible_v<LibraryThreads>);

// Closes a LibraryThreads when the library goes away: define it after the
// LibraryThreads, as a static object of the library.
class CloseAtUnload {
 public:
  explicit CloseAtUnload(LibraryThreads& threads) : threads_(threads) {}
  ~CloseAtUnload() { threads_.Close(); }
  CloseAtUnload(const CloseAtUnload&) = delete;
  CloseAtUnload& operator=(const CloseAtUnload&) = delete;

 private:
  LibraryThreads& threads_;
};

#endif

}  // namespace kx
