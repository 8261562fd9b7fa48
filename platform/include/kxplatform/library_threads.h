// Threads that the library starts and that must end before the library goes
// away: no code of the library, and none of the objects it handed to them,
// may run after the library is unloaded.
//
// Linux: every thread is joined. Finished threads are joined when the next
// one starts, and the library's static LibraryThreads object joins the rest
// when it is destroyed: at dlclose, or at a normal process exit (exit() runs
// the destructors of loaded libraries while the other threads still run). A
// join returns only once the thread has ended, so nothing of the library is
// left on it. What a thread uses while the destructor waits must not be a
// static object destroyed before it: the library's and the layer's statics
// that such threads touch are trivially destructible or never destroyed.
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
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#endif

namespace kx {

#if defined(_WIN32)

class LibraryThreads {
 public:
  LibraryThreads() = default;
  LibraryThreads(const LibraryThreads&) = delete;
  LibraryThreads& operator=(const LibraryThreads&) = delete;

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

#else

class LibraryThreads {
 public:
  LibraryThreads() = default;
  LibraryThreads(const LibraryThreads&) = delete;
  LibraryThreads& operator=(const LibraryThreads&) = delete;

  ~LibraryThreads() { JoinAll(); }

  // Runs task on a new thread. False when no thread could be started; the
  // task has then not run and the caller still owns the work.
  bool Start(std::function<void()> task) noexcept {
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      JoinFinished();
      Entry& entry = threads_.emplace_back();
      try {
        entry.thread = std::thread([&entry, work = std::move(task)] {
          work();
          entry.finished.store(true, std::memory_order_release);
        });
      } catch (...) {
        threads_.pop_back();
        throw;
      }
      return true;
    } catch (...) {
      return false;
    }
  }

  // Waits until every thread started so far has ended.
  void JoinAll() noexcept {
    std::list<Entry> running;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      running.swap(threads_);
    }
    for (Entry& entry : running) Join(entry);
  }

  // Threads started and not yet joined (finished or not).
  size_t Count() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_.size();
  }

 private:
  struct Entry {
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  // A finished thread has at most its return left to run: the join is short.
  void JoinFinished() {
    for (auto it = threads_.begin(); it != threads_.end();) {
      if (it->finished.load(std::memory_order_acquire)) {
        Join(*it);
        it = threads_.erase(it);
      } else {
        ++it;
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

  std::mutex mutex_;
  std::list<Entry> threads_;
};

#endif

}  // namespace kx
