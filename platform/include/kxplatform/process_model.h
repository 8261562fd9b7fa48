// How the operating system ends a process, as far as the library's own
// threads are concerned.
#pragma once

namespace kx {

// True when a normal process exit destroys the library's static objects while
// the threads it started are still running (Linux: exit() runs static
// destructors first and ends the other threads afterwards), so a static
// object can wait there for them. False on Windows: ExitProcess ends every
// other thread before any DLL is detached, so such a wait could never end,
// and a thread the library started may have been cut off while it held a
// lock.
#if defined(_WIN32)
inline constexpr bool kLibraryThreadsOutliveStaticTeardown = false;
#else
inline constexpr bool kLibraryThreadsOutliveStaticTeardown = true;
#endif

}  // namespace kx
