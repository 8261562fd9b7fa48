// What kx-host needs of the operating system, one implementation per system
// (os_posix.cpp, os_windows.cpp): loading the plug-in by path, files named in
// UTF-8, the terminal, and knowing when the plug-in's close threads are done.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kxhost {

// The program's arguments as UTF-8 (Windows: the wide command line).
std::vector<std::string> ProgramArguments(int argc, char** argv);

// The folder holding this program, with a trailing separator; "" if unknown.
std::string ProgramFolder();

// The plug-in's file name on this system ("kx_Traxel.so" / "kx_Traxel.dll").
const char* PluginFileName();

// A loaded library; null handle when the load failed (`error` says why).
struct Library {
  void* handle = nullptr;
  std::string error;
};
Library LoadLibraryByPath(const std::string& utf8Path);
void* LibrarySymbol(void* handle, const char* name);

// The log library the plug-in imports, as loaded with it: its ZqLog_SetSink,
// or null when it has none.
void* LogSinkSetterOf(void* pluginHandle);

// Unloads the plug-in and returns once every file it closed is complete:
// on Linux the unload itself waits for the close threads; on Windows each
// close thread holds the DLL until it ends, so this waits until the DLL is
// gone from the process.
void UnloadPluginAndWait(void* handle, const std::string& utf8Path);

// Files named in UTF-8.
std::FILE* OpenFile(const std::string& utf8Path, const char* mode);
void SetBinaryMode(std::FILE* file);  // standard input on Windows
bool FileExists(const std::string& utf8Path);
int64_t FileSize(const std::string& utf8Path);  // -1 when it cannot be read
bool RemoveFile(const std::string& utf8Path);
// Renames over an existing file of that name.
bool RenameOver(const std::string& utf8From, const std::string& utf8To, std::string& error);

// True when the two paths name one file (through links: device and inode,
// on Windows the volume and file ID); false when either cannot be read.
bool SameFile(const std::string& utf8A, const std::string& utf8B);
bool IsFolder(const std::string& utf8Path);

// From now on SIGINT, SIGTERM and SIGHUP (not when SIGHUP was ignored, as
// under nohup) set the flag Interrupted() reads instead of ending the
// process, and wake the main thread from a blocking read (which then fails,
// EINTR); SIGPIPE is ignored, so that a closed standard output is a failed
// write. On Windows: Ctrl-C, Ctrl-Break and the console's close, the main
// thread's read cancelled.
void CatchInterrupts();
bool Interrupted();

// The thread that constructs it, for another thread to end a blocking read
// of it: the read fails (EINTR; on Windows cancelled) and the reader then
// looks at why. Wake again if the reader was not yet in its read.
class ThreadWaker {
 public:
  ThreadWaker();
  ~ThreadWaker();
  ThreadWaker(const ThreadWaker&) = delete;
  ThreadWaker& operator=(const ThreadWaker&) = delete;
  void Wake() const;

 private:
  uintptr_t thread_ = 0;
};

bool StandardErrorIsTerminal();
int ProcessId();
double SecondsNow();  // a steady clock

}  // namespace kxhost
