// The ANSI code page where it is UTF-8 (Linux).
#include "kxtext/ansi.h"

#include <climits>

#include "kxtext/utf.h"

namespace kx::text {
namespace {

template <typename In, typename Out>
int Convert(Converted (*convert)(const In*, size_t, Out*, size_t, OnInvalid), const In* in, int length, Out* out,
            int capacity) {
  if (in == nullptr || length <= 0 || capacity < 0 || (capacity > 0 && out == nullptr)) return 0;
  const Converted converted = convert(in, static_cast<size_t>(length), capacity > 0 ? out : nullptr,
                                      static_cast<size_t>(capacity), OnInvalid::kReplace);
  if (converted.status != Status::kOk || converted.length > INT_MAX) return 0;
  return static_cast<int>(converted.length);
}

}  // namespace

int AnsiToUtf16(const char* in, int length, kx_wchar* out, int capacity) {
  return Convert<char, kx_wchar>(Utf8ToUtf16, in, length, out, capacity);
}

int Utf16ToAnsi(const kx_wchar* in, int length, char* out, int capacity) {
  return Convert<kx_wchar, char>(Utf16ToUtf8, in, length, out, capacity);
}

}  // namespace kx::text
