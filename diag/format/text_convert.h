// Narrow <-> UTF-16 conversion of string arguments in the ANSI code page.
#pragma once

#include <kx_traxel/kx_types.h>

namespace kx::fmt::detail {

// Both work like the Win32 calls they wrap: with capacity 0 they return the
// number of units needed; otherwise the number written; 0 on failure. The
// source is `length` units long (no terminator is read or written).
int NarrowToWide(const char* text, int length, kx_wchar* out, int capacity);
int WideToNarrow(const kx_wchar* text, int length, char* out, int capacity);

}  // namespace kx::fmt::detail
