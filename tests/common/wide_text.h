// Test helpers for UTF-16 text: our own UTF-8 <-> UTF-16 conversion so that
// expectations read as plain string literals and failures print readably.
#pragma once

#include <string>

#include <kx_traxel/kx_types.h>

namespace kx::test {

using WideString = std::basic_string<kx_wchar>;

inline std::string ToUtf8(const kx_wchar* text) {
  std::string out;
  if (text == nullptr) return "<null>";
  for (size_t i = 0; text[i] != 0; ++i) {
    char32_t c = static_cast<char16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(text[i + 1]) - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

inline std::string ToUtf8(const WideString& text) { return ToUtf8(text.c_str()); }

inline WideString FromUtf8(const std::string& text) {
  WideString out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    char32_t c;
    size_t n;
    if (b < 0x80) { c = b; n = 1; }
    else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; n = 2; }
    else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; n = 3; }
    else { c = b & 0x07; n = 4; }
    for (size_t k = 1; k < n && i + k < text.size(); ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += n;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<kx_wchar>(0xD800 + (c >> 10));
      out += static_cast<kx_wchar>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<kx_wchar>(c);
    }
  }
  return out;
}

}  // namespace kx::test
