#include "kxdiag/log.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include <kx_traxel/zq_log.h>

#include "kxformat/format.h"

namespace {

// Both buffers of a line live on the stack: 4095 characters and a terminator.
constexpr int kLineCapacity = 4096;
// Room for the fallback texts of HresultText.
constexpr size_t kFallbackCapacity = 32;

const kx_wchar* LevelTemplate(int level) {
  switch (level) {
    case kLogError: return KX_W("kx_Traxel error %s\n");
    case kLogWarning: return KX_W("kx_Traxel warning %s\n");
    case kLogInfo: return KX_W("kx_Traxel info %s\n");
    default: return nullptr;  // any other level writes nothing
  }
}

}  // namespace

void LogAtLevel(int level, const char* format, ...) {
  const kx_wchar* levelTemplate = LevelTemplate(level);
  if (levelTemplate == nullptr) return;

  char line[kLineCapacity];
  va_list args;
  va_start(args, format);
  kx::fmt::FormatNarrowV(line, sizeof line, format, args);  // cut after 4095 characters
  va_end(args);

  WCHAR wide[kLineCapacity] = {};
  const int narrowLength = static_cast<int>(std::strlen(line));
  if (MultiByteToWideChar(CP_ACP, 0, line, -1, wide, narrowLength + 1) == 0 && narrowLength > 0) {
    // The system could not convert the line: keep its ASCII part readable
    // rather than log an empty line.
    for (int i = 0; i < narrowLength; ++i) {
      const unsigned char c = static_cast<unsigned char>(line[i]);
      wide[i] = static_cast<WCHAR>(c < 0x80 ? c : '?');
    }
    wide[narrowLength] = 0;
  }
  LogPrintW(levelTemplate, wide);
}

HresultText::HresultText(HRESULT hr) {
  WCHAR* systemText = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                     reinterpret_cast<LPWSTR>(&systemText), 0, nullptr);
  if (length > 0 && systemText != nullptr) {
    if (length > 1 && systemText[length - 1] == WCHAR('\n')) {
      systemText[length - 1] = 0;
      if (systemText[length - 2] == WCHAR('\r')) systemText[length - 2] = 0;
    }
    text_ = systemText;
    return;
  }
  if (systemText != nullptr) LocalFree(systemText);

  text_ = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, kFallbackCapacity * sizeof(WCHAR)));
  if (text_ == nullptr) return;
  const uint32_t code = static_cast<uint32_t>(hr);
  if (code >= 0x80040200u && code <= 0x8004FFFFu && (code & 0xFFFFu) != 0x0200u) {
    kx::fmt::FormatWide(text_, kFallbackCapacity, KX_W("IDispatch error #%d"),
                        static_cast<int>(code & 0xFFFFu) - 0x200);
  } else {
    kx::fmt::FormatWide(text_, kFallbackCapacity, KX_W("Unknown error 0x%0lX"), code);
  }
}

HresultText::~HresultText() {
  if (text_ != nullptr) LocalFree(text_);
}

const WCHAR* HresultText::c_str() const {
  static const WCHAR kEmpty[1] = {0};
  return text_ != nullptr ? text_ : kEmpty;
}

HRESULT MfCheck(HRESULT hr, const char* callText, int level) {
  if (FAILED(hr)) {
    HresultText text(hr);
    LogAtLevel(level, "[Media Foundation ]: %s failed,  %S (0x%08lx)", callText, text.c_str(),
               static_cast<uint32_t>(hr));
  }
  return hr;
}

HRESULT MuxerCheck(HRESULT hr, const char* callText, int level) {
  if (FAILED(hr)) {
    HresultText text(hr);
    LogAtLevel(level, "[Media Foundation %s: '%s']: %s failed,  %S (0x%08lx)", "MuxerWMV", "MuxerWMV", callText,
               text.c_str(), static_cast<uint32_t>(hr));
  }
  return hr;
}
