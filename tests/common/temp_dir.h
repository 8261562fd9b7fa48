// A folder of its own for one test: <temp>/kx_<process id>_<test name>,
// emptied when made and removed with its contents when the object goes.
// The process id keeps runs of several builds at the same time apart.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include <gtest/gtest.h>
#include <kx_traxel/kx_types.h>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace kx::test {

inline int ProcessId() {
#if defined(_WIN32)
  return _getpid();
#else
  return static_cast<int>(getpid());
#endif
}

// A path in the system's temporary folder, unique to this process.
inline std::filesystem::path UniqueTempPath(const std::string& name) {
  return std::filesystem::temp_directory_path() / ("kx_" + std::to_string(ProcessId()) + "_" + name);
}

class TempDir {
 public:
  // Named after the running test unless a name is given.
  explicit TempDir(std::string name = {}) {
    if (name.empty()) {
      const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
      name = info != nullptr ? std::string(info->test_suite_name()) + "_" + info->name() : "test";
    }
    std::replace(name.begin(), name.end(), '/', '_');
    path_ = UniqueTempPath(name);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;  // a file may still be open (Windows)
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// A file's bytes; "" when it cannot be read.
inline std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A path as the host's UTF-16 text.
inline std::basic_string<kx_wchar> WidePath(const std::filesystem::path& path) {
  std::basic_string<kx_wchar> out;
  for (char16_t unit : path.u16string()) out += static_cast<kx_wchar>(unit);
  return out;
}

}  // namespace kx::test
