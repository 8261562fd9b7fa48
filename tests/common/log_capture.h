// Collects the records ZQ_Log hands to its sink while it lives, as UTF-8;
// the default destination comes back when it goes. Records may arrive from
// any thread. Tests that link ZQ_Log use the default; a host-style test that
// loaded the log library at run time passes the ZqLog_SetSink it found.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <kx_traxel/zq_log.h>

#include "wide_text.h"

namespace kx::test {

class LogCapture {
 public:
  using SetSinkFn = void (*)(ZqLogSink, void*);

  explicit LogCapture(SetSinkFn setSink = &ZqLog_SetSink) : setSink_(setSink) {
    if (setSink_ != nullptr) setSink_(&LogCapture::Receive, this);
  }
  ~LogCapture() { if (setSink_ != nullptr) setSink_(nullptr, nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool active() const { return setSink_ != nullptr; }
  std::vector<std::string> Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  // The records so far, and forgets them.
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    out.swap(records_);
    return out;
  }
  void Clear() { Take(); }

 private:
  static void Receive(void* context, const kx_wchar* text) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->records_.push_back(ToUtf8(text));
  }

  SetSinkFn setSink_;
  mutable std::mutex mutex_;
  std::vector<std::string> records_;
};

}  // namespace kx::test
