// Every failure HRESULT the Linux layer can return has its Windows message
// text, so no failure line of the library shows the "Unknown error" fallback.
// The list of codes is the layer's own (layer_results.h and the errno
// mapping); the layer's sources are held to it, so a code added to the layer
// without a text fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "kxplatform/mf.h"
#include "layer_results.h"
#include "sinkwriter/hresult_av.h"

namespace {

// The system text FormatMessageW gives for `hr` ("" when none).
std::u16string SystemText(HRESULT hr) {
  LPWSTR text = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::u16string result(text != nullptr ? text : u"", length);
  LocalFree(text);
  return result;
}

// The errno mapping gives only listed codes.
TEST(LayerResults, EveryCodeHasItsSystemText) {
  std::set<HRESULT> listed;
  for (const kx::mf::NamedResult& entry : kx::mf::kLayerResults) {
    EXPECT_GT(SystemText(entry.value).size(), 1u) << entry.name;
    listed.insert(entry.value);
  }
  for (const kx::av::ErrnoResult& entry : kx::av::kErrnoResults) {
    EXPECT_TRUE(listed.count(entry.result)) << "errno " << entry.errnoValue;
  }
}

// Every failure code named in the layer's sources (E_..., MF_E_...,
// HRESULT_FROM_WIN32(...)) is on the list.
TEST(LayerResults, EveryCodeTheSourcesNameIsListed) {
  std::set<std::string> listed;
  for (const kx::mf::NamedResult& entry : kx::mf::kLayerResults) listed.insert(entry.name);
  const std::regex code(R"(\b(?:[A-Z]+_)?E_[A-Z0-9_]+\b|HRESULT_FROM_WIN32\(\s*\w+\s*\))");
  size_t files = 0;
  for (const auto& item : std::filesystem::recursive_directory_iterator(KX_LAYER_SOURCE_DIR)) {
    const std::string extension = item.path().extension().string();
    if (!item.is_regular_file() || (extension != ".cpp" && extension != ".h")) continue;
    ++files;
    std::ifstream in(item.path());
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (auto match = std::sregex_iterator(text.begin(), text.end(), code); match != std::sregex_iterator(); ++match) {
      std::string name = match->str();
      name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return c == ' ' || c == '\t'; }), name.end());
      EXPECT_TRUE(listed.count(name)) << name << " in " << item.path().filename().string();
    }
  }
  EXPECT_GT(files, 10u) << KX_LAYER_SOURCE_DIR;
}

}  // namespace
