#include "kxtext/utf.h"

#include <cstring>

namespace kx::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Decodes one code point from UTF-16 at `in` (`left` units). Returns the
// units consumed; `valid` is false for an unpaired surrogate.
size_t DecodeUtf16(const kx_wchar* in, size_t left, char32_t* cp, bool* valid) {
  const char32_t unit = static_cast<char16_t>(in[0]);
  *valid = true;
  if (IsHighSurrogate(unit) && left > 1 && IsLowSurrogate(static_cast<char16_t>(in[1]))) {
    *cp = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<char16_t>(in[1]) - 0xDC00);
    return 2;
  }
  if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
    *cp = kReplacement;
    *valid = false;
    return 1;
  }
  *cp = unit;
  return 1;
}

// Decodes one code point from UTF-8 at `in` (`left` bytes). Returns the bytes
// consumed; `valid` is false for an ill-formed sequence, of which the longest
// well-formed prefix (the Unicode "maximal subpart", at least one byte) is
// consumed.
size_t DecodeUtf8(const char* text, size_t left, char32_t* cp, bool* valid) {
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  const unsigned char lead = in[0];
  *valid = false;
  *cp = kReplacement;
  if (lead < 0x80) {
    *cp = lead;
    *valid = true;
    return 1;
  }
  size_t need;
  char32_t value;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 1;  // a continuation byte, C0, C1 or F5..FF
  }
  size_t used = 1;
  for (size_t i = 0; i < need; ++i) {
    if (used >= left) return used;
    const unsigned char c = in[used];
    if (c < (i == 0 ? low : 0x80) || c > (i == 0 ? high : 0xBF)) return used;
    value = (value << 6) | (c & 0x3F);
    ++used;
  }
  *cp = value;
  *valid = true;
  return used;
}

size_t EncodeUtf8(char32_t cp, char* bytes) {
  if (cp < 0x80) {
    bytes[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
    bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
  bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

size_t EncodeUtf16(char32_t cp, kx_wchar* units) {
  if (cp < 0x10000) {
    units[0] = static_cast<kx_wchar>(cp);
    return 1;
  }
  units[0] = static_cast<kx_wchar>(0xD800 + ((cp - 0x10000) >> 10));
  units[1] = static_cast<kx_wchar>(0xDC00 + ((cp - 0x10000) & 0x3FF));
  return 2;
}

// One pass counts (and checks); a second writes when the output fits.
template <typename In, typename Out, typename Decode, typename Encode>
Converted Convert(const In* in, size_t length, Out* out, size_t capacity, OnInvalid onInvalid, Decode decode,
                  Encode encode) {
  Converted result;
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) {
      if (out == nullptr) break;
      if (result.length > capacity) {
        result.status = Status::kTooSmall;
        break;
      }
    }
    size_t written = 0;
    for (size_t pos = 0; pos < length;) {
      char32_t cp;
      bool valid;
      pos += decode(in + pos, length - pos, &cp, &valid);
      if (!valid) {
        if (onInvalid == OnInvalid::kFail) return Converted{Status::kInvalid, 0, false};
        result.replaced = true;
      }
      Out units[4];
      const size_t count = encode(cp, units);
      if (pass == 1) std::memcpy(out + written, units, count * sizeof(Out));
      written += count;
    }
    result.length = written;
  }
  return result;
}

}  // namespace

Converted Utf16ToUtf8(const kx_wchar* in, size_t length, char* out, size_t capacity, OnInvalid onInvalid) {
  return Convert(in, length, out, capacity, onInvalid, DecodeUtf16, EncodeUtf8);
}

Converted Utf8ToUtf16(const char* in, size_t length, kx_wchar* out, size_t capacity, OnInvalid onInvalid) {
  return Convert(in, length, out, capacity, onInvalid, DecodeUtf8, EncodeUtf16);
}

std::string Utf16ToUtf8(WideStringView text) {
  std::string out;
  out.resize(Utf16ToUtf8(text.data(), text.size(), nullptr, 0, OnInvalid::kReplace).length);
  Utf16ToUtf8(text.data(), text.size(), out.data(), out.size(), OnInvalid::kReplace);
  return out;
}

WideString Utf8ToUtf16(std::string_view text) {
  WideString out;
  out.resize(Utf8ToUtf16(text.data(), text.size(), nullptr, 0, OnInvalid::kReplace).length);
  Utf8ToUtf16(text.data(), text.size(), out.data(), out.size(), OnInvalid::kReplace);
  return out;
}

}  // namespace kx::text
