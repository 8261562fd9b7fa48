#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "os.h"

namespace kxhost {

std::vector<std::string> ProgramArguments(int argc, char** argv) { return {argv, argv + argc}; }

std::string ProgramFolder() {
  std::string path(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<size_t>(length) >= path.size()) return "";
  path.resize(static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1);
}

const char* PluginFileName() { return "kx_Traxel.so"; }

Library LoadLibraryByPath(const std::string& utf8Path) {
  Library library;
  library.handle = dlopen(utf8Path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library.handle == nullptr) {
    const char* text = dlerror();
    library.error = text != nullptr ? text : "dlopen failed";
  }
  return library;
}

void* LibrarySymbol(void* handle, const char* name) { return dlsym(handle, name); }

// dlsym on the plug-in's handle also searches the libraries it imports.
void* LogSinkSetterOf(void* pluginHandle) { return dlsym(pluginHandle, "ZqLog_SetSink"); }

// dlclose of the plug-in waits until its close threads have ended.
void UnloadPluginAndWait(void* handle, const std::string&) { dlclose(handle); }

std::FILE* OpenFile(const std::string& utf8Path, const char* mode) { return std::fopen(utf8Path.c_str(), mode); }
void SetBinaryMode(std::FILE*) {}

bool FileExists(const std::string& utf8Path) {
  struct stat status{};
  return stat(utf8Path.c_str(), &status) == 0;
}

int64_t FileSize(const std::string& utf8Path) {
  struct stat status{};
  if (stat(utf8Path.c_str(), &status) != 0) return -1;
  return static_cast<int64_t>(status.st_size);
}

bool RemoveFile(const std::string& utf8Path) { return unlink(utf8Path.c_str()) == 0; }

bool RenameOver(const std::string& utf8From, const std::string& utf8To, std::string& error) {
  if (rename(utf8From.c_str(), utf8To.c_str()) == 0) return true;
  error = std::strerror(errno);
  return false;
}

bool SameFile(const std::string& utf8A, const std::string& utf8B) {
  struct stat a{}, b{};
  return stat(utf8A.c_str(), &a) == 0 && stat(utf8B.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool IsFolder(const std::string& utf8Path) {
  struct stat status{};
  return stat(utf8Path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

namespace {

std::atomic<bool> interrupted{false};
pthread_t mainThread;

// Installed without SA_RESTART, so that a read under way fails with EINTR.
void Install(int signalNumber, void (*handler)(int)) {
  struct sigaction action{};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signalNumber, &action, nullptr);
}

// Whichever thread the signal reaches, the main thread's read is woken too.
extern "C" void OnInterrupt(int signalNumber) {
  const int savedErrno = errno;
  interrupted = true;
  if (!pthread_equal(pthread_self(), mainThread)) pthread_kill(mainThread, signalNumber);
  errno = savedErrno;
}

extern "C" void OnWake(int) {}

}  // namespace

void CatchInterrupts() {
  mainThread = pthread_self();
  Install(SIGINT, OnInterrupt);
  Install(SIGTERM, OnInterrupt);
  struct sigaction hangup{};
  if (sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN) Install(SIGHUP, OnInterrupt);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);  // a file size limit: a failed write, not the end
}

bool Interrupted() { return interrupted; }

// SIGUSR2 wakes a reader: its handler does nothing, the read fails.
ThreadWaker::ThreadWaker() {
  static const bool installed = (Install(SIGUSR2, OnWake), true);
  (void)installed;
  thread_ = static_cast<uintptr_t>(pthread_self());
}
ThreadWaker::~ThreadWaker() = default;
void ThreadWaker::Wake() const { pthread_kill(static_cast<pthread_t>(thread_), SIGUSR2); }

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }
int ProcessId() { return static_cast<int>(getpid()); }
double SecondsNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace kxhost
