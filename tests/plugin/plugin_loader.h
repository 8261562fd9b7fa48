// Loads the plug-in and its log library at run time, as a host does: by path,
// then each function by its exported name. Linux: dlopen/dlsym; Windows:
// LoadLibraryW/GetProcAddress. The libraries stay loaded for the whole test
// program.
#pragma once

#include <string>

namespace kx::test {

class LoadedLibrary {
 public:
  // `path`: a file path (Linux) or a DLL name / path (Windows).
  explicit LoadedLibrary(const std::string& path);
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }

  // Address of an exported function, or null.
  void* Symbol(const char* name) const;

  template <typename Fn>
  Fn Function(const char* name) const {
    return reinterpret_cast<Fn>(Symbol(name));
  }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// The plug-in under test: the path in the environment variable
// KX_TRAXEL_LIBRARY, else the one this test was built with.
const LoadedLibrary& Plugin();

// The log library the plug-in imports (ZQ_LOG_LIBRARY, else the build's).
// Loaded before the plug-in, so that both share one instance.
const LoadedLibrary& LogLibrary();

}  // namespace kx::test
