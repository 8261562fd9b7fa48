#include "text_convert.h"

#include "kxplatform/mf.h"

namespace kx::fmt::detail {

int NarrowToWide(const char* text, int length, kx_wchar* out, int capacity) {
  if (length <= 0) return 0;
  return MultiByteToWideChar(CP_ACP, 0, text, length, capacity > 0 ? out : nullptr, capacity);
}

int WideToNarrow(const kx_wchar* text, int length, char* out, int capacity) {
  if (length <= 0) return 0;
  return WideCharToMultiByte(CP_ACP, 0, text, length, capacity > 0 ? out : nullptr, capacity, nullptr, nullptr);
}

}  // namespace kx::fmt::detail
