// The ANSI code page of Windows: the system's own conversion.
#include "kxtext/ansi.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace kx::text {

int AnsiToUtf16(const char* in, int length, kx_wchar* out, int capacity) {
  if (in == nullptr || length <= 0) return 0;
  return MultiByteToWideChar(CP_ACP, 0, in, length, capacity > 0 ? out : nullptr, capacity);
}

int Utf16ToAnsi(const kx_wchar* in, int length, char* out, int capacity) {
  if (in == nullptr || length <= 0) return 0;
  return WideCharToMultiByte(CP_ACP, 0, in, length, capacity > 0 ? out : nullptr, capacity, nullptr, nullptr);
}

}  // namespace kx::text
