// Text in the ANSI code page of the system <-> UTF-16, as the printf engine
// converts string arguments of the other width. On Windows these are
// MultiByteToWideChar / WideCharToMultiByte with CP_ACP and no flags; on
// Linux the ANSI code page is UTF-8 and they are the codec of kxtext/utf.h
// with invalid input replaced.
#pragma once

#include <kx_traxel/kx_types.h>

namespace kx::text {

// As the Win32 calls with a counted source: `length` units in (no
// terminator read or written); capacity 0 asks for the units needed;
// otherwise the units written; 0 on failure (also for length <= 0 and for an
// output that is too small).
int AnsiToUtf16(const char* in, int length, kx_wchar* out, int capacity);
int Utf16ToAnsi(const kx_wchar* in, int length, char* out, int capacity);

}  // namespace kx::text
