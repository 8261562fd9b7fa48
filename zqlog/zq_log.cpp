// ZQ_Log: turns each LogTextW / LogPrintW call into one record.
//
// Destination: the file named by ZQ_LOG_FILE (opened once, appended, UTF-8),
// else standard error. A record is "<time> <thread> <text>" with the time in
// ISO 8601 UTC with milliseconds ("2026-01-31T12:00:00.123Z"), the thread id
// in decimal, and a line feed added only when the text does not end in one.
// One mutex and one write per record: records never interleave. A sink set
// with ZqLog_SetSink receives the record's exact UTF-16 text instead.
#include <kx_traxel/zq_log.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "kxformat/format.h"
#include "kxtext/utf.h"
#include "utc_time.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

struct LogState {
  // Recursive: a sink may itself log without deadlocking.
  std::recursive_mutex mutex;
  ZqLogSink sink = nullptr;
  void* sinkContext = nullptr;
  std::FILE* file = nullptr;
  bool destinationChosen = false;
};

// Never destroyed, so that records written while the process exits (close
// threads, static destructors) still find it. It lives in this library's own
// storage, not on the heap: a host that unloads the library loses nothing.
LogState& State() {
  alignas(LogState) static unsigned char storage[sizeof(LogState)];
  static LogState* state = new (storage) LogState;
  return *state;
}

uint64_t CurrentThreadId() {
#if defined(_WIN32)
  return GetCurrentThreadId();
#else
  return static_cast<uint64_t>(syscall(SYS_gettid));
#endif
}

std::FILE* OpenLogFile() {
#if defined(_WIN32)
  const wchar_t* path = _wgetenv(L"ZQ_LOG_FILE");
  if (path == nullptr || path[0] == 0) return nullptr;
  return _wfopen(path, L"ab");
#else
  const char* path = std::getenv("ZQ_LOG_FILE");
  if (path == nullptr || path[0] == 0) return nullptr;
  return std::fopen(path, "ab");
#endif
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ" for the current UTC time.
void AppendTimestamp(std::string& out) {
  const kx::zqlog::UtcTime now = kx::zqlog::UtcNow();
  char text[40];
  const int length = kx::fmt::FormatNarrow(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", now.year,
                                           now.month, now.day, now.hour, now.minute, now.second, now.millisecond);
  if (length > 0) out.append(text, static_cast<size_t>(length));
}

int WriteRecord(const kx_wchar* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;

  LogState& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  if (state.sink != nullptr) {
    state.sink(state.sinkContext, text);
    return static_cast<int>(length);
  }

  std::string record;
  record.reserve(length + 48);
  AppendTimestamp(record);
  record += ' ';
  record += std::to_string(CurrentThreadId());
  record += ' ';
  // UTF-8; an unpaired surrogate becomes U+FFFD, as Windows converts it.
  record += kx::text::Utf16ToUtf8(kx::text::WideStringView(text, length));
  if (length == 0 || text[length - 1] != kx_wchar('\n')) record += '\n';

  if (!state.destinationChosen) {
    state.destinationChosen = true;
    state.file = OpenLogFile();
  }
  std::FILE* destination = state.file != nullptr ? state.file : stderr;
  std::fwrite(record.data(), 1, record.size(), destination);
  std::fflush(destination);
  return static_cast<int>(length);
}

}  // namespace

extern "C" {

// No exception leaves a C export: a record that cannot be built (memory is
// short) is dropped and 0 returned.
ZQ_LOG_API int LogTextW(const kx_wchar* text) {
  if (text == nullptr) return 0;
  try {
    return WriteRecord(text);
  } catch (...) {
    return 0;
  }
}

ZQ_LOG_API int LogPrintW(const kx_wchar* format, ...) {
  if (format == nullptr) return 0;
  kx_wchar local[1024];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = kx::fmt::FormatWideV(local, sizeof local / sizeof local[0], format, args);
  va_end(args);
  int result = 0;
  try {
    if (needed >= 0 && static_cast<size_t>(needed) < sizeof local / sizeof local[0]) {
      result = WriteRecord(local);
    } else if (needed >= 0) {
      std::vector<kx_wchar> big(static_cast<size_t>(needed) + 1);
      kx::fmt::FormatWideV(big.data(), big.size(), format, again);
      result = WriteRecord(big.data());
    }
  } catch (...) {
    result = 0;
  }
  va_end(again);
  return result;
}

ZQ_LOG_API void ZqLog_SetSink(ZqLogSink sink, void* context) {
  try {
    LogState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    state.sink = sink;
    state.sinkContext = sink != nullptr ? context : nullptr;
  } catch (...) {
  }
}

}  // extern "C"
