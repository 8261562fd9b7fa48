// UTF-16 text in tests: expectations read as plain UTF-8 literals and
// failures print readably, through the library's one converter.
#pragma once

#include <string>

#include <kxtext/utf.h>

namespace kx::test {

using WideString = kx::text::WideString;

inline std::string ToUtf8(const kx_wchar* text) {
  return text == nullptr ? "<null>" : kx::text::Utf16ToUtf8(kx::text::WideStringView(text));
}
inline std::string ToUtf8(const WideString& text) { return kx::text::Utf16ToUtf8(text); }
inline WideString FromUtf8(const std::string& text) { return kx::text::Utf8ToUtf16(text); }

}  // namespace kx::test
