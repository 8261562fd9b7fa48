#include "host_view.h"

#include "plugin_loader.h"

namespace kxtest {

namespace {
using SetSinkFn = void (*)(void (*)(void*, const kx_wchar*), void*);
}

LogCapture::LogCapture() {
  const auto setSink = LogLibrary().Function<SetSinkFn>("ZqLog_SetSink");
  if (setSink == nullptr) return;
  setSink(&LogCapture::Receive, this);
  active_ = true;
}

LogCapture::~LogCapture() {
  const auto setSink = LogLibrary().Function<SetSinkFn>("ZqLog_SetSink");
  if (setSink != nullptr) setSink(nullptr, nullptr);
}

std::vector<std::string> LogCapture::Records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

void LogCapture::Receive(void* context, const kx_wchar* text) {
  auto* self = static_cast<LogCapture*>(context);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->records_.push_back(text != nullptr ? Ascii(text) : std::string("<null record>"));
}

}  // namespace kxtest
