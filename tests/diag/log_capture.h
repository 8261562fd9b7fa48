// Captures the records ZQ_Log receives, through its sink, for one test.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kx_traxel/zq_log.h>

#include "wide_text.h"

namespace kx::test {

class LogCapture : public ::testing::Test {
 protected:
  void SetUp() override { ZqLog_SetSink(&LogCapture::Receive, this); }
  void TearDown() override { ZqLog_SetSink(nullptr, nullptr); }

  // The records so far, as UTF-8, and forgets them.
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    out.swap(records_);
    return out;
  }

 private:
  static void Receive(void* context, const kx_wchar* text) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->records_.push_back(ToUtf8(text));
  }

  std::mutex mutex_;
  std::vector<std::string> records_;
};

}  // namespace kx::test
