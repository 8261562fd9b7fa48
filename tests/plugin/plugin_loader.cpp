#include "plugin_loader.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#ifndef KX_TEST_TRAXEL_PATH
#error "KX_TEST_TRAXEL_PATH names the plug-in under test"
#endif
#ifndef KX_TEST_ZQLOG_PATH
#error "KX_TEST_ZQLOG_PATH names the log library"
#endif

namespace kx::test {

#if defined(_WIN32)

LoadedLibrary::LoadedLibrary(const std::string& path) {
  const int wideLength = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
  std::wstring widePath(wideLength > 0 ? static_cast<size_t>(wideLength) : 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, widePath.data(), wideLength);
  handle_ = reinterpret_cast<void*>(LoadLibraryW(widePath.c_str()));
  if (handle_ == nullptr) error_ = "LoadLibraryW(" + path + ") failed, error " + std::to_string(GetLastError());
}

void* LoadedLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

#else

LoadedLibrary::LoadedLibrary(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* text = dlerror();
    error_ = text != nullptr ? text : "dlopen failed";
  }
}

void* LoadedLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return dlsym(handle_, name);
}

#endif

namespace {

std::string PathFromEnvironment(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

}  // namespace

const LoadedLibrary& LogLibrary() {
  static const LoadedLibrary library(PathFromEnvironment("ZQ_LOG_LIBRARY", KX_TEST_ZQLOG_PATH));
  return library;
}

const LoadedLibrary& Plugin() {
  LogLibrary();
  static const LoadedLibrary library(PathFromEnvironment("KX_TRAXEL_LIBRARY", KX_TEST_TRAXEL_PATH));
  return library;
}

}  // namespace kx::test
