#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <atomic>
#include <chrono>

#include "os.h"

namespace kxhost {
namespace {

std::wstring WideOf(const std::string& utf8) {
  const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (units <= 0) return L"";
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), units);
  wide.resize(static_cast<size_t>(units - 1));
  return wide;
}

std::string Utf8Of(const wchar_t* wide) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return "";
  std::string text(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), bytes, nullptr, nullptr);
  text.resize(static_cast<size_t>(bytes - 1));
  return text;
}

std::string SystemMessage(DWORD code) {
  return "error " + std::to_string(code);
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(Utf8Of(wide[i]));
  LocalFree(wide);
  return arguments;
}

std::string ProgramFolder() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return "";
  path.resize(length);
  const std::string utf8 = Utf8Of(path.c_str());
  const size_t slash = utf8.find_last_of("\\/");
  return slash == std::string::npos ? "" : utf8.substr(0, slash + 1);
}

const char* PluginFileName() { return "kx_Traxel.dll"; }

Library LoadLibraryByPath(const std::string& utf8Path) {
  Library library;
  // Its imports (ZQ_Log.dll) are looked for beside it first.
  library.handle = reinterpret_cast<void*>(
      LoadLibraryExW(WideOf(utf8Path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (library.handle == nullptr) library.error = "LoadLibraryExW failed, " + SystemMessage(GetLastError());
  return library;
}

void* LibrarySymbol(void* handle, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

// The plug-in imports ZQ_Log.dll by name: the module of that name is the one
// it uses.
void* LogSinkSetterOf(void*) {
  HMODULE log = GetModuleHandleW(L"ZQ_Log.dll");
  return log == nullptr ? nullptr : reinterpret_cast<void*>(GetProcAddress(log, "ZqLog_SetSink"));
}

// FreeLibrary returns at once; each close thread keeps the DLL loaded until
// it ends. Once no module of the plug-in's path is left in the process,
// every close thread has ended and its file is complete.
// The module is looked up by the full path the system gives it (backslashes,
// no "..").
void UnloadPluginAndWait(void* handle, const std::string&) {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(static_cast<HMODULE>(handle), path.data(), static_cast<DWORD>(path.size()));
  path.resize(length < path.size() ? length : 0);
  FreeLibrary(static_cast<HMODULE>(handle));
  if (path.empty()) return;
  while (GetModuleHandleW(path.c_str()) != nullptr) Sleep(20);
}

std::FILE* OpenFile(const std::string& utf8Path, const char* mode) {
  return _wfopen(WideOf(utf8Path).c_str(), WideOf(mode).c_str());
}
void SetBinaryMode(std::FILE* file) { _setmode(_fileno(file), _O_BINARY); }

bool FileExists(const std::string& utf8Path) {
  return GetFileAttributesW(WideOf(utf8Path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

int64_t FileSize(const std::string& utf8Path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(WideOf(utf8Path).c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool RemoveFile(const std::string& utf8Path) { return DeleteFileW(WideOf(utf8Path).c_str()) != 0; }

bool RenameOver(const std::string& utf8From, const std::string& utf8To, std::string& error) {
  if (MoveFileExW(WideOf(utf8From).c_str(), WideOf(utf8To).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  error = SystemMessage(GetLastError());
  return false;
}

namespace {

// The file's volume and ID, opened for no access and without following a
// reparse point further than the system does for a path.
bool FileIdOf(const std::string& utf8Path, BY_HANDLE_FILE_INFORMATION& information) {
  HANDLE file = CreateFileW(WideOf(utf8Path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool read = GetFileInformationByHandle(file, &information) != 0;
  CloseHandle(file);
  return read;
}

std::atomic<bool> interrupted{false};
HANDLE mainThread = nullptr;

HANDLE CurrentThreadHandle() {
  HANDLE thread = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  return thread;
}

// Runs on a thread of its own. Ctrl-C and Ctrl-Break: the main thread ends
// the write; the console's close, log-off and shut-down end the process
// once this returns, so it waits for the main thread to do so first.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  interrupted = true;
  if (mainThread != nullptr) CancelSynchronousIo(mainThread);
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(10000);
  return TRUE;
}

}  // namespace

bool SameFile(const std::string& utf8A, const std::string& utf8B) {
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  return FileIdOf(utf8A, a) && FileIdOf(utf8B, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool IsFolder(const std::string& utf8Path) {
  const DWORD attributes = GetFileAttributesW(WideOf(utf8Path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void CatchInterrupts() {
  if (mainThread == nullptr) mainThread = CurrentThreadHandle();
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Interrupted() { return interrupted; }

ThreadWaker::ThreadWaker() : thread_(reinterpret_cast<uintptr_t>(CurrentThreadHandle())) {}
ThreadWaker::~ThreadWaker() {
  if (thread_ != 0) CloseHandle(reinterpret_cast<HANDLE>(thread_));
}
void ThreadWaker::Wake() const {
  if (thread_ != 0) CancelSynchronousIo(reinterpret_cast<HANDLE>(thread_));
}

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }
double SecondsNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace kxhost
