// Win32 event objects and the thread's last-error value.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "kxplatform/mf.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

struct Event {
  Event(bool manual, bool signalled) : manualReset(manual), signalled(signalled) {}
  const bool manualReset;
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled;
};

// Handles are numbers, never addresses, and are looked up in a table, so a
// closed or made-up handle is reported as invalid instead of being followed.
// Each lookup hands out shared ownership: a waiter keeps its event alive even
// if another thread closes the handle meanwhile.
class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<Event> event) {
    std::lock_guard<std::mutex> lock(mutex_);
    next_ += 4;
    if (next_ == 0) next_ = 4;
    const auto handle = reinterpret_cast<HANDLE>(next_);
    events_[handle] = std::move(event);
    return handle;
  }
  std::shared_ptr<Event> Find(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = events_.find(handle);
    return it == events_.end() ? nullptr : it->second;
  }
  bool Remove(HANDLE handle) {
    std::shared_ptr<Event> removed;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = events_.find(handle);
    if (it == events_.end()) return false;
    removed = std::move(it->second);
    events_.erase(it);
    return true;
  }

 private:
  std::mutex mutex_;
  uintptr_t next_ = 0x10000;
  std::unordered_map<HANDLE, std::shared_ptr<Event>> events_;
};

HandleTable& Handles() {
  static HandleTable* table = new HandleTable();  // outlives every static destructor
  return *table;
}

std::shared_ptr<Event> FindEvent(HANDLE handle) {
  std::shared_ptr<Event> event = Handles().Find(handle);
  if (event == nullptr) lastError = ERROR_INVALID_HANDLE;
  return event;
}

}  // namespace

extern "C" {

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

// Names and security attributes are not supported: every event is private.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  if (lpName != nullptr && lpName[0] != 0) {
    lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  std::shared_ptr<Event> event(new (std::nothrow) Event(bManualReset != FALSE, bInitialState != FALSE));
  if (event == nullptr) {
    lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  lastError = ERROR_SUCCESS;
  return Handles().Add(std::move(event));
}

BOOL SetEvent(HANDLE hEvent) {
  std::shared_ptr<Event> event = FindEvent(hEvent);
  if (event == nullptr) return FALSE;
  {
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signalled = true;
  }
  if (event->manualReset) {
    event->changed.notify_all();
  } else {
    event->changed.notify_one();
  }
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  std::shared_ptr<Event> event = FindEvent(hEvent);
  if (event == nullptr) return FALSE;
  std::lock_guard<std::mutex> lock(event->mutex);
  event->signalled = false;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  std::shared_ptr<Event> event = FindEvent(hHandle);
  if (event == nullptr) return WAIT_FAILED;
  std::unique_lock<std::mutex> lock(event->mutex);
  const auto isSignalled = [&] { return event->signalled; };
  if (dwMilliseconds == INFINITE) {
    event->changed.wait(lock, isSignalled);
  } else if (!event->changed.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), isSignalled)) {
    return WAIT_TIMEOUT;
  }
  if (!event->manualReset) event->signalled = false;  // an auto-reset event releases one waiter
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE hObject) {
  if (!Handles().Remove(hObject)) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
