// UTF-16 <-> UTF-8: the one codec of the library, its logging library and the
// Linux Media Foundation layer.
//
// Invalid input follows Windows' WideCharToMultiByte / MultiByteToWideChar
// with CP_UTF8:
// - UTF-16: an unpaired surrogate (a high one not followed by a low one, a
//   low one not preceded by a high one) becomes U+FFFD (no flags); with
//   OnInvalid::kFail the conversion fails (WC_ERR_INVALID_CHARS, which
//   Windows reports as ERROR_NO_UNICODE_TRANSLATION).
// - UTF-8: each maximal subpart of an ill-formed sequence becomes one U+FFFD
//   (overlong forms, encoded surrogates, values above U+10FFFF, stray
//   continuation bytes, truncated sequences); with OnInvalid::kFail the
//   conversion fails (MB_ERR_INVALID_CHARS).
// NUL units are ordinary characters: the input is `length` units long and no
// terminator is read or added.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <kx_traxel/kx_types.h>

namespace kx::text {

using WideString = std::basic_string<kx_wchar>;
using WideStringView = std::basic_string_view<kx_wchar>;

enum class OnInvalid {
  kReplace,  // U+FFFD in place of the invalid input
  kFail,     // the whole conversion fails
};

enum class Status {
  kOk,        // `length` units needed; written when an output was given
  kInvalid,   // invalid input under OnInvalid::kFail; nothing written
  kTooSmall,  // the output holds fewer than `length` units; nothing written
};

struct Converted {
  Status status = Status::kOk;
  size_t length = 0;      // units the whole output takes (kOk, kTooSmall)
  bool replaced = false;  // some input became U+FFFD
};

// With out == nullptr only counts. Otherwise writes the whole output when it
// fits in `capacity` units, else nothing.
Converted Utf16ToUtf8(const kx_wchar* in, size_t length, char* out, size_t capacity, OnInvalid onInvalid);
Converted Utf8ToUtf16(const char* in, size_t length, kx_wchar* out, size_t capacity, OnInvalid onInvalid);

// Whole strings, invalid input replaced.
std::string Utf16ToUtf8(WideStringView text);
WideString Utf8ToUtf16(std::string_view text);

}  // namespace kx::text
