// The printf engine of kx_Traxel and ZQ_Log, with the Windows conventions
// the log lines rely on, producing narrow (ANSI code page) or UTF-16 text.
//
// Conversions: %d %i %u %o %x %X %c %C %s %S %p %f %F %e %E %g %G %a %A %%,
// flags - + blank # 0, width and precision (both may be *), modifiers
// h hh l ll L w z j t I I32 I64. `l` is 32 bits, as Windows' long.
//
// Strings and characters: in a narrow format %s is narrow and %S wide; in a
// wide format %s is wide and %S narrow. %hs / %hc are always narrow, %ls /
// %ws / %lc / %wc always wide. A string of the other width is converted with
// the ANSI code page (kxtext/ansi.h: Windows' CP_ACP, UTF-8 on Linux). A
// null string prints "(null)". The precision of a string counts the units of
// the argument read at most.
//
// %p prints 16 upper-case hexadecimal digits. %n writes nothing (its pointer
// argument is consumed). An unknown conversion is copied as it stands.
#pragma once

#include <cstdarg>
#include <cstddef>

#include <kx_traxel/kx_types.h>

namespace kx::fmt {

// Like vsnprintf: writes at most capacity - 1 units and a terminator (when
// capacity > 0) and returns the length the whole text needs, without the
// terminator; -1 if it exceeds INT_MAX.
int FormatNarrowV(char* out, size_t capacity, const char* format, va_list args);
int FormatWideV(kx_wchar* out, size_t capacity, const kx_wchar* format, va_list args);

int FormatNarrow(char* out, size_t capacity, const char* format, ...);
int FormatWide(kx_wchar* out, size_t capacity, const kx_wchar* format, ...);

}  // namespace kx::fmt
